# shellcheck shell=bash disable=SC2154 # the variables are check.sh's
# every source for aarch64-linux-android at API $MIN_API and $TOP_API: clang with the platform build's error flags, -nostdinc against the tree's bionic, liblog and libcutils headers
INCLUDES=(bionic/libc/include bionic/libc/kernel/uapi bionic/libc/kernel/uapi/asm-arm64
    bionic/libc/kernel/android/uapi system/logging/liblog/include system/core/libcutils/include)
TREE_NEEDS+=("${INCLUDES[@]}")
# The daemon's sources, those a check names with --with-source, and the NDK
# build's property calls, which take the project's stand-in for libcutils'
# header (ndk_header_check.cpp holds it to the tree's).
DAEMON_SOURCES=(daemon/*.cpp services/*.cpp usb_monitor/*.cpp util/*.cpp)
NDK_SOURCES=(platform/ndk/properties.cpp android/ndk_header_check.cpp)

# compile_one API MODE SOURCE OBJECT: one compile, its messages in
# OBJECT.log. With the cache, a compile whose preprocessed source, flags and
# compiler were seen before takes that result (object and messages), as
# ccache does: the rest of the compile depends on nothing else. The work
# folder and the project's own place are left out of the key (the sources use
# no __FILE__), so that a copy of the project takes the same results. A
# source that does not preprocess has no key: its compile is not kept.
compile_one() {
    local api=$1 mode=$2 src=$3 obj=$4 extra=() key="" status
    [ "$src" = platform/ndk/properties.cpp ] && extra=(-I "$ROOT/platform/include")
    local cmd=(clang++ --target=aarch64-linux-android"$api" "${extra[@]}" "${CXXFLAGS_ANDROID[@]}")
    if [ "$cache" = 1 ] &&
        key=$({ "${cmd[@]}" -E "$src" -o - 2>/dev/null && printf '%s\n' "${cmd[@]}" "$mode" "$COMPILER"; } |
            sed "s|$W|W|g; s|$ROOT|ROOT|g" | sha256sum | cut -c1-64); then
        key=$DROVIK_ANDROID_CACHE/compile/$key
        if [ -f "$key.status" ]; then
            # A compile that failed left no object to take.
            cp "$key.log" "$obj.log" && { [ "$mode" != -c ] || [ "$(cat "$key.status")" != 0 ] || cp "$key.o" "$obj"; } &&
                touch "$key.status" &&
                echo "$src" >>"$(dirname "$obj")/reused" && return "$(cat "$key.status")"
        fi
    else
        key=""
    fi
    "${cmd[@]}" "$mode" "$src" -o "$obj" >"$obj.log" 2>&1
    status=$?
    if [ -n "$key" ]; then
        { [ "$mode" != -c ] || [ $status -ne 0 ] || cp "$obj" "$key.o"; } && cp "$obj.log" "$key.log" &&
            echo $status >"$key.status"
    fi
    return $status
}

# compile_api API OUTDIR MODE: every source, two at a time.
compile_api() {
    local api=$1 out=$2 mode=$3 src obj jobs=0 reused=""
    local sources=("${DAEMON_SOURCES[@]}" "${with_sources[@]}" "${NDK_SOURCES[@]}")
    mkdir -p "$out"
    for src in "${sources[@]}"; do
        obj=$out/$(basename "$src" .cpp).o
        (compile_one "$api" "$mode" "$src" "$obj" || echo "$src" >>"$out/failed") &
        jobs=$((jobs + 1))
        if [ $jobs -ge 2 ]; then wait -n; jobs=$((jobs - 1)); fi
    done
    while [ $jobs -gt 0 ]; do wait -n; jobs=$((jobs - 1)); done
    cat "$out"/*.log >"$out/all.log" 2>/dev/null
    [ -f "$out/reused" ] && reused=" ($(wc -l <"$out/reused") unchanged since an earlier run)"
    if [ -f "$out/failed" ]; then
        result compile 1 "API $api: $(wc -l <"$out/failed") of ${#sources[@]} sources fail: $(tr '\n' ' ' <"$out/failed")$reused" "$out/all.log"
    else
        result compile 0 "API $api: ${#sources[@]} sources (daemon/, services/, usb_monitor/, util/, platform/ndk/)$reused"
    fi
}

check_compile() {
    # The banner's build time as the platform build writes it (Android.bp's
    # genrule): the release's, so the compile of main.cpp stays the same.
    "$HERE/build_time.sh" "$HERE/release" >"$W/drovik_build_time.h"
    COMPILER=$(clang++ --version | head -1)
    if [ "$cache" = 1 ]; then
        mkdir -p "$DROVIK_ANDROID_CACHE/compile"
        # Keep what the last few runs used.
        find "$DROVIK_ANDROID_CACHE/compile" -type f -mtime +7 -delete 2>/dev/null
    fi
    local resource d
    resource=$(clang++ -print-resource-dir)
    # The platform build's own error flags and code generation (Soong's
    # global flags), on top of the project's warnings.
    CXXFLAGS_ANDROID=(-std=c++20 -nostdinc -nostdinc++ -isystem "$(libcxx_dir)" -isystem "$resource/include")
    for d in "${INCLUDES[@]}"; do CXXFLAGS_ANDROID+=(-isystem "$aosp/$d"); done
    CXXFLAGS_ANDROID+=(-I "$ROOT" -I "$W" -Wall -Wextra -Werror -Werror=date-time -Werror=format-security
        -Werror=return-type -Werror=int-conversion -Werror=address -Werror=non-virtual-dtor
        -Werror=sequence-point -Werror=string-plus-int -fno-exceptions -fno-rtti -O2
        -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fPIE -ffunction-sections -fdata-sections)
    compile_api "$MIN_API" "$W/obj" -c
    compile_api "$TOP_API" "$W/obj$TOP_API" -fsyntax-only
}
