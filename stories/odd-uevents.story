# Uevents that are not the plain cable events: other state words, fields
# that only look like the USB state, events of other devices, and a
# CONFIGURED that comes while mulgate already runs.

step Other state words are noted and nothing else
usb SUSPENDED
expect log "zel_handle_monitor_usb_loop usb_status:[USB_STATE=SUSPENDED]"
expect log "zel_handle_monitor_usb_loop get usb other status event"
# Matching is by case: this is no configuration.
usb configured
expect log "zel_handle_monitor_usb_loop usb_status:[USB_STATE=configured]"
expect log "zel_handle_monitor_usb_loop get usb other status event"
expect quiet 300ms

step A field that only begins with USB_STATE counts as a state
uevent "change@/devices/virtual/android_usb/android0\0ACTION=change\0USB_STATE_X=1\0"
expect log "zel_handle_monitor_usb_loop usb_status:[USB_STATE_X=1]"
expect log "zel_handle_monitor_usb_loop get usb other status event"
expect quiet 300ms

step Of two USB_STATE fields, the first one counts
uevent "change@/x\0USB_STATE=CONNECTED\0USB_STATE=DISCONNECTED\0"
expect log "zel_handle_monitor_usb_loop usb_status:[USB_STATE=CONNECTED]"
expect log "zel_handle_monitor_usb_loop get usb other status event"
expect quiet 300ms
expect service mulgate running

step An event without a USB state is ignored; any device's USB_STATE is not
uevent "add@/devices/platform/leds\0ACTION=add\0SUBSYSTEM=leds\0"
expect quiet 300ms
uevent "change@/devices/platform/other\0SUBSYSTEM=other\0USB_STATE=DISCONNECTED\0"
expect log "zel_handle_monitor_usb_loop usb_status:[USB_STATE=DISCONNECTED]"
expect log "zel_handle_monitor_usb_loop get usb disconnect event"
expect log "sprue_start_by_prop return:0."
expect write ctl.stop=mulgate
expect service mulgate stopped

step No serial ports: a configured gadget does not start mulgate
ports 0
usb CONFIGURED
expect log "read_usb_serial_number : [0]"
expect log "usb_config_now not serial"
expect quiet 300ms
expect service mulgate stopped

step CONFIGURED while mulgate runs: drovik polls its state for 2 s, then gives up
ports 1
usb CONFIGURED
expect log "startService() return: 0"
expect service mulgate running
usb CONFIGURED
expect log "zel_handle_monitor_usb_loop get usb CONFIGURED event"
expect log "read_usb_serial_number : [1]"
expect log "current service: init.svc.mulgate, state: running"
expect log "current service: init.svc.mulgate, state: running"
expect log "current service: init.svc.mulgate, state: running"
expect log "current service: init.svc.mulgate, state: running"
expect log "current service: init.svc.mulgate, state: running"
expect log "current service: init.svc.mulgate, state: running"
expect log "current service: init.svc.mulgate, state: running"
expect log "current service: init.svc.mulgate, state: running"
expect log "current service: init.svc.mulgate, state: running"
expect log "current service: init.svc.mulgate, state: running"
expect log "current service: init.svc.mulgate is not stopped during 2 seconds, state: running"
expect log "startService() return: 0"
expect quiet 500ms
