# init's stop of the daemon on a configured device with the event-log switch
# on: init kills drovik at once, and its own trigger on init.svc.drovik=stopped
# stops mulgate and sprue; none of them comes back.
boot usb CONFIGURED
boot ports 1
boot setprop persist.sys.v3.sprue.state 1

step The daemon, started by init, starts sprue and mulgate
expect log "sprue_start_by_prop return:0."
expect log "startService() return: 0"
expect service sprue running
expect service mulgate running

step stop drovik
stop drovik
expect exit KILL
expect service drovik stopped
expect service mulgate stopped within 1s
expect service sprue stopped within 1s
expect quiet 500ms

step start drovik: the daemon starts again and starts both services
start drovik
expect log "sprue_start_by_prop return:0."
expect log "startService() return: 0"
expect service drovik running
expect service sprue running
expect service mulgate running
