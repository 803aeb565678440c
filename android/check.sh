#!/usr/bin/env bash
# shellcheck disable=SC2034 # the checks of android/checks read what is set here
# drovik checked against the Android platform it ships in, offline, the way
# the platform's build and a device check it. Usage:
#
#   android/check.sh [--partition all|system_ext|vendor] [OPTIONS] [AOSP_ROOT]
#   android/check.sh --self-test [AOSP_ROOT]
#
# AOSP_ROOT is the top of an AOSP checkout, or a trimmed copy laid out like
# one (default: ../shared/aosp beside the repository). --partition picks the
# install: system_ext (drovik.rc, sepolicy/private), vendor (drovik-vendor.rc,
# sepolicy/vendor) or both (all, the default), each checked on its own where
# it differs. One line per check, each from android/checks/, in this order:
#
#   @CHECKS@
#
# OPTIONS:
#   --device DIR        the device's policy for mulgate and sprue (default
#                       android/device, a stand-in written as docs/android.md
#                       tells integrators); give the real one to check it
#   --device-vendor DIR the device's lines for a vendor install of drovik
#                       (default android/device/vendor_install): its services'
#                       domains in drovik's attributes
#   --config-fs FILE    the device's config.fs, for users and groups of its own
#   --with-source FILE  one more source compiled and linked with the daemon
#   --only CHECK,...    run these checks only
#   --no-cache          check everything again; otherwise a compile whose
#                       preprocessed source and flags, or a policy whose
#                       policy.conf, were checked before takes that result
#                       (kept in build-android/, or DROVIK_ANDROID_CACHE),
#                       and the stubs are made once
# --self-test runs the check on a broken copy of the pack for every rule
# (tests/android/fixtures), each of which must fail. DROVIK_KEEP_WORK=1 keeps
# the work folder. Needs Debian's $PACKAGES, and installs
# the missing ones (as root). Exits 1 when a check fails, 2 on a missing tool,
# tree path or bad argument.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
# The helpers import each other; no byte code is left in the tree.
export PYTHONDONTWRITEBYTECODE=1
# Debian's own Python, which has python3-selinux and python3-setools.
PYTHON=/usr/bin/python3
HERE=$ROOT/android
# sigwaitinfo and stdout, which the daemon uses, arrived in API 23.
MIN_API=23
TOP_API=34
# The daemon's domain in both policies.
DOMAIN=drovik
# Each tool the checks run, and its Debian package.
TOOLS=(clang:clang clang++:clang ld.lld:lld m4:m4 checkpolicy:checkpolicy secilc:secilc sesearch:setools
    seinfo:setools python3:python3)
TREE_PATHS=(system/core/libcutils/include/private/android_filesystem_config.h
    bionic/libc/kernel/uapi/linux/capability.h system/core/init/README.md
    system/core/rootdir/init.rc system/core/rootdir/init.usb.rc
    system/sepolicy/public system/sepolicy/private system/sepolicy/vendor
    system/sepolicy/flagging/te_macros system/sepolicy/flagging/Android.bp
    system/sepolicy/build/soong/policy.go system/sepolicy/build/soong/selinux_contexts.go
    system/sepolicy/tests/check_prop_prefix.py)

