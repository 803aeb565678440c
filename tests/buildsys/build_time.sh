#!/usr/bin/env bash
# The banner's build time is the time the daemon was compiled: a build with
# nothing changed keeps it, a change to the daemon's library or to its entry
# renews it, and SOURCE_DATE_EPOCH fixes it. Builds a copy of the daemon's
# sources, so the tree itself is never touched.
#
# Usage: build_time.sh SOURCE_DIR CXX
set -euo pipefail

src=$1 cxx=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/drovik-build-time.XXXXXX")
trap 'rm -rf "$work"' EXIT
for part in CMakeLists.txt cmake daemon services usb_monitor util platform drovik.rc; do
    cp -r "$src/$part" "$work/"
done

build() {
    cmake --build "$work/build" --target drovik -j2 >/dev/null
}

# The date and the time stored in the binary, as the banner shows them.
stamp() {
    local date time
    date=$(grep -aoE '(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-9]{4}' "$work/build/drovik" | sort -u)
    time=$(grep -aoE '[0-2][0-9]:[0-5][0-9]:[0-5][0-9]' "$work/build/drovik" | sort -u)
    [ "$(echo "$date" | wc -l)" = 1 ] && [ "$(echo "$time" | wc -l)" = 1 ] ||
        { echo "no single build date and time in the daemon: '$date' '$time'" >&2; exit 1; }
    echo "$date $time"
}

fail() {
    echo "$*" >&2
    exit 1
}

unset SOURCE_DATE_EPOCH
CXX=$cxx cmake -S "$work" -B "$work/build" -DDROVIK_TESTS=OFF -DDROVIK_SIM=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
build
first=$(stamp)
sleep 1.1
build
[ "$(stamp)" = "$first" ] || fail "a build with nothing changed changed the build time: $first, then $(stamp)"

sleep 1.1
touch "$work/util/log.cpp"
build
second=$(stamp)
[ "$second" != "$first" ] || fail "the library was compiled again, but the build time stayed $first"

sleep 1.1
touch "$work/daemon/main.cpp"
build
third=$(stamp)
[ "$third" != "$second" ] || fail "the entry was compiled again, but the build time stayed $second"

touch "$work/daemon/main.cpp"
SOURCE_DATE_EPOCH=86399 build
[ "$(stamp)" = "Jan  1 1970 23:59:59" ] || fail "SOURCE_DATE_EPOCH=86399 gave $(stamp)"
echo "build times: $first, $second, $third; SOURCE_DATE_EPOCH=86399: Jan  1 1970 23:59:59"
