# Plays until line 6, whose line never comes: run stops there with status 1.
step The cable goes, drovik reacts
unplug
expect log "zel_handle_monitor_usb_loop get usb disconnect event"
expect write ctl.stop=mulgate
expect log "restart_service end." within 1s
plug
