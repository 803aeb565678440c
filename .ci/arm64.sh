#!/usr/bin/env bash
# The arm64 proof: cross-builds the daemon and its unit tests for 64-bit ARM,
# runs the unit tests under qemu user emulation, then runs the end-to-end
# suite with the simulated device native and the daemon it launches arm64.
#
# Debian packages it needs (installed by .ci/run):
#   g++-aarch64-linux-gnu  qemu-user  googletest
# plus what the native build needs (cmake, g++, libgtest-dev, libgmock-dev).
#
# Usage: .ci/arm64.sh [native build dir, default build]
# The arm64 build goes to build-arm64, or to $DROVIK_ARM64_BUILD when set.
# Run from anywhere, as root (the tests use namespaces).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
native=$(realpath -m "${1:-$root/build}")
arm64=$(realpath -m "${DROVIK_ARM64_BUILD:-$root/build-arm64}")
sysroot=/usr/aarch64-linux-gnu
jobs=$(nproc)

step() { printf '\n=== %s\n' "$*"; }

step "arm64: configure and build ($arm64)"
cmake -S "$root" -B "$arm64" -DDROVIK_SIM=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/aarch64-linux-gnu.cmake"
cmake --build "$arm64" -j "$jobs"
aarch64-linux-gnu-readelf -h "$arm64/drovik" | grep -q 'Machine:.*AArch64' ||
  { echo "build-arm64/drovik is not an arm64 program" >&2; exit 1; }

step "arm64: unit tests under qemu-aarch64"
# ctest runs each test through the toolchain's emulator (qemu-aarch64 -L sysroot).
# A failure here is reported at the end, after the end-to-end run.
unit_ok=1
ctest --test-dir "$arm64" --output-on-failure --no-tests=error -j "$jobs" || unit_ok=0

step "native build for the simulated device ($native)"
if [ ! -f "$native/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$native"
fi
cmake --build "$native" -j "$jobs"

step "end-to-end tests and stories: native simulated device, arm64 daemon under qemu-aarch64"
export DROVIK_DAEMON_CMD="qemu-aarch64 -L $sysroot $arm64/drovik"
echo "DROVIK_DAEMON_CMD=$DROVIK_DAEMON_CMD"
ctest --test-dir "$native" --output-on-failure --no-tests=error -L 'e2e|story' -j "$jobs"

if [ "$unit_ok" != 1 ]; then
  echo "arm64 unit tests failed (see above)" >&2
  exit 1
fi
