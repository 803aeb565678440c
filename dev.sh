#!/usr/bin/env bash
# One entry for people and CI. Each command sets up what it needs on a fresh
# Debian machine, builds, and runs.
#
#   ./dev.sh demo    build everything and run the daemon in the simulated device
#   ./dev.sh shell   the same device under your control, one command per line
#   ./dev.sh test    build everything and run every unit and end-to-end test
#
# The simulated device needs root (it makes mount, PID and network namespaces).
set -euo pipefail
cd "$(dirname "$0")"

BUILD=${BUILD_DIR:-build}
PACKAGES=(cmake make g++ libgtest-dev libgmock-dev)

need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        exec sudo --preserve-env=BUILD_DIR "$0" "$@"
    fi
}

install_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

build() {
    install_packages "${PACKAGES[@]}"
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$BUILD" -j"$(nproc)"
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
demo)
    need_root demo "$@"
    build
    exec "$BUILD/sim/drovik-sim" demo "$@"
    ;;
shell)
    need_root shell "$@"
    build
    exec "$BUILD/sim/drovik-sim" shell "$@"
    ;;
test)
    need_root test "$@"
    build
    # Tests mostly wait on the daemon's pauses; run several at once.
    ctest --test-dir "$BUILD" -j"${TEST_JOBS:-6}" --output-on-failure "$@"
    ;;
*)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
