# shellcheck shell=bash disable=SC2154 # the variables are check.sh's
# the platform's property-namespace rule for the partition, through the tree's own check_prop_prefix.py
per_install namespace

check_namespace() {
    local status=0
    {
        "$PYTHON" "$HERE/sepolicy.py" namespace "$aosp" "$partition" "${own_policy[@]}" || status=1
        if [ -f "$device/property_contexts" ]; then
            "$PYTHON" "$HERE/sepolicy.py" namespace "$aosp" vendor "$device" || status=1
        fi
    } >"$I/namespace.log" 2>&1
    if [ $status -eq 0 ]; then
        result namespace 0 "$(tr '\n' ';' <"$I/namespace.log" | sed 's/;$//; s/;/; /g')"
    else
        result namespace 1 "property names and labels for $partition and the device (vendor)" "$I/namespace.log"
    fi
}
