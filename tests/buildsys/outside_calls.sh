#!/usr/bin/env bash
# The daemon reaches the outside world (the log, properties, other processes,
# new threads) only through util/outside.cpp, which applies the gate of
# util/gate.cpp: where the orderly stop holds a thread, and where a waiting
# call lets a stop signal in. This holds every other object of the daemon to that, by the
# symbols it leaves for the linker, and shows on a fixture that calls kill()
# directly that a breach is caught.
#
# Usage: outside_calls.sh NM FIXTURE_OBJECT DAEMON_OBJECT_OR_ARCHIVE...
set -euo pipefail

nm=$1 fixture=$2
shift 2
# The calls themselves, and the lower-level ways to the same ends.
forbidden='__android_log_print|__android_log_vprint|__android_log_write|__android_log_buf_print|__android_log_buf_write|property_get|property_set|__system_property_get|__system_property_set|__system_property_find|kill|killpg|sigqueue|tgkill|pthread_create|fork|vfork|clone'

# Prints "object: symbol" for each forbidden call outside the layer.
breaches() {
    "$nm" -A --undefined-only "$@" |
        awk -v re="^($forbidden)(@.*)?\$" '{
            sym = $NF; file = $1; sub(/:$/, "", file)
            if (file ~ /(^|[:\/])outside\.cpp\.o$/) next
            if (sym ~ re) print file ": " sym
        }'
}

status=0
found=$(breaches "$@")
if [ -n "$found" ]; then
    echo "calls to the outside world that bypass util/outside.cpp:" >&2
    echo "$found" >&2
    status=1
fi
if ! breaches "$fixture" | grep -q ': kill$'; then
    echo "the check missed the fixture's direct kill() ($fixture)" >&2
    status=1
fi
[ "$status" = 0 ] && echo "only util/outside.cpp calls the outside world ($# files checked)"
exit "$status"
