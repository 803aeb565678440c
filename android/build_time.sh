#!/bin/sh
# Writes drovik_build_time.h to standard output: the moment of the build, laid
# out as the compiler's __DATE__ and __TIME__ would show it ("Dec  6 2026",
# "19:36:30"). SOURCE_DATE_EPOCH, when set, fixes it (in UTC) so that the
# same sources give the same binary; otherwise it is the local time now.
# Android.bp's genrule drovik_build_time and android/check.sh run it; CMake
# writes the same header itself.
set -eu
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    set -- -u -d "@$SOURCE_DATE_EPOCH"
fi
day=$(LC_ALL=C date "$@" '+%b %e %Y')
time=$(LC_ALL=C date "$@" '+%H:%M:%S')
printf '// Written by the build: the moment it was made.\n#pragma once\n'
printf '#define DROVIK_BUILD_DATE "%s"\n#define DROVIK_BUILD_TIME "%s"\n' "$day" "$time"
