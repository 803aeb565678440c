#!/usr/bin/env bash
# The device acceptance kit: what a device integrated with drovik must show,
# checked on the device itself, one step after the other. Usage:
#
#   android/device-check.sh [--partition system_ext|vendor] [-s SERIAL] [AOSP_ROOT]
#   android/device-check.sh --sim DROVIK_SIM [--rc FILE] [AOSP_ROOT]
#
# The first runs over adb against the attached device (Debian's adb); the
# second against the simulated device of this project (drovik-sim, as root),
# which ./dev.sh device-check builds and runs; --rc FILE has its init read
# FILE in place of drovik.rc (the kit still wants what drovik.rc gives). AOSP_ROOT (default
# ../shared/aosp) gives the ids of users, groups and capabilities.
#
# Steps, each printing what it checked and PASS, FAIL or NOT CHECKED (with
# what it needs that the device lacks):
#   domain      the daemon's SELinux domain (needs SELinux)
#   identity    uid, gids and capabilities (all five sets) as /proc/PID/status shows them
#               (root: /proc is hidepid=2)
#   denials     no SELinux denial naming drovik (needs SELinux; root: dmesg)
#   cable       cable off: mulgate stopped; cable on: mulgate started. On a
#               device this cuts adb over USB: it runs detached on the device
#               (root: sys.usb.config) and is read back afterwards
#   restart     SIGUSR2: mulgate stopped and started again, under a new pid
#               (root: drovik runs as nobody)
#   stop        init's stop of drovik: drovik, mulgate and sprue all stopped
#               (root: ctl.stop)
#   start       init starts drovik again (root: ctl.start)
# Root means a userdebug or eng build: the kit runs adb root. Exits 1 when a
# step fails, 2 on bad arguments or no device.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
export PYTHONDONTWRITEBYTECODE=1
PYTHON=/usr/bin/python3
TAG=MULGATE
# How long a step waits for the device to come to what it expects.
WAIT_S=15

usage() {
    sed -n '2,/^set -uo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
    exit 2
}

backend=adb partition=system_ext serial="" sim="" sim_rc="" aosp=""
# shellcheck disable=SC2034 # sim, sim_rc: the simulator android/kit/sim.sh runs
while [ $# -gt 0 ]; do
    case "$1" in
    --partition) partition=${2:-}; shift 2 || usage ;;
    -s) serial=${2:-}; shift 2 || usage ;;
    --sim) backend=sim sim=$(realpath -e "${2:-}") || exit 2; shift 2 ;;
    --rc) sim_rc=$(realpath -e "${2:-}") || exit 2; shift 2 ;;
    -h | --help) usage ;;
    -*) usage ;;
    *) [ -z "$aosp" ] || usage; aosp=$1; shift ;;
    esac
done
case "$partition" in system_ext) rc=drovik.rc ;; vendor) rc=drovik-vendor.rc ;; *) usage ;; esac
[ -z "$sim_rc" ] || [ "$backend" = sim ] || usage
aosp=$(realpath -e "${aosp:-$ROOT/../shared/aosp}") || { echo "device-check: no AOSP tree" >&2; exit 2; }

# The back end: kit_open, kit_close, kit_describe; kit_pid NAME; kit_getprop
# NAME; kit_proc_status PID; kit_context PID; kit_denials; kit_log_mark and
# kit_log (the daemon's log lines since the mark); kit_cable_off_on;
# kit_signal_daemon SIGNAL; kit_init start|stop SERVICE. A call that cannot
# be made on this device prints what it needs and returns non-zero.
# shellcheck source=android/kit/adb.sh
. "$ROOT/android/kit/$backend.sh"

passed=0 failed=0 unchecked=0
# report STEP STATUS TEXT: STATUS is 0 (PASS), 1 (FAIL) or a reason the step
# could not be checked.
report() {
    local step=$1 status=$2 text=$3
    case "$status" in
    0) printf 'PASS  %-9s %s\n' "$step" "$text"; passed=$((passed + 1)) ;;
    1) printf 'FAIL  %-9s %s\n' "$step" "$text"; failed=$((failed + 1)) ;;
    *) printf 'NOT CHECKED  %-9s %s: %s\n' "$step" "$text" "$status"; unchecked=$((unchecked + 1)) ;;
    esac
}

# wait_for WHAT COMMAND...: the command until it succeeds, WAIT_S at most.
wait_for() {
    local deadline=$((SECONDS + WAIT_S))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

indent() { sed 's/^/    | /'; }
logged() { kit_log | grep -qF "$1"; }
renewed() { [ -n "$(kit_pid "$1")" ] && [ "$(kit_pid "$1")" != "$2" ]; }
prop_is() { [ "$(kit_getprop "$1")" = "$2" ]; }
prop_is_not() { [ "$(kit_getprop "$1")" != "$2" ]; }
running() { [ -n "$(kit_pid "$1")" ]; }
not_running() { [ -z "$(kit_pid "$1")" ]; }

# in_order LOG TEXT...: each text on a line of LOG, after the one before.
in_order() {
    local log=$1 rest text
    shift
    rest=$log
    for text in "$@"; do
        [[ "$rest" == *"$text"* ]] || { echo "$text"; return 1; }
        rest=${rest#*"$text"}
    done
}

step_domain() {
    local pid context
    pid=$(kit_pid drovik)
    [ -n "$pid" ] || { report domain 1 "no process drovik"; return; }
    context=$(kit_context "$pid")
    case $? in
    0) [ "$context" = "u:r:drovik:s0" ]; report domain $? "drovik (pid $pid) runs in $context, wants u:r:drovik:s0" ;;
    *) report domain "$context" "the daemon's domain" ;;
    esac
}

