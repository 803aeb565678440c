# The event-log switch persist.sys.v3.sprue.state: sprue is started at boot
# when it is 1, and again on a disconnect that finds no sprue process.
boot setprop persist.sys.v3.sprue.state 1

step The switch is on at boot: drovik starts sprue
expect log "current persist.sys.v3.sprue.state: 1"
expect log "property_set ctl.start sprue"
expect log "sprue_start_by_prop return:0."
expect log "startService() return: 0"
expect write ctl.start=sprue
expect write ctl.stop=mulgate
expect write ctl.start=mulgate
expect service sprue running

step A disconnect finds sprue running and leaves it alone
unplug
expect log "zel_handle_monitor_usb_loop usb_status:[USB_STATE=DISCONNECTED]"
expect log "zel_handle_monitor_usb_loop get usb disconnect event"
expect log "stopService() return: 0"
expect log /process\(sprue\) pid is: \d+, i:0\. \n/
expect log "(drovik)SPRUE is already running.\n"
expect quiet 500ms
expect service sprue running

step sprue is stopped by hand: the next disconnect starts it again
setprop ctl.stop sprue
expect service sprue stopped
plug
expect log "startService() return: 0"
unplug
expect log "stopService() return: 0"
expect log "(drovik)No SPRUE running.\n"
expect log "current persist.sys.v3.sprue.state: 1"
expect log "property_set ctl.start sprue"
expect log "sprue_start_by_prop return:0."
expect write ctl.start=sprue
expect service sprue running

step Two sprue processes, one of them outside init: both are found
spawn sprue
plug
expect log "startService() return: 0"
unplug
expect log "stopService() return: 0"
expect log /process\(sprue\) pid is: \d+, i:0\. \n/
expect log /process\(sprue\) pid is: \d+, i:1\. \n/
expect log "(drovik)SPRUE is already running.\n"
expect quiet 500ms
# The service first, so that init does not start it again; then the other one.
setprop ctl.stop sprue
expect service sprue stopped
kill sprue KILL

step With the switch off, a disconnect without sprue leaves it off
setprop persist.sys.v3.sprue.state 0
plug
expect log "startService() return: 0"
unplug
expect log "(drovik)No SPRUE running.\n"
expect log "current persist.sys.v3.sprue.state: 0"
expect log "sprue_start_by_prop return:0."
expect quiet 500ms
