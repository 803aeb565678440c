#!/usr/bin/env bash
# drovik checked against the Android platform it ships in, offline, with the
# checks an integrator's build runs. Usage:
#
#   android/check.sh [--partition system_ext|vendor] [AOSP_ROOT]
#   android/check.sh --self-test [AOSP_ROOT]
#
# AOSP_ROOT is the top of an AOSP checkout, or a trimmed copy laid out like
# one (default: ../shared/aosp beside the repository). The checks:
#   compile   every daemon source, and the NDK property calls, for
#             aarch64-linux-android at API $MIN_API (the lowest the daemon
#             supports) and $TOP_API: clang with the platform build's error
#             flags, -nostdinc against the tree's bionic, liblog and libcutils
#             headers and Debian's libc++ headers;
#   link      the daemon, as the platform builds it (libcutils) and as the NDK
#             build does (platform/ndk), against stub libraries made from the
#             tree's symbol maps for API $MIN_API as the NDK makes them;
#   policy    the platform's monolithic SELinux policy with drovik's inside,
#             built as the platform builds it (m4, checkpolicy): syntax,
#             declarations, macros, every neverallow rule;
#   contexts  file_contexts and property_contexts: syntax, declared types;
#             the platform's labels on the sysfs files the daemon reads;
#   namespace the platform's property-namespace rule for the partition;
#   init      the .rc file against init's documented language, and the
#             domain transition init needs to start the service.
# --partition picks the install: system_ext (drovik.rc, sepolicy/public and
# sepolicy/private; the default) or vendor (drovik-vendor.rc, sepolicy/vendor).
# For the self-test and for trying a device's own policy:
#   --with DIR          a device policy directory (BOARD_VENDOR_SEPOLICY_DIRS)
#   --with-source FILE  one more source compiled and linked with the daemon
#   --only native|policy
#   --no-cache          check everything again; otherwise a compile whose
#                       preprocessed source and flags, or a policy whose
#                       policy.conf, were checked before takes that result
#                       (kept in build-android/), and the stubs are made once
# DROVIK_KEEP_WORK=1 keeps the work folder (its name is in the messages).
# Needs clang, lld, libc++-dev, m4, checkpolicy and python3 from Debian, and
# installs the missing ones (as root). Exits non-zero on any failure, a missing
# tool or a missing tree path.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
HERE=$ROOT/android
# sigwaitinfo and stdout, which the daemon uses, arrived in API 23.
MIN_API=23
TOP_API=34
# libcutils has no symbol map in the tree: its stub holds the calls the daemon
# makes, each checked against the tree's header.
CUTILS_CALLS=(property_get property_set)
CUTILS_HEADER=system/core/libcutils/include/cutils/properties.h
MAPS=(bionic/libc/libc.map.txt bionic/libm/libm.map.txt bionic/libdl/libdl.map.txt
    system/logging/liblog/liblog.map.txt)
INCLUDES=(bionic/libc/include bionic/libc/kernel/uapi bionic/libc/kernel/uapi/asm-arm64
    bionic/libc/kernel/android/uapi system/logging/liblog/include system/core/libcutils/include)
TREE_PATHS=("${INCLUDES[@]}" "${MAPS[@]}" "$CUTILS_HEADER"
    system/core/libcutils/include/private/android_filesystem_config.h
    bionic/libc/kernel/uapi/linux/capability.h system/core/init/README.md
    system/sepolicy/public system/sepolicy/private system/sepolicy/vendor
    system/sepolicy/flagging/te_macros system/sepolicy/flagging/Android.bp
    system/sepolicy/build/soong/policy.go system/sepolicy/build/soong/selinux_contexts.go
    system/sepolicy/tests/check_prop_prefix.py)
# The sysfs files the daemon reads, through the class links and where they lead.
SYSFS_FILES=(/sys/class/android_usb/android0/state /sys/class/android_usb/f_serial/serial_port_num
    /sys/devices/virtual/android_usb/android0/state /sys/devices/virtual/android_usb/f_serial/serial_port_num)

