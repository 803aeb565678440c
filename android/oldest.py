#!/usr/bin/env python3
"""The oldest platform each install of drovik works on, and whether an AOSP
tree is at least that.

    oldest.py ROOT AOSP PARTITION RC MIN_API

What an install needs of the platform, each with the release that brought
it and what shows it in the tree:
- the sources' API level (MIN_API): bionic's libc map tags calls with it;
- every option of the .rc's service: init's README documents it;
- system_ext: the partition and its policy directories
  (SYSTEM_EXT_PRIVATE_SEPOLICY_DIRS): the platform labels the policy files
  they make (system_ext_file_contexts);
- vendor: the property attribute its dontaudit names
  (system_internal_property_type): the public policy declares it.
The oldest platform is the newest of these releases. A tree without one of
them is older, and nothing else is checked against it.
"""
import os
import re
import sys

import rc_check
import sepolicy

# The release that brought each .rc option newer than Android 8.0's init
# (options not listed here are older), and each policy feature, with its API
# level.
OPTION_SINCE = {"capabilities": 26, "gentle_kill": 34, "reboot_on_failure": 30, "updatable": 29, "task_profiles": 30,
                "interface": 26, "stop_mode": 35}
API_RELEASES = {23: "Android 6.0", 26: "Android 8.0", 29: "Android 10", 30: "Android 11", 34: "Android 14",
                35: "Android 15"}
LIBC_MAP = "bionic/libc/libc.map.txt"


def in_file(aosp, path, pattern):
    try:
        with open(os.path.join(aosp, path)) as f:
            return re.search(pattern, f.read()) is not None
    except OSError:
        return False


def requirements(aosp, partition, rc, min_api):
    """[(what, API level, the tree has it)] for the install."""
    needs = [(f"the sources' API level {min_api} (sigwaitinfo, stdout)", min_api,
              in_file(aosp, LIBC_MAP, rf"introduced={min_api}\b"))]
    documented = rc_check.synopses(sepolicy.read(os.path.join(aosp, rc_check.README)), "Options", "Triggers")
    for keyword, args, _, body in rc_check.sections(rc):
        if keyword != "service":
            continue
        for option in sorted({words[0] for _, words in body}):
            needs.append((f"the .rc option {option}", OPTION_SINCE.get(option, 26), option in documented))
    if partition == "system_ext":
        needs.append(("system_ext policy directories (SYSTEM_EXT_PRIVATE_SEPOLICY_DIRS)", 30,
                      in_file(aosp, f"{sepolicy.SEPOLICY}/private/file_contexts",
                              r"/etc/selinux/system_ext_file_contexts\s")))
    else:
        needs.append(("the property attribute system_internal_property_type", 30,
                      in_file(aosp, f"{sepolicy.SEPOLICY}/public/attributes",
                              r"(?m)^attribute system_internal_property_type;")))
    return needs


def release(api):
    return f"{API_RELEASES.get(api, 'Android')} (API {api})"


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    root, aosp, partition, rc, min_api = sys.argv[1:]
    needs = requirements(aosp, partition, os.path.join(root, rc), int(min_api))
    oldest = max(api for _, api, _ in needs)
    why = ", ".join(what for what, api, _ in needs if api == oldest)
    lacking = [f"{what} ({release(api)})" for what, api, has in needs if not has]
    if lacking:
        sepolicy.fail(f"this tree is older than the oldest platform drovik's {partition} install works on, "
                      f"{release(oldest)}: it lacks " + "; ".join(lacking))
    print(f"oldest platform {release(oldest)} ({why}); this tree has all it needs")


if __name__ == "__main__":
    main()
