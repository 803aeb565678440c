# shellcheck shell=bash disable=SC2154 # the variables are check.sh's
# Android.bp's sources (comments ignored), its build-time genrule run as in a build sandbox (hermetic, the release's time, the daemon's version) and TEST_MAPPING
check_soong() {
    result_of soong "Android.bp, android/release, TEST_MAPPING" "$PYTHON" "$HERE/soong.py" "$ROOT"
}
