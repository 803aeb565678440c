# shellcheck shell=bash disable=SC2154 # the variables are check.sh's
# every access of android/accesses (names from the daemon's sources) as the kernel decides it against the built policy (audit2why: rules and MLS constraints) and whether a refusal is logged (dontaudit): allowed, or refused unlogged where a line says so
needs_policy access

check_access() {
    result_of access "android/accesses against the $partition policy" \
        "$PYTHON" "$HERE/access.py" "$ROOT" "$aosp" "$conf" "$binary" "$partition" "$DOMAIN" "${own_args[@]}" --device "$device"
}
