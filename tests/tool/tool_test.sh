#!/usr/bin/env bash
# drovik-sim as a person meets it: arguments, story files, the shell, and
# what is left behind. Usage: tool_test.sh GROUP DROVIK_SIM DROVIK
# (GROUP: refusals, outcomes, shell, cleanup or kit). Needs root, as the tool
# does; kit, Debian's python3-selinux and python3-setools as well.
set -uo pipefail
group=$1 sim=$2 daemon=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d /tmp/drovik-tool-test.XXXXXX)
# The device's init runs the daemon as the user its .rc names.
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

fail() {
    echo "FAILED: $*" >&2
    [ -f "$work/out" ] && { echo "--- output:" >&2; head -c 20000 "$work/out" >&2; }
    exit 1
}
# run WANT_STATUS ARGS...: drovik-sim's stdout and stderr go to $work/out.
run() {
    local want=$1
    shift
    "$sim" "$@" >"$work/out" 2>&1 </dev/null
    local got=$?
    [ "$got" = "$want" ] || fail "drovik-sim $* exited $got, not $want"
}
has() { grep -qF -- "$1" "$work/out" || fail "no line with: $1"; }
lacks() { ! grep -qF -- "$1" "$work/out" || fail "unexpected: $1"; }
no_temp_left() { [ -z "$(ls -A "$TMPDIR")" ] || fail "left behind in \$TMPDIR: $(ls -A "$TMPDIR")"; }
# Waits (2 s at most) until no process runs the program at this path.
gone() {
    for _ in $(seq 40); do
        pgrep -f "^$1" >/dev/null || return 0
        sleep 0.05
    done
    fail "a process of $1 outlived drovik-sim: $(pgrep -af "^$1")"
}

case $group in
refusals)
    # Everything wrong with the arguments or the story is said before a device boots.
    run 2 run "$here/broken.story"
    has "broken.story:4:42: a time is a number and ms or s"
    has 'expect log "restart_service end." within 10'
    lacks "daemon command"
    printf 'plug\nboot ports 0\n' >"$work/late.story"
    run 2 run "$work/late.story"
    has "late.story:2:1: boot lines set the device up before it boots"
    run 2 run "$work/no-such.story"
    run 2 --persist /nonexistent-drovik/dir/p.props demo
    has "its folder /nonexistent-drovik/dir does not exist"
    [ ! -e /nonexistent-drovik ] || fail "a folder was made for --persist"
    mkdir "$work/dir"
    run 2 --persist "$work/dir" demo
    has "it is a folder, not a file"
    [ ! -e "$work/.dir.tmp" ] || fail "a stray file beside --persist"
    run 2 demo --
    has "nothing after --"
    run 2 --rc "$work/no-such.rc" demo
    has "cannot read the .rc file $work/no-such.rc: No such file or directory"
    run 2 soak 0
    has "soak needs a number of events from 1 to 10000000, not '0'"
    run 2 bench --samples many
    has "--samples needs a number from 1 to 100000"
    no_temp_left
    ;;
outcomes)
    # An unmet expectation stops a run with status 1 and shows what came instead.
    run 1 run "$here/unmet.story"
    has 'NOT MET: expect log "restart_service end." within 1s: not within 1s'
    has 'after the last line expected, "zel_handle_monitor_usb_loop get usb disconnect event", came:'
    has '"(drovik)No SPRUE running.\n"'
    has "The story stopped at line 6"
    lacks "cable attached"
    # A daemon that does nothing: the demo says which steps did not go as narrated.
    start=$SECONDS
    run 1 --daemon /bin/false demo
    has "the daemon (pid 4) has ended: exit status 1"
    has "the daemon is not running"
    has "1. Boot with the USB cable attached, then start the daemon: NOT as narrated"
    has "0 of 6 steps went as narrated."
    [ $((SECONDS - start)) -lt 30 ] || fail "the demo of a daemon that has ended took $((SECONDS - start)) s"
    # The command after -- is taken word for word; what a failing daemon says is shown.
    mkdir "$work/with space"
    cp "$daemon" "$work/with space/drovik"
    printf 'expect log "startService() return: 0"\nsignal TERM\nexpect exit 0\n' >"$work/stop.story"
    run 0 run "$work/stop.story" -- "$work/with space/drovik"
    has "daemon command: \"$work/with space/drovik\""
    has "The story went as written"
    run 1 run "$work/stop.story" -- sh -c 'echo "cannot open the thing" >&2; exit 3'
    has "has ended: exit status 3"
    has "cannot open the thing"
    # bench and soak stop at once, saying why, when the daemon ends before they begin.
    run 1 soak 10 -- /bin/false
    has "the daemon has ended: exit status 1"
    run 1 bench -- sh -c 'echo "cannot open the thing" >&2; exit 3'
    has "the daemon has ended: exit status 3"
    has "cannot open the thing"
    no_temp_left
    ;;
