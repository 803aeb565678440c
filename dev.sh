#!/usr/bin/env bash
# One entry for people and CI. Each command installs the Debian packages it
# needs on a fresh machine, builds only what it uses, and runs.
#
#   ./dev.sh demo [OPTIONS]      run the daemon in a simulated device, narrated
#   ./dev.sh shell [OPTIONS]     the same device under your control ('help')
#   ./dev.sh run STORY...        play story files on fresh devices (docs/stories.md)
#   ./dev.sh test [CTEST ARGS]   build everything and run every unit and end-to-end test
#   ./dev.sh fuzz [SECONDS]      build the fuzz targets with clang and run each for
#                                SECONDS (default 10); fails on any crash
#   ./dev.sh android-check [--partition all|system_ext|vendor] [AOSP_ROOT]
#                                check the Android side against an AOSP tree (default
#                                ../shared/aosp), offline, for both installs unless one
#                                is named: the daemon compiled and linked for Android,
#                                Android.bp, its SELinux policy built and booted as the
#                                platform does, every access the daemon makes held to it,
#                                its contexts and .rc file (more: ./dev.sh android-check
#                                --help; --self-test breaks each rule and fails on each)
#   ./dev.sh device-check        the device acceptance kit (android/device-check.sh)
#                                run against the simulated device; with a device
#                                attached, run android/device-check.sh itself
#   ./dev.sh bench [--json]      measure the daemon's reactions and costs on fresh
#                                devices (docs/bench.md)
#   ./dev.sh soak [N]            N uevents of every kind (default 3000) and restarts;
#                                fails on a lost line or on growing descriptors,
#                                threads or RSS
#
# OPTIONS are drovik-sim's (./dev.sh demo --help). The simulated device makes
# mount, PID and network namespaces, so these commands run as root (through
# sudo when it is there). android-check needs root only to install what it
# is missing.
#
# BUILD_DIR names the build folder (default: build). A folder that is already
# configured keeps its build type; dev.sh turns on warnings as errors and what
# the command needs (the tests, for 'test'). TEST_JOBS sets how many tests run
# at once (default 6: they mostly wait on the daemon's pauses). 'fuzz' builds in
# build-fuzz and grows each target's corpus in build-fuzz/corpus/<target>,
# starting from the seeds in tests/fuzz/corpus; see docs/testing.md.
set -euo pipefail
cd "$(dirname "$0")"

BUILD=${BUILD_DIR:-build}
BASE_PACKAGES=(cmake make g++)
TEST_PACKAGES=(libgtest-dev libgmock-dev patch python3-selinux python3-setools)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
FUZZ_TARGETS=(uevent_scan serial_count status_line datagram file_line)

need_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    if command -v sudo >/dev/null 2>&1; then
        exec sudo --preserve-env=BUILD_DIR,TEST_JOBS,DROVIK_DAEMON_CMD "$0" "$@"
    fi
    cat >&2 <<MSG
dev.sh: '$1' needs root: it installs Debian packages and the simulated device
makes mount, PID and network namespaces of its own. There is no sudo here; run
it as root instead, for example:
    su -c '$PWD/dev.sh $*'
MSG
    exit 1
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

# configure [-DOPTION=VALUE ...]: a new folder gets the default build type;
# an existing one keeps its own.
configure() {
    local type=()
    [ -f "$BUILD/CMakeCache.txt" ] || type=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    cmake -S . -B "$BUILD" "${type[@]}" -DDROVIK_WERROR=ON "$@" >/dev/null
}

build_sim() {
    install_packages "${BASE_PACKAGES[@]}"
    if [ -f "$BUILD/CMakeCache.txt" ]; then configure -DDROVIK_SIM=ON; else configure -DDROVIK_TESTS=OFF; fi
    cmake --build "$BUILD" -j"$(nproc)" --target drovik drovik-sim
}

# fuzz_target NAME SECONDS: one libFuzzer run on the target's growing corpus;
# its output goes to a log, a summary line to the terminal.
fuzz_target() {
    local name=$1 seconds=$2
    local corpus="$BUILD/corpus/$name" crashes="$BUILD/crashes" log="$BUILD/logs/$name.log"
    mkdir -p "$corpus" "$crashes" "$BUILD/logs"
    cp tests/fuzz/corpus/"$name"/* "$corpus"/
    if ! "$BUILD/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$crashes/$name-" "$corpus" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "== $name: FAILED, the whole output is in $log" >&2
        return 1
    fi
    awk -v name="$name" '/stat::number_of_executed_units/ { runs = $2 }
        /stat::average_exec_per_sec/ { rate = $2 }
        END { printf "== %-13s %10d runs, %8d per second\n", name, runs, rate }' "$log"
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
demo | shell | run | bench | soak)
    need_root "$cmd" "$@"
    build_sim
    exec "$BUILD/sim/drovik-sim" "$cmd" "$@"
    ;;
test)
    need_root test "$@"
    install_packages "${BASE_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    configure -DDROVIK_TESTS=ON -DDROVIK_SIM=ON
    cmake --build "$BUILD" -j"$(nproc)"
    ctest --test-dir "$BUILD" -j"${TEST_JOBS:-6}" --output-on-failure "$@"
    ;;
fuzz)
    need_root fuzz "$@"
    seconds=${1:-10}
    [[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "dev.sh fuzz: SECONDS must be a positive whole number" >&2; exit 2; }
    install_packages "${BASE_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
    BUILD=build-fuzz
    CXX=clang++ configure -DDROVIK_FUZZ=ON -DDROVIK_TESTS=OFF -DDROVIK_SIM=OFF
    cmake --build "$BUILD" -j"$(nproc)" --target drovik_fuzz
    failed=()
    for t in "${FUZZ_TARGETS[@]}"; do
        fuzz_target "$t" "$seconds" || failed+=("$t")
    done
    if [ ${#failed[@]} -gt 0 ]; then
        echo "== crashed: ${failed[*]}; the inputs are in $BUILD/crashes (docs/testing.md)" >&2
        exit 1
    fi
    ;;
device-check)
    need_root device-check "$@"
    build_sim
    exec android/device-check.sh --sim "$BUILD/sim/drovik-sim" "$@"
    ;;
android-check)
    exec android/check.sh "$@"
    ;;
*)
    sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
