#!/usr/bin/env python3
"""file_contexts and property_contexts, drovik's and the device's, checked
against the built policy and against what the daemon uses.

    contexts.py ROOT AOSP CONF PARTITION RC --own DIR... [--device DIR] --domain DOMAIN

Every entry: syntax, a context whose type the policy declares (a file type,
a property type), no property name the platform labels already. drovik's own
entries (--own, its policy directories) label exactly the daemon's executable
(the path Android.bp installs with RC) under either mount point of its
partition, with an executable's type, and exactly the properties the daemon
uses (android/accesses, names from its sources), each an exact match, with a
type of drovik's own policy. Every path the executable has, under each mount
point of its partition (/system_ext and, in a system image that holds it,
/system/system_ext), gets a type init runs DOMAIN in. The device's
file_contexts label paths of vendor only.
"""
import os
import re
import sys

import access
import blueprint
import sepolicy
from sepolicy import CONTEXT, entries

MOUNTS = {"system_ext": ("/system_ext/", "/system/system_ext/"), "vendor": ("/vendor/", "/system/vendor/")}
FILE_KINDS = ("--", "-d", "-l", "-b", "-c", "-p", "-s")
PROPERTY_KINDS = ("string", "bool", "int", "uint", "double", "enum")


def alternatives(regex):
    """A file_contexts regex with a leading group of alternatives, /(a|b)/...,
    spelt out."""
    m = re.match(r"/\(([^()]*)\)(.*)", regex)
    return ["/" + alt + m.group(2) for alt in m.group(1).split("|")] if m else [regex]


def literal_heads(regex):
    """The literal beginnings of the paths a file_contexts regex can match."""
    return [access.REGEX_CHARS.split(h, maxsplit=1)[0] for h in alternatives(regex)]


def file_problems(policy, partition, files, binary=None):
    roots = MOUNTS[partition]
    if binary:
        binary_paths = {root + binary[len(roots[0]):] for root in roots}
    problems, labelled = [], False
    for where, line, words in entries(files):
        if len(words) not in (2, 3) or (len(words) == 3 and words[1] not in FILE_KINDS):
            problems.append(f"{where}: malformed entry: {line}")
            continue
        try:
            re.compile(words[0] + "$")
        except re.error as e:
            problems.append(f"{where}: bad regular expression ({e}): {line}")
            continue
        m = CONTEXT.match(words[-1])
        why = policy.check_type(m.group(1), "exec_type" if binary else "file_type") if m else \
            f"bad context {words[-1]}"
        if why:
            problems.append(f"{where}: {why}: {line}")
        if not all(head.startswith(roots) for head in literal_heads(words[0])):
            problems.append(f"{where}: labels paths outside {partition}: {line}")
        elif binary:
            paths = [a.replace("\\.", ".") for a in alternatives(words[0])]
            if any(access.REGEX_CHARS.search(a.replace(".", "")) for a in paths) or \
                    not set(paths) <= binary_paths:
                problems.append(f"{where}: labels more than {binary} (the daemon's executable, "
                                f"Android.bp) or something else: {line}")
            labelled = True
    if binary and not labelled:
        problems.append(f"{' '.join(files)}: no entry labels {binary}, the daemon's executable (Android.bp)")
    return problems


def executable_problems(aosp, policy, partition, binary, files, domain):
    """Every path the executable can have on the device (under each mount
    point of its partition) labelled, by libselinux's lookup over the
    platform's entries and these, with a type init runs in domain."""
    platform = os.path.join(aosp, sepolicy.SEPOLICY, "private", "file_contexts")
    words = [w for _, _, w in entries([platform] + files)]
    want = sorted(t for t, d in policy.transitions.items() if d == domain)
    roots = MOUNTS[partition]
    problems = []
    for path in (root + binary[len(roots[0]):] for root in roots):
        label = access.file_label(words, path, "file")
        if label not in want:
            problems.append(f"{path}: labelled {label or 'nothing'}, not {' or '.join(want) or 'a type init runs in '}"
                            f"{'' if want else domain}: init would not start the daemon installed there")
    return problems


def property_problems(aosp, policy, files, names=None, own=None):
    platform = {w[0]: w[1] for _, _, w in entries([os.path.join(aosp, sepolicy.SEPOLICY, "private",
                                                                "property_contexts")]) if len(w) >= 2}
    problems = []
    for where, line, words in entries(files):
        if len(words) < 2:
            problems.append(f"{where}: malformed entry: {line}")
            continue
        m = CONTEXT.match(words[1])
        why = policy.check_type(m.group(1), "property_type") if m else f"bad context {words[1]}"
        match = words[2] if len(words) > 2 else "prefix"
        if match not in ("exact", "prefix"):
            why = f"match must be exact or prefix, not {match}"
        elif len(words) > 3 and words[3] not in PROPERTY_KINDS:
            why = f"unknown property type {words[3]}"
        elif len(words) > 4 and words[3] != "enum":
            why = "only an enum takes values"
        elif words[0] in platform:
            why = f"the platform labels {words[0]} already ({platform[words[0]]})"
        elif names is not None and words[0] not in names:
            why = f"{words[0]} is not a property the daemon uses ({', '.join(sorted(names))})"
        elif names is not None and match != "exact":
            why = f"a {match} match labels every name under {words[0]}, not one property: say exact"
        elif own and m and not policy.declared_under(m.group(1), own):
            why = (f"{m.group(1)} is not a type of drovik's own policy: others who may set it would "
                   f"control these services")
        if why:
            problems.append(f"{where}: {why}: {line}")
    return problems


def main():
    (root, aosp, conf, partition, rc), opts = sepolicy.arguments(sys.argv[1:], 5, ["--own", "--device", "--domain"], __doc__)
    policy = sepolicy.Policy(conf)
    binary = blueprint.installed_binary(blueprint.modules(os.path.join(root, "Android.bp")), rc)[1]
    names = set(access.property_names(root))
    own_fc, own_pc = (sepolicy.contexts_files(opts["--own"], n) for n in ("file_contexts", "property_contexts"))
    device_fc, device_pc = (sepolicy.contexts_files(opts["--device"], n) for n in ("file_contexts", "property_contexts"))
    problems = []
    if binary is None:
        problems.append(f"Android.bp: no cc_binary installs {rc}")
    elif not own_fc:
        problems.append(f"{' '.join(opts['--own'])}: no file_contexts: nothing labels {binary}")
    else:
        problems += file_problems(policy, partition, own_fc, binary)
        problems += executable_problems(aosp, policy, partition, binary, own_fc + device_fc, opts["--domain"][0])
    problems += property_problems(aosp, policy, own_pc, names, opts["--own"])
    problems += file_problems(policy, "vendor", device_fc)
    problems += property_problems(aosp, policy, device_pc)
    if problems:
        sepolicy.fail("\n".join(problems))
    files = own_fc + own_pc + device_fc + device_pc
    print(f"{', '.join(os.path.relpath(f, root) for f in files)}: {binary} (under each mount point) and {len(names)} property names "
          f"of the daemon's, nothing of the platform's")


if __name__ == "__main__":
    main()
