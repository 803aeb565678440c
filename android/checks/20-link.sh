# shellcheck shell=bash disable=SC2154 # the variables are check.sh's
# each cc_binary of Android.bp with its own objects and shared_libs, as the platform builds it, and the daemon as the NDK build does (platform/ndk, no libcutils), against stub libraries made from the tree's symbol maps for API $MIN_API as the NDK makes them
# libcutils has no symbol map in the tree: its stub holds the calls the daemon
# makes, each checked against the tree's header.
CUTILS_CALLS=(property_get property_set)
CUTILS_HEADER=system/core/libcutils/include/cutils/properties.h
MAPS=(bionic/libc/libc.map.txt bionic/libm/libm.map.txt bionic/libdl/libdl.map.txt
    system/logging/liblog/liblog.map.txt)
TREE_NEEDS+=("${MAPS[@]}" "$CUTILS_HEADER")

# make_stubs DIR: stub libraries for MIN_API, as the NDK makes them from the
# maps, and the link's stand-ins.
make_stubs() {
    local stubs=$1 map lib call
    mkdir -p "$stubs"
    for map in "${MAPS[@]}"; do
        lib=$(basename "$map" .map.txt)
        "$PYTHON" "$HERE/stubgen.py" "$aosp/$map" "$MIN_API" "$stubs/$lib.c" "$stubs/$lib.vers" &&
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

# stubs_dir: the stubs, made once per change of what they are made from
# when the cache is on (in a folder of their own, then moved in place, since
# other runs may look at the same moment).
stubs_dir() {
    local key stubs=$W/stubs
    if [ "$cache" = 1 ]; then
        key=$(cd "$aosp" && { cat "${MAPS[@]}" "$CUTILS_HEADER" "$HERE/stubgen.py" "$HERE/link_standins.c"
            echo "$MIN_API ${CUTILS_CALLS[*]} $(clang --version | head -1)"; } | sha256sum | cut -c1-64)
        stubs=$DROVIK_ANDROID_CACHE/stubs/$key
        if [ ! -d "$stubs" ]; then
            mkdir -p "$DROVIK_ANDROID_CACHE/stubs"
            find "$DROVIK_ANDROID_CACHE/stubs" -mindepth 1 -maxdepth 1 -mmin +60 -exec rm -rf {} +
            make_stubs "$W/stubs" >"$W/stubs.log" 2>&1 || return 1
            mv -T "$W/stubs" "$stubs" 2>/dev/null || [ -d "$stubs" ] || return 1
        fi
    else
        make_stubs "$stubs" >"$W/stubs.log" 2>&1 || return 1
    fi
    echo "$stubs"
}

# link_one STUBS OUT OBJECTS... -- LIBS...: undefined symbols are looked up
# in the maps, to show the API level that brought them.
link_one() {
    local stubs=$1 out=$2 objs=() status sym undefined
    shift 2
    while [ "$1" != -- ]; do objs+=("$1"); shift; done
    shift
    clang++ --target=aarch64-linux-android"$MIN_API" -fuse-ld=lld -nostdlib -pie \
        -Wl,--dynamic-linker=/system/bin/linker64 -Wl,-z,relro,-z,now -Wl,--gc-sections \
        -Wl,--trace-symbol=__emutls_get_address "$stubs/standins.o" "${objs[@]}" -L"$stubs" "$@" \
        -o "$out" >"$out.log" 2>&1
    status=$?
    undefined=$(grep -o 'undefined symbol: .*' "$out.log" | sed 's/undefined symbol: //' | sort -u)
    [ -z "$undefined" ] || while read -r sym; do
        if [[ "$sym" == *"::"* || "$sym" == operator* ]]; then
            echo "$sym: the C++ runtime, which is not in the tree and which the daemon does not link"
        elif grep -qx "$sym" <(printf '%s\n' "${CUTILS_CALLS[@]}"); then
            echo "$sym: libcutils"
        else
            (cd "$aosp" && "$PYTHON" "$HERE/stubgen.py" --explain "$MIN_API" "$sym" "${MAPS[@]}")
        fi
    done <<<"$undefined" >>"$out.log"
    return $status
}

# link_module STUBS MODULE: the module's objects with its shared_libs (and
# libc, libm and libdl, which every module gets).
link_module() {
    local stubs=$1 module=$2 objs=() libs=(-lc -lm -ldl) src lib words
    read -ra words <<<"${BP["$module srcs"]}"
    for src in "${words[@]}" "${with_sources[@]}"; do objs+=("$W/obj/$module/$(basename "$src" .cpp).o"); done
    read -ra words <<<"${BP["$module shared_libs"]}"
    for lib in "${words[@]}"; do libs+=("-l${lib#lib}"); done
    link_one "$stubs" "$W/$module" "${objs[@]}" -- "${libs[@]}"
}

# link_ndk STUBS MODULE: the module's objects as the NDK build links them,
# with platform/ndk's property calls in place of libcutils.
link_ndk() {
    local stubs=$1 module=$2 objs=() src words
    read -ra words <<<"${BP["$module srcs"]}"
    for src in "${words[@]}" "${with_sources[@]}"; do objs+=("$W/obj/$module/$(basename "$src" .cpp).o"); done
    link_one "$stubs" "$W/$module-ndk" "${objs[@]}" "$W/obj/$module/properties.o" -- -lc -lm -ldl -llog
}

check_link() {
    local stubs module s1 s2 runtime log libs
    if [ ${#MODULES[@]} -eq 0 ] || [ ! -d "$W/obj" ]; then
        result link 1 "not checked: the compile did not run (--only compile,link)"
        return
    elif ! stubs=$(stubs_dir); then
        result link 1 "API $MIN_API: the stub libraries did not build" "$W/stubs.log"
        return
    fi
    for module in "${MODULES[@]}"; do
        if [ -f "$W/obj/$module/failed" ] || [ ! -d "$W/obj/$module" ]; then
            result link 1 "$module, API $MIN_API: not linked, some sources did not compile"
            continue
        fi
        link_module "$stubs" "$module"
        s1=$?
        link_ndk "$stubs" "$module"
        s2=$?
        cat "$W/$module.log" "$W/$module-ndk.log" >"$W/link.log"
        runtime=$(grep -o 'reference to __emutls_get_address' "$W/link.log" | head -1)
        runtime=${runtime:+; compiler runtime: __emutls_get_address (thread_local below API 29)}
        libs="libc libm libdl ${BP["$module shared_libs"]}"
        if [ $s1 -eq 0 ] && [ $s2 -eq 0 ]; then
            result link 0 "$module, API $MIN_API: with ${libs% }, and as the NDK build without libcutils; no C++ runtime$runtime"
            continue
        fi
        # Both builds share every source but one: show the NDK build's messages
        # only where they differ.
        for log in "$W/$module.log" "$W/$module-ndk.log"; do
            grep -v 'reference to\|definition of' "$log" >"$log.err"
        done
        if [ $s1 -ne 0 ] && [ $s2 -ne 0 ] &&
            diff -q <(grep 'undefined symbol' "$W/$module.log.err") <(grep 'undefined symbol' "$W/$module-ndk.log.err") >/dev/null; then
            { cat "$W/$module.log.err"; echo "(the NDK build fails the same way)"; } >"$W/link.err"
        else
            cat "$W/$module.log.err" "$W/$module-ndk.log.err" >"$W/link.err"
        fi
        result link 1 "$module, API $MIN_API: $([ $s1 -ne 0 ] && echo "the platform build (${libs% })")$([ $s1 -ne 0 ] && [ $s2 -ne 0 ] && echo ' and ')$([ $s2 -ne 0 ] && echo 'the NDK build') did not link" "$W/link.err"
    done
}