step_identity() {
    local pid status want got key bad=""
    pid=$(kit_pid drovik)
    [ -n "$pid" ] || { report identity 1 "no process drovik"; return; }
    status=$(kit_proc_status "$pid") || { report identity "$status" "/proc/$pid/status"; return; }
    want=$("$PYTHON" "$ROOT/android/credentials.py" "$ROOT" "$aosp" "$rc") || { report identity 1 "$want"; return; }
    for key in Uid Gid; do
        got=$(sed -n "s/^$key:\s*//p" <<<"$status" | tr -s ' \t' ' ')
        w=$(sed -n "s/^$key: //p" <<<"$want")
        [ "$got" = "$w $w $w $w" ] || bad+=" $key: '$got', wants $w (all four);"
    done
    got=$(sed -n 's/^Groups:\s*//p' <<<"$status" | xargs)
    w=$(sed -n 's/^Groups: *//p' <<<"$want")
    [ "$got" = "$w" ] || bad+=" Groups: '$got', wants '$w';"
    w=$(sed -n 's/^Cap: //p' <<<"$want")
    for key in CapInh CapPrm CapEff CapBnd CapAmb; do
        got=$(sed -n "s/^$key:\s*//p" <<<"$status")
        [ "$got" = "$w" ] || bad+=" $key: $got, wants $w;"
    done
    if [ -z "$bad" ]; then
        report identity 0 "drovik (pid $pid): $(grep -E '^(Uid|Gid|Groups|CapEff):' <<<"$status" | tr -s '\t ' ' ' | paste -sd ';' | sed 's/;/; /g'), CapInh, CapPrm, CapBnd and CapAmb the same"
    else
        report identity 1 "drovik (pid $pid):${bad%;}"
    fi
}

step_denials() {
    local found
    found=$(kit_denials)
    case $? in
    0) [ -z "$found" ]; report denials $? "no avc line naming drovik${found:+; found:$'\n'$found}" ;;
    *) report denials "$found" "denials naming drovik" ;;
    esac
}

step_cable() {
    local log why status
    kit_log_mark
    status=$(kit_cable_off_on) || { report cable "$status" "cable off and on"; return; }
    wait_for "mulgate started again" running mulgate
    log=$(kit_log)
    if why=$(in_order "$log" "get usb disconnect event" "stopService() return: 0" "USB_STATE=CONFIGURED" \
        "startService() return: 0") && running mulgate; then
        report cable 0 "off: mulgate stopped (disconnect event, ctl.stop); on: configured, mulgate started and running"
    else
        report cable 1 "off and on: ${why:+not in the log: \"$why\"}$(running mulgate || echo ' mulgate is not running')"
        indent <<<"$log" | tail -20
    fi
}

step_restart() {
    local before after log why
    before=$(kit_pid mulgate)
    [ -n "$before" ] || { report restart 1 "mulgate is not running before the restart"; return; }
    kit_log_mark
    why=$(kit_signal_daemon USR2) || { report restart "$why" "SIGUSR2 to drovik"; return; }
    wait_for "the restart's end" logged "restart_service end."
    wait_for "mulgate under a new pid" renewed mulgate "$before"
    after=$(kit_pid mulgate)
    log=$(kit_log)
    if why=$(in_order "$log" "send signal OK" "stopService() return: 0" "startService() return: 0" "restart_service end.") &&
        [ -n "$after" ] && [ "$after" != "$before" ]; then
        report restart 0 "SIGUSR2: mulgate (pid $before) got SIGTERM, was stopped and started again (pid $after)"
    else
        report restart 1 "SIGUSR2: mulgate pid $before before, '${after}' after${why:+; not in the log: \"$why\"}"
        indent <<<"$log" | tail -20
    fi
}

step_stop() {
    local status
    status=$(kit_init stop drovik) || { report stop "$status" "init's stop of drovik"; return; }
    wait_for "drovik stopped" prop_is init.svc.drovik stopped
    wait_for "mulgate stopped" prop_is_not init.svc.mulgate running
    local d m s
    d=$(kit_getprop init.svc.drovik) m=$(kit_getprop init.svc.mulgate) s=$(kit_getprop init.svc.sprue)
    if [ "$d" = stopped ] && [ "$m" = stopped ] && [ "$s" != running ] && not_running mulgate && not_running sprue; then
        report stop 0 "stop drovik: init.svc.drovik $d, init.svc.mulgate $m, init.svc.sprue ${s:-unset}; no mulgate or sprue process"
    else
        report stop 1 "stop drovik: init.svc.drovik '$d', init.svc.mulgate '$m', init.svc.sprue '$s'$(running mulgate && echo '; mulgate still runs')$(running sprue && echo '; sprue still runs')"
    fi
}

step_start() {
    local status log
    kit_log_mark
    status=$(kit_init start drovik) || { report start "$status" "init's start of drovik"; return; }
    wait_for "drovik running" prop_is init.svc.drovik running
    wait_for "drovik's banner" logged "PID of drovik:"
    log=$(kit_log)
    if prop_is init.svc.drovik running && running drovik && [[ "$log" == *"PID of drovik: "* ]]; then
        report start 0 "start drovik: init.svc.drovik running, pid $(kit_pid drovik), its banner in the log"
    else
        report start 1 "start drovik: init.svc.drovik '$(kit_getprop init.svc.drovik)', pid '$(kit_pid drovik)'"
        indent <<<"$log" | tail -10
    fi
}

kit_open || exit 2
trap kit_close EXIT
echo "device-check: $(kit_describe), $partition install ($rc)"
for step in domain identity denials cable restart stop start; do "step_$step"; done
echo "device-check: $passed passed, $failed failed, $unchecked not checked"
[ $failed -eq 0 ]