shell)
    cp "$daemon" "$work/drovik-shell"
    {
        printf 'hello\033[A\n'
        head -c 1000000 /dev/zero | tr '\0' x
        printf '\nquit now\nsetprop "" 1\nsetprop persist.x "a b"\ngetprop persist.x\n'
        printf 'stop drovik\nsignal TERM\nstatus\nstart drovik\nps\nservice mulgate ignores-sigterm\nusb SUSPENDED\n'
        printf 'uevent "change@/x\\0USB_STATE=CONFIGURED\\0"\n'
        printf 'expect log "zel_handle_monitor_usb_loop get usb other status event"\n'
        printf 'expect log "zel_handle_monitor_usb_loop get usb CONFIGURED event"\nwrites\nevents\n'
        printf 'kill drovik-shell KILL\n'
        sleep 1.5 # no input: the daemon's end is told all the same
        printf 'ports 1\n'
    } | "$sim" --persist "$work/p.props" shell -- "$work/drovik-shell" >"$work/out" 2>&1
    [ $? = 0 ] || fail "the shell exited $?"
    ! grep -q $'\033' "$work/out" || fail "a raw escape byte was echoed"
    has "unknown command 'hello\\x1b[A'"
    has "unknown command 'xxxxxxxxxxxxxxxxxxxxxxxx... (1000000 bytes)'"
    [ "$(wc -L <"$work/out")" -lt 300 ] || fail "an echo of the long line is $(wc -L <"$work/out") bytes long"
    has "error: column 6: unexpected 'now' (usage: quit)"
    has 'error: setprop "" "1": refused'
    has '"a b"'
    grep -A1 -F 'init stopped drovik' "$work/out" | grep -qF 'has ended: killed by signal 9' ||
        fail "stop drovik did not wait for the daemon's end"
    has "error: the daemon is not running ('start drovik' starts it)"
    grep -A1 -F "error: the daemon is not running" "$work/out" | grep -qF 'has ended: killed by signal 9' ||
        fail "status did not say how the daemon ended"
    has "daemon started, pid"
    # ps: uid, gid and groups; the daemon as drovik.rc runs it, mulgate as the device's .rc.
    grep -qE '^ +[0-9]+ +1 [A-Z]  9999  3009 - +drovik-shell$' "$work/out" || fail "ps: no drovik-shell as nobody/readproc"
    grep -qE '^ +[0-9]+ +1 [A-Z]  1001  1001 1007 +mulgate$' "$work/out" || fail "ps: no mulgate as radio/radio,log"
    has "ok: expect log \"zel_handle_monitor_usb_loop get usb CONFIGURED event\""
    has "ctl.stop = \"mulgate\""
    has "mulgate stopping"
    grep -B3 -F 'serial_port_num now reads 1' "$work/out" | grep -qF 'killed by signal 9' ||
        fail "the daemon's end was not told before the next command"
    has "tearing the device down"
    gone "$work/drovik-shell"
    ;;
cleanup)
    # A reader that goes away, and signals: no device and no temporary file outlive the tool.
    "$sim" demo | head -3 >"$work/out"
    [ "${PIPESTATUS[0]}" = 141 ] || fail "demo | head -3: drovik-sim exited ${PIPESTATUS[0]}"
    no_temp_left
    cp "$daemon" "$work/drovik-cleanup"
    "$sim" demo -- "$work/drovik-cleanup" | head -9 >"$work/out"
    gone "$work/drovik-cleanup"
    no_temp_left
    for sig in INT TERM HUP; do
        "$sim" demo -- "$work/drovik-cleanup" >"$work/out" 2>&1 &
        pid=$!
        for _ in $(seq 100); do pgrep -f "^$work/drovik-cleanup" >/dev/null && break; sleep 0.05; done
        pgrep -f "^$work/drovik-cleanup" >/dev/null || fail "the demo's daemon did not start"
        kill -$sig $pid
        wait $pid
        st=$?
        [ $st -gt 128 ] || fail "SIG$sig: drovik-sim exited $st"
        has "interrupted; the device is torn down"
        gone "$work/drovik-cleanup"
        no_temp_left
    done
    ;;
kit)
    # The acceptance kit on a device whose drovik.rc lost capabilities KILL
    # (the fixture, made from the project's drovik.rc): exactly the steps that
    # need the capability fail.
    patch --fuzz=0 -s -o "$work/drovik.rc" "$root/drovik.rc" "$root/tests/android/kit/no-capabilities.diff" ||
        fail "tests/android/kit/no-capabilities.diff no longer applies to drovik.rc"
    "$root/android/device-check.sh" --sim "$sim" --rc "$work/drovik.rc" >"$work/out" 2>&1 </dev/null
    st=$?
    [ $st = 1 ] || fail "device-check with the fixture exited $st, not 1"
    failed=$(sed -n 's/^FAIL  \([a-z]*\) .*/\1/p' "$work/out" | paste -sd ' ')
    [ "$failed" = "identity restart" ] || fail "failed steps: '$failed', not 'identity restart'"
    has "CapEff: 0000000000000000, wants 0000000000000020"
    ;;
*)
    fail "unknown group $group"
    ;;
esac
echo "tool test $group: passed"
