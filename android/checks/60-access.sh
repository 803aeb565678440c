# shellcheck shell=bash disable=SC2154 # the variables are check.sh's
# every access of android/accesses (names from the daemon's sources) allowed to the daemon's domain by the built policy (sesearch); on vendor, the ones the platform refuses stay refused
needs_policy access

check_access() {
    result_of access "android/accesses against the $partition policy" \
        "$PYTHON" "$HERE/access.py" "$ROOT" "$aosp" "$conf" "$binary" "$partition" "$DOMAIN" "${own_args[@]}" --device "$device"
}