usage() {
    sed -n '2,/^set -uo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' | sed "s/\$MIN_API/$MIN_API/g; s/\$TOP_API/$TOP_API/g"
    exit 2
}

partition=system_ext only="" self_test=0 aosp="" cache=(--cache "$ROOT/build-android/checkpolicy")
with_dirs=() with_sources=()
while [ $# -gt 0 ]; do
    case "$1" in
    --partition) partition=${2:-}; shift 2 || usage ;;
    --with) with_dirs+=("$(realpath -e "${2:-}")") || exit 2; shift 2 ;;
    --with-source) with_sources+=("$(realpath -e "${2:-}")") || exit 2; shift 2 ;;
    --only) only=${2:-}; shift 2 || usage ;;
    --self-test) self_test=1; shift ;;
    --no-cache) cache=(); shift ;;
    -h | --help) usage ;;
    -*) usage ;;
    *) [ -z "$aosp" ] || usage; aosp=$1; shift ;;
    esac
done
case "$partition" in system_ext | vendor) ;; *) usage ;; esac
case "$only" in "" | native | policy) ;; *) usage ;; esac
aosp=${aosp:-$ROOT/../shared/aosp}
if [ ! -d "$aosp" ]; then
    echo "android-check: no AOSP tree at $aosp (give the root of an AOSP checkout)" >&2
    exit 2
fi
aosp=$(cd "$aosp" && pwd)
cd "$ROOT"

# --- tools --------------------------------------------------------------

libcxx_dir() {
    local resource
    resource=$(clang++ -print-resource-dir 2>/dev/null) || return 1
    # /usr/lib/llvm-N/lib/clang/X -> /usr/lib/llvm-N/include/c++/v1
    echo "${resource%/lib/clang/*}/include/c++/v1"
}

missing_packages() {
    local tool package
    for tool in clang:clang clang++:clang ld.lld:lld m4:m4 checkpolicy:checkpolicy python3:python3; do
        command -v "${tool%%:*}" >/dev/null 2>&1 || echo "${tool#*:}"
    done
    if command -v clang++ >/dev/null 2>&1; then
        package=libc++-dev
        [ -f "$(libcxx_dir)/__config" ] || echo "$package"
    fi
}

