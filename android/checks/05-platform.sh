# shellcheck shell=bash disable=SC2154,SC2034 # the variables are check.sh's; TOO_OLD is read there
# the oldest platform the install works on (the sources' API level, every option of its .rc, its partition's policy features), and a tree at least that old; nothing else is checked against an older one
per_install platform

check_platform() {
    result_of platform "the tree against the $partition install's oldest platform" \
        "$PYTHON" "$HERE/oldest.py" "$ROOT" "$aosp" "$partition" "$rc" "$MIN_API" || TOO_OLD=1
}
