# shellcheck shell=bash disable=SC2154 # sim and sim_rc are device-check.sh's
# device-check.sh's back end for the simulated device: one drovik-sim shell,
# kept running through every step, whose commands stand for the device's.
# Each call sends one line, then a marker, and takes the output up to the
# marker. The simulated device has no SELinux: the steps that need it say so.
MARKER=@@device-check@@
LOGFILE="" PERSIST="" TO_SIM="" FROM_SIM=""

# sim_do LINE...: the shell's output for the lines.
sim_do() {
    local line out=""
    printf '%s\n' "$@" "say $MARKER" >&"$TO_SIM" || return 1
    while IFS= read -r -t 30 line <&"$FROM_SIM"; do
        [ "$line" = "$MARKER" ] && { printf '%s' "$out"; return 0; }
        out+=$line$'\n'
    done
    return 1
}

kit_open() {
    PERSIST=$(mktemp "${TMPDIR:-/tmp}/device-check.persist.XXXXXX")
    # The log since the mark, in a file: the steps read it from subshells.
    LOGFILE=$(mktemp "${TMPDIR:-/tmp}/device-check.log.XXXXXX")
    coproc SIM { exec "$sim" --persist "$PERSIST" ${sim_rc:+--rc "$sim_rc"} shell 2>&1; }
    # A coprocess's descriptors are not passed to subshells; copies are.
    exec {TO_SIM}>&"${SIM[1]}" {FROM_SIM}<&"${SIM[0]}"
    sim_do status >/dev/null
}

kit_close() {
    [ -z "${SIM_PID:-}" ] || { printf 'quit\n' >&"$TO_SIM"; wait "$SIM_PID"; } 2>/dev/null
    rm -f "$PERSIST" "$LOGFILE"
}

kit_describe() { echo "the simulated device ($sim)"; }

# kit_pid NAME: the first live process of that name, by the device's ps
# (whose last column is the name).
kit_pid() {
    sim_do ps | awk -v name="$1" 'NR > 1 && $NF == name && $3 != "Z" { print $1; exit }'
}

kit_getprop() {
    local v
    v=$(sim_do "getprop $1")
    v=${v%$'\n'}
    [ "$v" = "(unset)" ] && v=""
    v=${v#\"}
    printf '%s\n' "${v%\"}"
}

# The device's processes live in a PID namespace of their own; /proc of the
# machine shows each with its pid there as the last NSpid field.
host_pid() {
    local p
    for p in /proc/[0-9]*; do
        [ "$(awk '/^NSpid:/ { print $NF }' "$p/status" 2>/dev/null)" = "$1" ] || continue
        [ "$(awk '/^NSpid:/ { print NF }' "$p/status" 2>/dev/null)" -gt 2 ] || continue
        descends "${p#/proc/}" && { echo "${p#/proc/}"; return 0; }
    done
    return 1
}

descends() {
    local p=$1
    while [ -n "$p" ] && [ "$p" -gt 1 ]; do
        [ "$p" = "$SIM_PID" ] && return 0
        p=$(awk '/^PPid:/ { print $2 }' "/proc/$p/status" 2>/dev/null)
    done
    return 1
}

kit_proc_status() {
    local p
    p=$(host_pid "$1") || { echo "no process $1 in the device"; return 1; }
    cat "/proc/$p/status"
}

kit_context() { echo "needs SELinux, which the simulated device lacks"; return 2; }
kit_denials() { kit_context; }

kit_log_mark() { sim_do log >/dev/null; : >"$LOGFILE"; }
kit_log() {
    sim_do log | grep -v '^(no new log lines)$' >>"$LOGFILE"
    cat "$LOGFILE"
}

kit_cable_off_on() {
    sim_do unplug "expect service mulgate stopped" >/dev/null && sim_do plug >/dev/null
}

kit_signal_daemon() { sim_do "signal $1" >/dev/null; }

kit_init() {
    local out
    out=$(sim_do "$1 $2")
    if grep -q "^drovik-sim: \|unknown\|cannot" <<<"$out"; then
        echo "the simulated device has no '$1 $2': ${out%%$'\n'*}"
        return 1
    fi
}
