# Refused before the device boots: line 4, column 42 (the time has no unit).
step A story with a mistake
expect log "startService() return: 0"
expect log "restart_service end." within 10
