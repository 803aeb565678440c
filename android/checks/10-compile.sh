# shellcheck shell=bash disable=SC2154 # the variables are check.sh's
# each cc_binary of Android.bp for aarch64-linux-android at API $MIN_API and $TOP_API, with its own sources, flags, include folders and generated headers: clang with the platform build's error flags, -nostdinc against the tree's bionic, liblog and libcutils headers
INCLUDES=(bionic/libc/include bionic/libc/kernel/uapi bionic/libc/kernel/uapi/asm-arm64
    bionic/libc/kernel/android/uapi system/logging/liblog/include system/core/libcutils/include)
TREE_NEEDS+=("${INCLUDES[@]}")
# The NDK build's property calls, which take the project's stand-in for
# libcutils' header (ndk_header_check.cpp holds it to the tree's), compiled
# with each module's sources and those a check names with --with-source.
NDK_SOURCES=(platform/ndk/properties.cpp android/ndk_header_check.cpp)

# The cc_binary modules as Android.bp declares them for the device: MODULES
# in order, BP["MODULE KEY"] the words of each build input (srcs,
# shared_libs, cflags, cppflags, local_include_dirs, generated_headers,
# cpp_std, stem, partition, init_rc).
MODULES=() BP_STATUS=0
declare -A BP=()
read_modules() {
    local out module key rest
    out=$("$PYTHON" "$HERE/blueprint.py" "$ROOT" "$ROOT/Android.bp" 2>&1) || { BP_STATUS=1 BP_ERROR=$out; return; }
    while read -r module key rest; do
        [[ " ${MODULES[*]} " == *" $module "* ]] || MODULES+=("$module")
        BP["$module $key"]=$rest
    done <<<"$out"
}

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
    local cmd=(clang++ --target=aarch64-linux-android"$api" "${extra[@]}" "${CXXFLAGS_ANDROID[@]}" "${MODULE_FLAGS[@]}")
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

# compile_api MODULE API OUTDIR MODE: every source of the module, two at a time.
compile_api() {
    local module=$1 api=$2 out=$3 mode=$4 src obj jobs=0 reused=""
    local sources
    read -ra sources <<<"${BP["$module srcs"]}"
    sources+=("${with_sources[@]}" "${NDK_SOURCES[@]}")
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
        result compile 1 "$module, API $api: $(wc -l <"$out/failed") of ${#sources[@]} sources fail: $(tr '\n' ' ' <"$out/failed")$reused" "$out/all.log"
    else
        result compile 0 "$module, API $api: ${#sources[@]} sources (Android.bp's and platform/ndk/)$reused"
    fi
}

# module_flags MODULE: MODULE_FLAGS, what Android.bp gives the module's
# compile: its C++ standard, cflags and cppflags, its include folders and
# those of its generated headers (each genrule run into a folder of its own).
module_flags() {
    local module=$1 words d
    MODULE_FLAGS=()
    [ -z "${BP["$module cpp_std"]}" ] || MODULE_FLAGS+=(-std="${BP["$module cpp_std"]}")
    read -ra words <<<"${BP["$module cflags"]} ${BP["$module cppflags"]}"
    MODULE_FLAGS+=("${words[@]}")
    read -ra words <<<"${BP["$module local_include_dirs"]}"
    for d in "${words[@]}"; do MODULE_FLAGS+=(-I "$ROOT/$d"); done
    read -ra words <<<"${BP["$module generated_headers"]}"
    for d in "${words[@]}"; do
        [ -d "$W/gen/$d" ] || "$PYTHON" "$HERE/soong.py" genrule "$ROOT" "$d" "$W/gen/$d" >"$W/gen-$d.log" 2>&1 ||
            { cat "$W/gen-$d.log"; return 1; }
        MODULE_FLAGS+=(-I "$W/gen/$d")
    done
}

check_compile() {
    read_modules
    if [ "$BP_STATUS" != 0 ]; then
        echo "$BP_ERROR" >"$W/blueprint.log"
        result compile 1 "Android.bp cannot be read" "$W/blueprint.log"
        return
    fi
    COMPILER=$(clang++ --version | head -1)
    if [ "$cache" = 1 ]; then
        mkdir -p "$DROVIK_ANDROID_CACHE/compile"
        # Keep what the last few runs used.
        find "$DROVIK_ANDROID_CACHE/compile" -type f -mtime +7 -delete 2>/dev/null
    fi
    local resource d module
    resource=$(clang++ -print-resource-dir)
    # The platform build's own error flags and code generation (Soong's
    # global flags); the module's own come from Android.bp.
    CXXFLAGS_ANDROID=(-nostdinc -nostdinc++ -isystem "$(libcxx_dir)" -isystem "$resource/include")
    for d in "${INCLUDES[@]}"; do CXXFLAGS_ANDROID+=(-isystem "$aosp/$d"); done
    CXXFLAGS_ANDROID+=(-Werror=date-time -Werror=format-security
        -Werror=return-type -Werror=int-conversion -Werror=address -Werror=non-virtual-dtor
        -Werror=sequence-point -Werror=string-plus-int -fno-exceptions -fno-rtti -O2
        -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fPIE -ffunction-sections -fdata-sections)
    for module in "${MODULES[@]}"; do
        if ! module_flags "$module" >"$W/flags-$module.log" 2>&1; then
            result compile 1 "$module: its generated headers were not made" "$W/flags-$module.log"
            continue
        fi
        compile_api "$module" "$MIN_API" "$W/obj/$module" -c
        compile_api "$module" "$TOP_API" "$W/obj$TOP_API/$module" -fsyntax-only
    done
}
