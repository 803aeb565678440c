# shellcheck shell=bash
# device-check.sh's back end for a device over adb (Debian's adb package).
# Steps that need root run through adb root, which only a userdebug or eng
# build allows; on a user build they say so instead of running.
ADB=(adb)
ROOTED=0 MARK=""

adb_sh() { "${ADB[@]}" shell "$@" 2>/dev/null | tr -d '\r'; }

kit_open() {
    [ -z "$serial" ] || ADB+=(-s "$serial")
    command -v adb >/dev/null || { echo "device-check: no adb (Debian's adb package)" >&2; return 1; }
    if [ "$("${ADB[@]}" get-state 2>/dev/null)" != device ]; then
        echo "device-check: no device attached ('adb devices' lists none ready)" >&2
        return 1
    fi
    if [ "$(adb_sh getprop ro.debuggable)" = 1 ]; then
        "${ADB[@]}" root >/dev/null 2>&1 && "${ADB[@]}" wait-for-device && ROOTED=1
    fi
}

kit_close() { :; }

kit_describe() {
    echo "adb device $(adb_sh getprop ro.product.device) ($(adb_sh getprop ro.build.type), $([ $ROOTED = 1 ] && echo 'adb root' || echo 'no root'))"
}

needs_root() {
    [ $ROOTED = 1 ] && return 0
    echo "needs a userdebug or eng build (adb root)"
    return 2
}

kit_pid() { adb_sh pidof "$1" | awk '{ print $1 }'; }
kit_getprop() { adb_sh getprop "$1"; }
kit_context() { adb_sh cat "/proc/$1/attr/current" | tr -d '\0'; }

kit_proc_status() {
    needs_root || return 2
    adb_sh cat "/proc/$1/status"
}

kit_denials() {
    needs_root || return 2
    adb_sh dmesg | grep 'avc:.*drovik' || true
}

kit_log_mark() { MARK=$(adb_sh date +'%m-%d %H:%M:%S.000'); }
kit_log() { adb_sh logcat -d -v brief -T "$MARK" -s "$TAG"; }

kit_signal_daemon() {
    needs_root || return 2
    adb_sh "kill -$1 \$(pidof drovik)"
}

kit_init() {
    needs_root || return 2
    adb_sh "$1" "$2"
}

# The cable off and on from the device's side: the gadget turned off and on
# again by a script left running on the device, since adb over USB goes with
# it; read back once adb is there again.
kit_cable_off_on() {
    needs_root || return 2
    adb_sh "nohup sh -c 'c=\$(getprop sys.usb.config); setprop sys.usb.config none; sleep 5; setprop sys.usb.config \$c' >/dev/null 2>&1 &"
    sleep 8
    "${ADB[@]}" wait-for-device
}
