# A stop (SIGTERM) that comes while a restart (SIGUSR2) waits for a mulgate
# that ignores SIGTERM: the restart is abandoned and the daemon exits with
# status 0 after asking init to stop both services.
boot service mulgate ignores-sigterm

step The daemon starts and starts mulgate
expect log "startService() return: 0"
expect service mulgate running

step A restart request; the daemon waits 2 s for mulgate to end
restart
expect log "(drovik)receive signal: 12"
expect log "mulgate is running."
expect log /send signal OK\. pid:\d+, signo:15\./

step Stop the daemon in the middle of it
signal TERM
expect log "(drovik)receive signal: 15"
expect log "stopService() return: 0"
expect log "manager_stop exit."
expect exit 0
expect write ctl.stop=sprue
expect write ctl.stop=mulgate
# init's stop ends the stubborn process with SIGKILL at once.
expect service mulgate stopped within 5s
