# shellcheck shell=bash disable=SC2154 # the variables are check.sh's
# the .rc file as init reads it (README.md) and what it means: the installed executable, a class started after the persistent properties, no disabled or oneshot, users, groups and capabilities as android/accesses and the policy need, the domain init enters, no gentle_kill and a trigger on its stopped state that stops mulgate and sprue
needs_policy init

check_init() {
    local args=("${own_args[@]}") f
    for f in "${config_fs[@]}"; do args+=(--config-fs "$f"); done
    result_of init "$rc" python3 "$HERE/rc_check.py" "$ROOT" "$aosp" "$conf" "$binary" "$rc" "${args[@]}"
}