# Each file of android/checks holds one check: a second line that says what
# it checks, check_NAME, and as it needs them start_NAME (run before any
# check, for work that goes on in the background), per_install (a check of
# each install) or needs_policy (the same, reading the install's policy),
# and the tree paths it reads (TREE_NEEDS).
CHECKS=() TREE_NEEDS=()
declare -A PER_INSTALL=() NEEDS_POLICY=() JOBS=()
per_install() { PER_INSTALL[$1]=1; }
needs_policy() { PER_INSTALL[$1]=1 NEEDS_POLICY[$1]=1; }
for file in "$HERE"/checks/*.sh; do
    name=$(basename "$file" .sh)
    name=${name#*-}
    CHECKS+=("$name")
    # shellcheck source=/dev/null
    . "$file"
done

usage() {
    local list
    list=$(for file in "$HERE"/checks/*.sh; do
        name=$(basename "$file" .sh)
        sed -n '2s/^# //p' "$file" | sed "s/\$MIN_API/$MIN_API/g; s/\$TOP_API/$TOP_API/g" | fold -s -w 62 | sed "s/ *$//" |
            sed "1s/^/#   $(printf '%-10s' "${name#*-}") /; 2,\$s/^/#              /"
    done)
    sed -n '3,/^set -uo/p' "$0" | sed '$d' | while IFS= read -r line; do
        if [ "$line" = '#   @CHECKS@' ]; then echo "$list"; else echo "$line"; fi
    done | sed 's/^# \{0,1\}//' | sed "s/\$PACKAGES/$(printf '%s\n' "${TOOLS[@]#*:}" libc++-dev python3-selinux python3-setools | sort -u | tr '\n' ' ' | sed 's/ $//')/"
    exit 2
}

partition=all only="" self_test=0 aosp="" cache=1
device=$HERE/device device_vendor=$HERE/device/vendor_install config_fs=() with_sources=()
while [ $# -gt 0 ]; do
    case "$1" in
    --partition) partition=${2:-}; shift 2 || usage ;;
    --device) device=$(realpath -e "${2:-}") || exit 2; shift 2 ;;
    --device-vendor) device_vendor=$(realpath -e "${2:-}") || exit 2; shift 2 ;;
    --config-fs) config_fs+=("$(realpath -e "${2:-}")") || exit 2; shift 2 ;;
    --with-source) with_sources+=("$(realpath -e "${2:-}")") || exit 2; shift 2 ;;
    --only) only=${2:-}; shift 2 || usage ;;
    --self-test) self_test=1; shift ;;
    --no-cache) cache=0; shift ;;
    -h | --help) usage ;;
    -*) usage ;;
    *) [ -z "$aosp" ] || usage; aosp=$1; shift ;;
    esac
done
case "$partition" in all | system_ext | vendor) ;; *) usage ;; esac
selected=()
for name in ${only//,/ }; do
    [[ " ${CHECKS[*]} " == *" $name "* ]] || { echo "android-check: no check '$name' (${CHECKS[*]})" >&2; exit 2; }
    selected+=("$name")
done
[ ${#selected[@]} -gt 0 ] || selected=("${CHECKS[@]}")
aosp=${aosp:-$ROOT/../shared/aosp}
if [ ! -d "$aosp" ]; then
    echo "android-check: no AOSP tree at $aosp (give the root of an AOSP checkout)" >&2
    exit 2
fi
aosp=$(cd "$aosp" && pwd)
cd "$ROOT" || exit 2

# --- tools and tree ------------------------------------------------------

libcxx_dir() {
    local resource
    resource=$(clang++ -print-resource-dir 2>/dev/null) || return 1
    # /usr/lib/llvm-N/lib/clang/X -> /usr/lib/llvm-N/include/c++/v1
    echo "${resource%/lib/clang/*}/include/c++/v1"
}

missing_packages() {
    local tool
    for tool in "${TOOLS[@]}"; do
        command -v "${tool%%:*}" >/dev/null 2>&1 || echo "${tool#*:}"
    done
    "$PYTHON" -c 'import selinux.audit2why' 2>/dev/null || echo python3-selinux
    "$PYTHON" -c 'import setools' 2>/dev/null || echo python3-setools
    if command -v clang++ >/dev/null 2>&1; then
        [ -f "$(libcxx_dir)/__config" ] || echo libc++-dev
    fi
}

packages=$(missing_packages | sort -u | tr '\n' ' ')
if [ -n "$packages" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "android-check: missing Debian packages: $packages(run as root to install them)" >&2
        exit 2
    fi
    echo "android-check: installing $packages"
    # shellcheck disable=SC2086 # one word per package
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $packages >/dev/null
    packages=$(missing_packages | sort -u | tr '\n' ' ')
    if [ -n "$packages" ]; then
        echo "android-check: still missing after installing: $packages" >&2
        exit 2
    fi
fi

missing=()
for p in "${TREE_PATHS[@]}" "${TREE_NEEDS[@]}"; do
    [ -e "$aosp/$p" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "android-check: missing in the AOSP tree $aosp:" >&2
    printf '    %s\n' "${missing[@]}" >&2
    exit 2
fi

# The checks' results kept for the next run (compiles, stubs, checkpolicy,
# secilc, sesearch), each keyed on all it depends on, so that any run may
# take any other's: the self-test's copies take the tree's.
if [ "$cache" = 1 ]; then
    export DROVIK_ANDROID_CACHE=${DROVIK_ANDROID_CACHE:-$ROOT/build-android}
else
    unset DROVIK_ANDROID_CACHE
fi

if [ "$self_test" = 1 ]; then
    exec "$PYTHON" "$ROOT/tests/android/self_test.py" "$aosp" "${CHECKS[@]}"
fi

# --- the installs ---------------------------------------------------------

W=$(mktemp -d "${TMPDIR:-/tmp}/drovik-android-check.XXXXXX")
trap '[ -n "${DROVIK_KEEP_WORK:-}" ] || rm -rf "$W"' EXIT
[ -z "${DROVIK_KEEP_WORK:-}" ] || echo "android-check: work folder $W"
started=$(date +%s%N)
passed=0 failed=0
installs=(system_ext vendor)
[ "$partition" = all ] || installs=("$partition")
declare -A BUILT=()

# select_install PARTITION: what the checks of one install read. I is its
# work folder, with the policy of the install (drovik's and the device's
# inside the platform's) as policy.conf and as a binary policy; own_args
# names drovik's policy folders to the helpers.
select_install() {
    partition=$1 I=$W/$1
    if [ "$partition" = system_ext ]; then
        own_policy=(sepolicy/private) policy_places=(--system-ext-private sepolicy/private)
        if [ -d sepolicy/public ]; then
            own_policy+=(sepolicy/public) policy_places+=(--system-ext-public sepolicy/public)
        fi
        rc=drovik.rc
    else
        own_policy=(sepolicy/vendor) policy_places=(--vendor sepolicy/vendor)
        rc=drovik-vendor.rc
    fi
    policy_places+=(--vendor "$device") own_args=()
    [ "$partition" = system_ext ] || policy_places+=(--vendor "$device_vendor")
    for d in "${own_policy[@]}"; do own_args+=(--own "$d"); done
    conf=$I/policy/policy.conf binary=$I/policy/policy.bin
}

# build_policy: once per install, for the checks that read the policy; the
# neverallow rules are the policy check's.
build_policy() {
    if [ -z "${BUILT[$partition]:-}" ]; then
        mkdir -p "$I/policy"
        "$PYTHON" "$HERE/sepolicy.py" build "$aosp" "$I/policy" "${policy_places[@]}" >"$I/build.log" 2>&1
        BUILT[$partition]=$?
    fi
    return "${BUILT[$partition]}"
}

# result NAME OK SUMMARY [LOG]: one line per check, with the install for
# those of one; a failure shows its log.
result() {
    local name=$1 summary=$3
    [ -z "${PER_INSTALL[$name]:-}" ] || [ ${#installs[@]} -eq 1 ] || summary="$partition: $summary"
    if [ "$2" = 0 ]; then
        printf 'PASS  %-10s %s\n' "$name" "$summary"
        passed=$((passed + 1))
    else
        printf 'FAIL  %-10s %s\n' "$name" "$summary"
        [ -n "${4:-}" ] && [ -s "$4" ] && sed "s|$ROOT/||g; s/^/    /" "$4"
        failed=$((failed + 1))
    fi
}

# result_of NAME SUMMARY COMMAND...: the command's last line is the summary
# of a check that passes; its whole output is the log of one that fails.
result_of() {
    local name=$1 summary=$2 status
    shift 2
    "$@" >"$I/$name.log" 2>&1
    status=$?
    [ $status -ne 0 ] || summary=$(tail -1 "$I/$name.log")
    result "$name" $status "$summary" "$I/$name.log"
    return $status
}

# run STEP NAME: start_NAME or check_NAME, once, or once per install.
run() {
    local step=$1 name=$2 p
    declare -F "${step}_$name" >/dev/null || return 0
    if [ -z "${PER_INSTALL[$name]:-}" ]; then
        I=$W
        "${step}_$name"
        return
    fi
    for p in "${installs[@]}"; do
        select_install "$p"
        mkdir -p "$I"
        if [ -n "${NEEDS_POLICY[$name]:-}" ] && ! build_policy; then
            [ "$step" = start ] || result "$name" 1 "not checked: the policy was not built" "$I/build.log"
        else
            "${step}_$name"
        fi
    done
}

echo "android-check: $aosp, drovik on ${installs[*]}, API $MIN_API and $TOP_API"
# A tree older than the installs' oldest platform is refused before anything
# else is built against it.
TOO_OLD=""
if [[ " ${selected[*]} " == *" platform "* ]]; then
    run check platform
    if [ -n "$TOO_OLD" ]; then
        echo "android-check: $aosp is older than drovik's oldest platform; nothing else was checked"
        exit 1
    fi
fi
for name in "${selected[@]}"; do [ "$name" = platform ] || run start "$name"; done
for name in "${selected[@]}"; do [ "$name" = platform ] || run check "$name"; done

elapsed=$((($(date +%s%N) - started) / 1000000))
printf 'android-check: %d passed, %d failed (%d.%01d s)\n' $passed $failed $((elapsed / 1000)) $((elapsed % 1000 / 100))
[ $failed -eq 0 ]
