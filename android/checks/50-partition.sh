# shellcheck shell=bash disable=SC2154 # the variables are check.sh's
# the device's vendor policy as the platform builds it (against the public policy alone, to CIL) and as init boots it (secilc), with drovik's system_ext and with a generic system image's
per_install partition

start_partition() {
    mkdir -p "$I/partition"
    "$PYTHON" "$HERE/sepolicy.py" partition "$aosp" "$I/partition" "${policy_places[@]}" >"$I/partition.log" 2>&1 &
    JOBS["partition $partition"]=$!
}

check_partition() {
    if wait "${JOBS["partition $partition"]}"; then
        result partition 0 "$(tail -1 "$I/partition.log")"
    else
        result partition 1 "the vendor policy (${own_policy[*]} on $partition, the device's ${device#"$ROOT"/})" \
            "$I/partition.log"
    fi
}
