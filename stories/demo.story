# One walk through the daemon's life on a simulated device: `drovik-sim demo`
# plays this story (built into the tool), narrated step by step.
boot usb CONFIGURED
boot ports 1
boot daemon off

step Boot with the USB cable attached, then start the daemon
say The gadget's state file reads CONFIGURED and the serial function offers 1 port.
say drovik should announce itself, check the event-log switch (persist.sys.v3.sprue.state,
say unset, so 0), see the configured gadget, stop the modem-log service mulgate and start it.
start drovik
expect log /\n    drovik, version 1\.0\.0\n    Build time: [A-Z][a-z]{2} [ 1-3]\d \d{4} \d\d:\d\d:\d\d\n/
expect log /PID of drovik: \d+/
expect log "current persist.sys.v3.sprue.state: 0"
expect log "sprue_start_by_prop return:0."
expect log "read content: CONFIGURED\n"
expect log "readed success from file(/sys/class/android_usb/android0/state). value: CONFIGURED\n."
expect log "stopService() return: 0"
expect log "read_usb_serial_number : [1]"
expect log "current service: init.svc.mulgate, state: stopped"
expect log "startService() return: 0"
expect quiet 300ms
expect write ctl.stop=mulgate
expect write ctl.start=mulgate
expect service mulgate running
expect service sprue unset

step Pull the USB cable out
say The state file now reads DISCONNECTED and the kernel announces USB_STATE=DISCONNECTED.
say drovik should stop mulgate; sprue does not run, but its switch is 0, so it stays off.
unplug
expect log "zel_handle_monitor_usb_loop usb_status:[USB_STATE=DISCONNECTED]"
expect log "zel_handle_monitor_usb_loop get usb disconnect event"
expect log "stopService() return: 0"
expect log "(drovik)No SPRUE running.\n"
expect log "current persist.sys.v3.sprue.state: 0"
expect log "sprue_start_by_prop return:0."
expect quiet 300ms
expect write ctl.stop=mulgate
expect service mulgate stopped
expect service sprue unset

step Plug the cable back in
say The gadget goes CONNECTED (drovik only notes it), then CONFIGURED: mulgate starts again.
plug
expect log "zel_handle_monitor_usb_loop usb_status:[USB_STATE=CONNECTED]"
expect log "zel_handle_monitor_usb_loop get usb other status event"
expect log "zel_handle_monitor_usb_loop usb_status:[USB_STATE=CONFIGURED]"
expect log "zel_handle_monitor_usb_loop get usb CONFIGURED event"
expect log "read_usb_serial_number : [1]"
expect log "current service: init.svc.mulgate, state: stopped"
expect log "startService() return: 0"
expect quiet 300ms
expect write ctl.start=mulgate
expect service mulgate running

step Turn the event-log switch on, then pull the cable out
say setprop persist.sys.v3.sprue.state 1 (kept in the persist file across boots).
say On the disconnect drovik stops mulgate and, finding no sprue process, starts sprue.
setprop persist.sys.v3.sprue.state 1
unplug
expect log "zel_handle_monitor_usb_loop usb_status:[USB_STATE=DISCONNECTED]"
expect log "zel_handle_monitor_usb_loop get usb disconnect event"
expect log "stopService() return: 0"
expect log "(drovik)No SPRUE running.\n"
expect log "current persist.sys.v3.sprue.state: 1"
expect log "property_set ctl.start sprue"
expect log "sprue_start_by_prop return:0."
expect quiet 300ms
expect write ctl.stop=mulgate
expect write ctl.start=sprue
expect service mulgate stopped
expect service sprue running

step Plug the cable in again, then ask for a restart of mulgate (SIGUSR2)
say With mulgate running again, drovik should send it SIGTERM, give it 2 s to end, ask init
say to stop the service, wait 2 s and start it again (the cable state does not matter here).
plug
expect log "zel_handle_monitor_usb_loop get usb CONFIGURED event"
expect log "startService() return: 0"
expect service mulgate running
restart
expect log "(drovik)receive signal: 12"
expect log /process\(mulgate\) pid is: \d+, i:0\./
expect log "mulgate is running."
expect log /process\(mulgate\) pid is: \d+, i:0\./
expect log /send signal OK\. pid:\d+, signo:15\./
expect log "stopService() return: 0"
expect log "read_usb_serial_number : [1]"
expect log "current service: init.svc.mulgate, state: stopped"
expect log "startService() return: 0"
expect log "restart_service end."
expect quiet 300ms
expect write ctl.start=mulgate
expect write ctl.stop=mulgate
expect write ctl.start=mulgate
expect service mulgate running

step Stop the daemon (SIGTERM)
say drovik should ask init to stop sprue and mulgate, end its USB thread and exit with status 0.
signal TERM
expect log "(drovik)receive signal: 15"
expect log "stopService() return: 0"
expect log "manager_stop exit."
expect exit 0
expect write ctl.stop=sprue
expect write ctl.stop=mulgate
expect service mulgate stopped
expect service sprue stopped
