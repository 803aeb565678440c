# A restart request (SIGUSR2) meets a mulgate that ignores SIGTERM: drovik
# checks six times, 200 ms apart, then leaves the rest to init, whose stop
# ends the process with SIGKILL after its grace period.
boot service mulgate ignores-sigterm

step The daemon starts with the cable attached and starts mulgate
expect log "startService() return: 0"
expect write ctl.start=mulgate
expect service mulgate running

step Ask for a restart: SIGTERM does not end mulgate
restart
expect log "(drovik)receive signal: 12"
expect log /process\(mulgate\) pid is: \d+, i:0\./
expect log "mulgate is running."
expect log /process\(mulgate\) pid is: \d+, i:0\./
expect log /send signal OK\. pid:\d+, signo:15\./
# Two seconds later, six checks; each finds the process and says so.
expect log /process\(mulgate\) pid is: \d+, i:0\./
expect log "mulgate is still running, try_count:0."
expect log /process\(mulgate\) pid is: \d+, i:0\./
expect log "mulgate is still running, try_count:1."
expect log /process\(mulgate\) pid is: \d+, i:0\./
expect log "mulgate is still running, try_count:2."
expect log /process\(mulgate\) pid is: \d+, i:0\./
expect log "mulgate is still running, try_count:3."
expect log /process\(mulgate\) pid is: \d+, i:0\./
expect log "mulgate is still running, try_count:4."
expect log /process\(mulgate\) pid is: \d+, i:0\./
expect log "mulgate is still running, try_count:5."

step init stops the service; two seconds later drovik starts it again
expect log "stopService() return: 0"
expect write ctl.stop=mulgate
expect log "read_usb_serial_number : [1]"
expect log "current service: init.svc.mulgate, state: stopped"
expect log "startService() return: 0"
expect log "restart_service end."
expect quiet 500ms
expect write ctl.start=mulgate
expect service mulgate running