packages=$(missing_packages | sort -u | tr '\n' ' ')
if [ -n "$packages" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "android-check: missing Debian packages: $packages(run as root to install them)" >&2
        exit 2
    fi
    echo "android-check: installing $packages"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $packages >/dev/null
    packages=$(missing_packages | sort -u | tr '\n' ' ')
    if [ -n "$packages" ]; then
        echo "android-check: still missing after installing: $packages" >&2
        exit 2
    fi
fi
LIBCXX=$(libcxx_dir)

missing=()
for p in "${TREE_PATHS[@]}"; do
    [ -e "$aosp/$p" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "android-check: missing in the AOSP tree $aosp:" >&2
    printf '    %s\n' "${missing[@]}" >&2
    exit 2
fi

# --- self-test ----------------------------------------------------------

# Runs the check on fixtures that must fail, with the platform's own words,
# and on configurations that must pass.
if [ "$self_test" = 1 ]; then
    fixtures=$ROOT/tests/android
    passed=0 failed=0
    expect() { # NAME EXIT(0|fail) ARGS... -- PATTERN...
        local name=$1 want=$2 args=() out status missing_text=()
        shift 2
        while [ "$1" != -- ]; do args+=("$1"); shift; done
        shift
        out=$("$0" --no-cache "${args[@]}" "$aosp" 2>&1)
        status=$?
        for pattern in "$@"; do
            grep -qF -- "$pattern" <<<"$out" || missing_text+=("$pattern")
        done
        if { [ "$want" = 0 ] && [ $status -eq 0 ]; } || { [ "$want" = fail ] && [ $status -eq 1 ]; } &&
            [ ${#missing_text[@]} -eq 0 ]; then
            echo "PASS  $name"
            passed=$((passed + 1))
        else
            echo "FAIL  $name (exit $status; expected $want)"
            printf '    not in the output: %s\n' "${missing_text[@]}"
            sed 's/^/    | /' <<<"$out"
            failed=$((failed + 1))
        fi
    }
    expect "a libc call newer than API $MIN_API fails the link" fail \
        --only native --with-source "$fixtures/too_new_symbol.cpp" -- \
        "FAIL  link" "undefined symbol: getrandom" "getrandom: bionic/libc/libc.map.txt:" "version LIBC_P: introduced=28, not in the stub for API $MIN_API"
    expect "the vendor policy that tries to keep the daemon's behaviour breaks the platform's rules" fail \
        --only policy --partition vendor --with "$fixtures/vendor_full" -- \
        "5 violations found:" 'ctl.start$mulgate    u:object_r:vendor_drovik_ctl_prop:s0' \
        'init.svc.mulgate     u:object_r:vendor_drovik_svc_status_prop:s0' \
        "violated by allow drovik system_prop:file { read open };" \
        "violated by allow drovik init_service_status_private_prop:file { read open };" \
        "rule: neverallow { domain -coredomain"
    expect "the vendor variant as shipped passes" 0 --only policy --partition vendor -- "0 failed"
    expect "system_ext with a device's services in vendor domains passes" 0 \
        --only policy --with "$fixtures/device" -- "0 failed"
    layout=$(SOURCE_DATE_EPOCH=1796515200 "$HERE/build_time.sh" | grep -c -e '"Dec  6 2026"' -e '"00:00:00"')
    if [ "$layout" = 2 ]; then
        echo "PASS  the build time header takes SOURCE_DATE_EPOCH in the __DATE__ / __TIME__ layout"
        passed=$((passed + 1))
    else
        echo "FAIL  the build time header is not 'Dec  6 2026' / '00:00:00' for SOURCE_DATE_EPOCH=1796515200"
        failed=$((failed + 1))
    fi
    echo "self-test: $passed passed, $failed failed"
    [ $failed -eq 0 ]
    exit
fi

# --- the checks ---------------------------------------------------------

W=$(mktemp -d "${TMPDIR:-/tmp}/drovik-android-check.XXXXXX")
trap '[ -n "${DROVIK_KEEP_WORK:-}" ] || rm -rf "$W"' EXIT
started=$(date +%s%N)
passed=0 failed=0

# result NAME OK SUMMARY [LOG]: one line per check; a failure shows its log.
result() {
    if [ "$2" = 0 ]; then
        printf 'PASS  %-10s %s\n' "$1" "$3"
        passed=$((passed + 1))
    else
        printf 'FAIL  %-10s %s\n' "$1" "$3"
        [ -n "${4:-}" ] && [ -s "$4" ] && sed 's/^/    /' "$4"
        failed=$((failed + 1))
    fi
}

if [ "$partition" = system_ext ]; then
    policy_places=(--system-ext-public sepolicy/public --system-ext-private sepolicy/private)
    policy_dirs=(sepolicy/public sepolicy/private)
    rc=drovik.rc
else
    policy_places=(--vendor sepolicy/vendor)
    policy_dirs=(sepolicy/vendor)
    rc=drovik-vendor.rc
fi
for d in "${with_dirs[@]}"; do policy_places+=(--vendor "$d"); done
echo "android-check: $aosp, drovik on $partition, API $MIN_API and $TOP_API"

if [ "$only" != native ]; then
    mkdir "$W/policy"
    python3 "$HERE/sepolicy.py" build "$aosp" "$W/policy" "${policy_places[@]}" "${cache[@]}" >"$W/policy.log" 2>&1 &
    policy_job=$!
fi

if [ "$only" != policy ]; then
    # The build time of the last commit, unless SOURCE_DATE_EPOCH says
    # otherwise: the header, and so the compile of main.cpp, stays the same
    # from one run to the next.
    SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null)} \
        "$HERE/build_time.sh" >"$W/drovik_build_time.h"
    compiler=$(clang++ --version | head -1)
    cache_dir=$ROOT/build-android/compile
    if [ ${#cache[@]} -gt 0 ]; then
        mkdir -p "$cache_dir"
        # Keep what the last few runs used.
        find "$cache_dir" -type f -mtime +7 -delete 2>/dev/null
    fi
    resource=$(clang++ -print-resource-dir)
    # The platform build's own error flags and code generation (Soong's
    # global flags), on top of the project's warnings.
    cxxflags=(-std=c++20 -nostdinc -nostdinc++ -isystem "$LIBCXX" -isystem "$resource/include")
    for d in "${INCLUDES[@]}"; do cxxflags+=(-isystem "$aosp/$d"); done
    cxxflags+=(-I "$ROOT" -I "$W" -Wall -Wextra -Werror -Werror=date-time -Werror=format-security
        -Werror=return-type -Werror=int-conversion -Werror=address -Werror=non-virtual-dtor
        -Werror=sequence-point -Werror=string-plus-int -fno-exceptions -fno-rtti -O2
        -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fPIE -ffunction-sections -fdata-sections)
    daemon_sources=(daemon/*.cpp services/*.cpp usb_monitor/*.cpp util/*.cpp "${with_sources[@]}")
    # The NDK build's property calls take the project's stand-in for
    # libcutils' header; ndk_header_check.cpp holds it to the tree's.
    ndk_sources=(platform/ndk/properties.cpp android/ndk_header_check.cpp)

    # compile_one API MODE SOURCE OBJECT: one compile, its messages in
    # OBJECT.log. With the cache, a compile whose preprocessed source, flags
    # and compiler were seen before takes that result (object and messages),
    # as ccache does: the rest of the compile depends on nothing else.
    compile_one() {
        local api=$1 mode=$2 src=$3 obj=$4 extra=() key="" status
        [ "$src" = platform/ndk/properties.cpp ] && extra=(-I "$ROOT/platform/include")
        local cmd=(clang++ --target=aarch64-linux-android"$api" "${extra[@]}" "${cxxflags[@]}")
        if [ ${#cache[@]} -gt 0 ]; then
            key=$({ "${cmd[@]}" -E "$src" -o - 2>/dev/null || echo "unpreprocessed $$ $RANDOM"
                printf '%s\n' "${cmd[@]}" "$mode" "$compiler"; } | sed "s|$W|W|g" | sha256sum | cut -c1-64)
            key=$cache_dir/$key
            if [ -f "$key.status" ]; then
                cp "$key.log" "$obj.log" && { [ "$mode" != -c ] || cp "$key.o" "$obj"; } && touch "$key.status" &&
                    echo "$src" >>"$(dirname "$obj")/reused" && return "$(cat "$key.status")"
            fi
        fi
        "${cmd[@]}" "$mode" "$src" -o "$obj" >"$obj.log" 2>&1
        status=$?
        if [ -n "$key" ]; then
            { [ "$mode" != -c ] || [ $status -ne 0 ] || cp "$obj" "$key.o"; } && cp "$obj.log" "$key.log" &&
                echo $status >"$key.status"
        fi
        return $status
    }

    # compile API OUTDIR MODE: every source, two at a time.
    compile() {
        local api=$1 out=$2 mode=$3 src obj jobs=0
        mkdir -p "$out"
        for src in "${daemon_sources[@]}" "${ndk_sources[@]}"; do
            obj=$out/$(basename "$src" .cpp).o
            (compile_one "$api" "$mode" "$src" "$obj" || echo "$src" >>"$out/failed") &
            jobs=$((jobs + 1))
            if [ $jobs -ge 2 ]; then wait -n; jobs=$((jobs - 1)); fi
        done
        while [ $jobs -gt 0 ]; do wait -n; jobs=$((jobs - 1)); done
        cat "$out"/*.log >"$out/all.log" 2>/dev/null
        local count=$((${#daemon_sources[@]} + ${#ndk_sources[@]}))
        local reused=""
        [ -f "$out/reused" ] && reused=" ($(wc -l <"$out/reused") unchanged since an earlier run)"
        if [ -f "$out/failed" ]; then
            result compile 1 "API $api: $(wc -l <"$out/failed") of $count sources fail: $(tr '\n' ' ' <"$out/failed")$reused" "$out/all.log"
        else
            result compile 0 "API $api: $count sources (daemon/, services/, usb_monitor/, util/, platform/ndk/)$reused"
        fi
    }
    compile "$MIN_API" "$W/obj" -c
    compile "$TOP_API" "$W/obj$TOP_API" -fsyntax-only

    # Stub libraries for MIN_API, as the NDK makes them from the maps, and the
    # link's stand-ins; with the cache, made again only when what they are
    # made from changes.
    make_stubs() {
        local stubs=$1 map lib call
        mkdir -p "$stubs"
        for map in "${MAPS[@]}"; do
            lib=$(basename "$map" .map.txt)
            python3 "$HERE/stubgen.py" "$aosp/$map" "$MIN_API" "$stubs/$lib.c" "$stubs/$lib.vers" &&
                clang --target=aarch64-linux-android"$MIN_API" -fno-builtin -w -nostdlib -shared -fuse-ld=lld \
                    -Wl,--version-script="$stubs/$lib.vers" -Wl,-soname,"$lib.so" "$stubs/$lib.c" -o "$stubs/$lib.so" ||
                return 1
        done
        for call in "${CUTILS_CALLS[@]}"; do
            grep -q "[^_a-z]$call(" "$aosp/$CUTILS_HEADER" || { echo "$CUTILS_HEADER declares no $call"; return 1; }
            echo "void $call(void) {}"
        done >"$stubs/libcutils.c"
        clang --target=aarch64-linux-android"$MIN_API" -fno-builtin -w -nostdlib -shared -fuse-ld=lld \
            -Wl,-soname,libcutils.so "$stubs/libcutils.c" -o "$stubs/libcutils.so" &&
            clang --target=aarch64-linux-android"$MIN_API" -fPIE -O2 -Wall -Wextra -Werror -c "$HERE/link_standins.c" \
                -o "$stubs/standins.o"
    }
    stubs=$W/stubs
    stub_ok=0
    if [ ${#cache[@]} -gt 0 ]; then
        key=$(cd "$aosp" && { cat "${MAPS[@]}" "$CUTILS_HEADER" "$HERE/stubgen.py" "$HERE/link_standins.c"
            echo "$MIN_API ${CUTILS_CALLS[*]} $compiler"; } | sha256sum | cut -c1-64)
        stubs=$ROOT/build-android/stubs/$key
        if [ ! -f "$stubs/done" ]; then
            rm -rf "$ROOT/build-android/stubs"
            make_stubs "$stubs" >"$W/stubs.log" 2>&1 && touch "$stubs/done" || stub_ok=1
        fi
    else
        make_stubs "$stubs" >"$W/stubs.log" 2>&1 || stub_ok=1
    fi

    # link NAME OUT OBJECTS... -- LIBS...: undefined symbols are looked up in
    # the maps, to show the API level that brought them.
    link() {
        local name=$1 out=$2 objs=() libs=()
        shift 2
        while [ "$1" != -- ]; do objs+=("$1"); shift; done
        shift
        libs=("$@")
        clang++ --target=aarch64-linux-android"$MIN_API" -fuse-ld=lld -nostdlib -pie \
            -Wl,--dynamic-linker=/system/bin/linker64 -Wl,-z,relro,-z,now -Wl,--gc-sections \
            -Wl,--trace-symbol=__emutls_get_address "$stubs/standins.o" "${objs[@]}" -L"$stubs" "${libs[@]}" \
            -o "$out" >"$out.log" 2>&1
        local status=$?
        grep -o 'undefined symbol: .*' "$out.log" | sed 's/undefined symbol: //' | sort -u | while read -r sym; do
            if [[ "$sym" == *"::"* || "$sym" == operator* ]]; then
                echo "$sym: the C++ runtime, which is not in the tree and which the daemon does not link"
            elif grep -qx "$sym" <(printf '%s\n' "${CUTILS_CALLS[@]}"); then
                echo "$sym: libcutils"
            else
                (cd "$aosp" && python3 "$HERE/stubgen.py" --explain "$MIN_API" "$sym" "${MAPS[@]}")
            fi
        done >>"$out.log"
        return $status
    }
    # The platform build links what Android.bp lists: it must list every
    # daemon source, and nothing else from those folders.
    bp_sources=$(grep -oE '"(daemon|services|usb_monitor|util)/[^"]*\.cpp"' Android.bp | tr -d '"' | sort -u)
    tree_sources=$(printf '%s\n' daemon/*.cpp services/*.cpp usb_monitor/*.cpp util/*.cpp | sort -u)
    bp_diff=$(diff <(echo "$bp_sources") <(echo "$tree_sources") | sed -n 's/^< /in Android.bp, not in the tree: /p; s/^> /in the tree, not in Android.bp: /p')
    if [ -n "$bp_diff" ]; then
        echo "$bp_diff" >"$W/bp.log"
        result link 1 "API $MIN_API: Android.bp's sources are not the daemon's" "$W/bp.log"
    elif [ $stub_ok -ne 0 ]; then
        result link 1 "API $MIN_API: the stub libraries did not build" "$W/stubs.log"
    elif [ -f "$W/obj/failed" ]; then
        result link 1 "API $MIN_API: not linked, some sources did not compile"
    else
        daemon_objs=()
        for src in "${daemon_sources[@]}"; do daemon_objs+=("$W/obj/$(basename "$src" .cpp).o"); done
        link platform "$W/drovik" "${daemon_objs[@]}" -- -lc -lm -ldl -llog -lcutils
        s1=$?
        link ndk "$W/drovik-ndk" "${daemon_objs[@]}" "$W/obj/properties.o" -- -lc -lm -ldl -llog
        s2=$?
        cat "$W/drovik.log" "$W/drovik-ndk.log" >"$W/link.log"
        runtime=$(grep -o 'reference to __emutls_get_address' "$W/link.log" | head -1)
        runtime=${runtime:+; compiler runtime: __emutls_get_address (thread_local below API 29)}
        if [ $s1 -eq 0 ] && [ $s2 -eq 0 ]; then
            result link 0 "API $MIN_API: drovik from Android.bp's sources with libc libm libdl liblog libcutils, and the NDK build without libcutils; no C++ runtime$runtime"
        else
            # Both builds share every source but one: show the NDK build's
            # messages only where they differ.
            for log in "$W/drovik.log" "$W/drovik-ndk.log"; do
                grep -v 'reference to\|definition of' "$log" >"$log.err"
            done
            if [ $s1 -ne 0 ] && [ $s2 -ne 0 ] &&
                diff -q <(grep 'undefined symbol' "$W/drovik.log.err") <(grep 'undefined symbol' "$W/drovik-ndk.log.err") >/dev/null; then
                { cat "$W/drovik.log.err"; echo "(the NDK build fails the same way)"; } >"$W/link.err"
            else
                cat "$W/drovik.log.err" "$W/drovik-ndk.log.err" >"$W/link.err"
            fi
            result link 1 "API $MIN_API: $( [ $s1 -ne 0 ] && echo 'the platform build' )$( [ $s1 -ne 0 ] && [ $s2 -ne 0 ] && echo ' and ' )$( [ $s2 -ne 0 ] && echo 'the NDK build' ) did not link" "$W/link.err"
        fi
    fi
fi

if [ "$only" != native ]; then
    own_fc=() own_pc=() with_fc=() with_pc=()
    for d in "${policy_dirs[@]}"; do
        [ -f "$d/file_contexts" ] && own_fc+=("$d/file_contexts")
        [ -f "$d/property_contexts" ] && own_pc+=("$d/property_contexts")
    done
    for d in "${with_dirs[@]}"; do
        [ -f "$d/file_contexts" ] && with_fc+=("$d/file_contexts")
        [ -f "$d/property_contexts" ] && with_pc+=("$d/property_contexts")
    done
    placed="${policy_dirs[*]}"
    [ ${#with_dirs[@]} -eq 0 ] || placed+=" and the device policy ${with_dirs[*]#"$ROOT"/}"
    wait "$policy_job"
    status=$?
    conf=$W/policy/policy.conf
    if [ $status -eq 0 ]; then
        result policy 0 "platform policy with $placed: $(tail -1 "$W/policy.log"), every neverallow holds"
    else
        result policy 1 "platform policy with $placed" "$W/policy.log"
    fi
    if [ ! -s "$conf" ] || grep -q '^m4: ' "$W/policy.log"; then
        result contexts 1 "not checked: the policy was not written"
        result init 1 "not checked: the policy was not written"
    else
        contexts_ok=0
        {
            python3 "$HERE/sepolicy.py" file-contexts "$conf" "$partition" "${own_fc[@]}" || contexts_ok=1
            if [ ${#with_fc[@]} -gt 0 ]; then
                python3 "$HERE/sepolicy.py" file-contexts "$conf" vendor "${with_fc[@]}" || contexts_ok=1
            fi
            if [ ${#own_pc[@]} -gt 0 ] || [ ${#with_pc[@]} -gt 0 ]; then
                python3 "$HERE/sepolicy.py" property-contexts "$aosp" "$conf" "${own_pc[@]}" "${with_pc[@]}" ||
                    contexts_ok=1
            fi
            python3 "$HERE/sepolicy.py" genfs "$conf" sysfs_android_usb "${SYSFS_FILES[@]}" || contexts_ok=1
        } >"$W/contexts.log" 2>&1
        if [ $contexts_ok -eq 0 ]; then
            result contexts 0 "$(tr '\n' ';' <"$W/contexts.log" | sed 's/;$//; s/;/; /g')"
        else
            result contexts 1 "file_contexts, property_contexts, sysfs labels" "$W/contexts.log"
        fi
        python3 "$HERE/rc_check.py" "$aosp" "$conf" "$partition" "$rc" "${own_fc[@]}" >"$W/rc.log" 2>&1
        result init $? "$rc: $(tail -1 "$W/rc.log")" "$W/rc.log"
    fi
    namespace_ok=0
    {
        python3 "$HERE/sepolicy.py" namespace "$aosp" "$partition" "${own_pc[@]}" || namespace_ok=1
        if [ ${#with_pc[@]} -gt 0 ]; then
            python3 "$HERE/sepolicy.py" namespace "$aosp" vendor "${with_pc[@]}" || namespace_ok=1
        fi
    } >"$W/namespace.log" 2>&1
    if [ $namespace_ok -eq 0 ]; then
        result namespace 0 "$(tr '\n' ';' <"$W/namespace.log" | sed 's/;$//; s/;/; /g')"
    else
        result namespace 1 "property names and labels for $partition${with_pc:+ and the device (vendor)}" "$W/namespace.log"
    fi
fi

elapsed=$((($(date +%s%N) - started) / 1000000))
printf 'android-check: %d passed, %d failed (%d.%01d s)\n' $passed $failed $((elapsed / 1000)) $((elapsed % 1000 / 100))
[ $failed -eq 0 ]
