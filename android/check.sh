#!/usr/bin/env bash
# drovik checked against the Android platform it ships in, offline: the
# driver is android/check.py, run by Debian's own Python (which has
# python3-selinux and python3-setools). android/check.sh --help for usage.
if [ ! -x /usr/bin/python3 ]; then
    echo "android-check: needs Debian's python3 (apt-get install python3)" >&2
    exit 2
fi
# The helpers import each other; no byte code is left in the tree.
export PYTHONDONTWRITEBYTECODE=1
exec /usr/bin/python3 "$(dirname "$0")/check.py" "$@"
