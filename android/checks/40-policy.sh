# shellcheck shell=bash disable=SC2154 # the variables are check.sh's
# the platform's monolithic SELinux policy with drovik's and the device's inside, built as the platform builds it (m4, checkpolicy): syntax, declarations, macros, every neverallow rule
needs_policy policy

start_policy() {
    "$PYTHON" "$HERE/sepolicy.py" neverallow "$I/policy" >"$I/policy.log" 2>&1 &
    JOBS["policy $partition"]=$!
}

check_policy() {
    local placed="${own_policy[*]} and the device's ${device#"$ROOT"/}"
    [ "$partition" = system_ext ] || placed+=" with ${device_vendor#"$ROOT"/}"
    if wait "${JOBS["policy $partition"]}"; then
        result policy 0 "platform policy with $placed: $(tail -1 "$I/build.log"), $(tail -1 "$I/policy.log")"
    else
        result policy 1 "platform policy with $placed" "$I/policy.log"
    fi
}
