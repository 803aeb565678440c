#!/bin/sh
# Writes drovik_build_time.h to standard output: the banner's build time, laid
# out as the compiler's __DATE__ and __TIME__ would show it ("Dec  6 2026",
# "19:36:30"), for the moment RELEASE_FILE gives (its last line: VERSION
# SECONDS, seconds since 1970-01-01 UTC). Nothing else is read, neither the
# clock nor the environment, so the same sources give the same binary in any
# build sandbox. Android.bp's genrule drovik_build_time and android/check.sh
# run it; CMake writes the same header itself.
#
#   android/build_time.sh RELEASE_FILE
set -eu
[ $# -eq 1 ] || { echo "usage: $0 RELEASE_FILE" >&2; exit 2; }
seconds=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$1" | tail -n 1 | awk '{ print $2 }')
case "$seconds" in
'' | *[!0-9]*) echo "$0: $1: the last line must be VERSION SECONDS" >&2; exit 1 ;;
esac
# The civil date of a day count (days since 1970-01-01), in whole-number
# arithmetic only: 400-year eras of 146097 days, years from March.
days=$((seconds / 86400)) rest=$((seconds % 86400))
z=$((days + 719468))
era=$((z / 146097))
doe=$((z - era * 146097))
yoe=$(((doe - doe / 1460 + doe / 36524 - doe / 146096) / 365))
doy=$((doe - (365 * yoe + yoe / 4 - yoe / 100)))
mp=$(((5 * doy + 2) / 153))
day=$((doy - (153 * mp + 2) / 5 + 1))
if [ $mp -lt 10 ]; then month=$((mp + 3)); else month=$((mp - 9)); fi
year=$((yoe + era * 400 + (month <= 2)))
set -- Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec
shift $((month - 1))
printf '// Written by the build: the release time of the sources.\n#pragma once\n'
printf '#define DROVIK_BUILD_DATE "%s %2d %d"\n' "$1" "$day" "$year"
printf '#define DROVIK_BUILD_TIME "%02d:%02d:%02d"\n' $((rest / 3600)) $((rest % 3600 / 60)) $((rest % 60))
