#!/usr/bin/env python3
"""What /proc/PID/status must show of the daemon that init starts from an .rc,
for the device acceptance kit (android/device-check.sh).

    credentials.py ROOT AOSP RC

Prints "Uid: N", "Gid: N", "Groups: N..." and "Cap: HEX", from the .rc's
user and groups (init: the first group is the primary gid, the rest the
supplementary groups) with the ids of the tree's android_filesystem_config.h,
and the capabilities android/accesses needs (a non-root service gets them in
its inheritable, permitted, effective and ambient sets alike).
"""
import os
import re
import sys

import access
import rc_check
import sepolicy


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    root, aosp, rc = sys.argv[1:]
    ids = rc_check.user_names(aosp, [])
    bits = {m: int(v) for m, v in re.findall(r"(?m)^#define CAP_(\w+)\s+(\d+)",
                                             sepolicy.read(os.path.join(aosp, rc_check.CAPS)))}
    options = {}
    for keyword, _, _, body in rc_check.sections(os.path.join(root, rc)):
        if keyword == "service":
            for _, words in body:
                options.setdefault(words[0], []).extend(words[1:])
    caps, _ = access.rc_needs(access.read_manifest(root))

    def uid(name):
        return int(name) if name.isdigit() else ids[name]

    users = options.get("user", ["root"])
    groups = [uid(g) for g in options.get("group", users)]
    print(f"Uid: {uid(users[0])}")
    print(f"Gid: {groups[0]}")
    print("Groups: " + " ".join(str(g) for g in groups[1:]))
    print(f"Cap: {sum(1 << bits[c] for c in caps):016x}")


if __name__ == "__main__":
    main()
