#!/usr/bin/env python3
"""Every access the daemon makes (android/accesses) held to a built policy.

    access.py ROOT AOSP CONF BIN PARTITION DOMAIN [--own DIR]... [--device DIR]

ROOT is the project (its accesses file and the daemon's sources, for the
names), CONF and BIN the policy.conf and binary policy of one install, DOMAIN
the daemon's domain in it, the DIRs drovik's and the device's policy
directories, for their contexts files (the platform's are read from AOSP).
Each access is computed as the device's kernel computes it, from the binary
policy: libselinux's audit2why (allow rules and MLS constraints, the daemon
at s0 and apps at the levels seapp_contexts gives them), and, for a refusal,
whether a dontaudit rule keeps it out of the log (setools). A line holds when
its accesses are allowed, or refused unlogged where it says so.
"""
import os
import re
import sys

import names
import selinux.audit2why as audit2why
import sepolicy
import setools

GETPROP_PERMS = ("getattr", "open", "read", "map")
# The characters that make a file_contexts path a regular expression.
REGEX_CHARS = re.compile(r"[.^$?*+|\[\](){}\\]")


class Line:
    def __init__(self, where, words, why):
        self.where, self.why = where, why
        self.options = dict(w.split("=", 1) for w in words if "=" in w)
        words = [w for w in words if "=" not in w]
        self.kind, self.args = words[0], words[1:]

    def __str__(self):
        return " ".join([self.kind] + self.args)


ARITY = {"netlink": (1, 9), "link": (2, 2), "sysfs": (2, 9), "procdir": (2, 9), "procfile": (3, 9),
         "signal": (2, 2), "capability": (1, 9), "ctl": (2, 2), "getprop": (1, 1), "dgram": (2, 2),
         "stream": (2, 2)}
OPTIONS = {"vendor": ("refused",), "must": ("unlogged",), "group": None}


def read_manifest(root):
    """The lines of the project's android/accesses."""
    path = os.path.join(root, "android", "accesses")
    lines, problems = [], []
    with open(path) as f:
        for number, text in enumerate(f, 1):
            code, _, why = text.partition(" -- ")
            code = code.split("#", 1)[0].split()
            if not code:
                continue
            line = Line(f"{path}:{number}", code, why.strip())
            low, high = ARITY.get(line.kind, (0, -1))
            bad = [k for k, v in line.options.items() if k not in OPTIONS or (OPTIONS[k] and v not in OPTIONS[k])]
            if not low <= len(line.args) <= high or bad:
                problems.append(f"{line.where}: cannot read '{text.strip()}'")
            elif line.kind != "link" and not line.why:
                problems.append(f"{line.where}: no code path after ' -- ' for '{line}'")
            else:
                lines.append(line)
    if problems:
        sepolicy.fail("\n".join(problems))
    return lines


def resolve_names(root, lines):
    """Replaces each capitalised argument with the daemon's value for it."""
    wanted = sorted({a for line in lines for a in line.args if re.fullmatch(r"[A-Z][A-Z0-9_]+", a)})
    values = names.lookup(root, wanted)
    for line in lines:
        line.names = [a if a not in values else f"{a} ({values[a]})" for a in line.args]
        line.args = [values.get(a, a) for a in line.args]


def rc_needs(lines):
    """What the .rc must give the service: (capabilities, groups)."""
    caps = {a.upper() for line in lines if line.kind == "capability" for a in line.args}
    groups = {line.options["group"] for line in lines if "group" in line.options}
    return caps, groups


def property_names(root):
    """The properties the daemon reads or writes, as their labels are looked
    up: ctl.<action>$<service> for a control write."""
    lines = read_manifest(root)
    resolve_names(root, lines)
    return [f"{l.args[0]}${l.args[1]}" if l.kind == "ctl" else l.args[0]
            for l in lines if l.kind in ("ctl", "getprop")]


def allow_rules(policy, domain):
    """(target, class, permissions) of every allow rule of a sepolicy.Policy
    whose source is domain or one of its attributes."""
    return [(str(r.target), str(r.tclass), {str(p) for p in r.perms})
            for r in setools.TERuleQuery(policy.compiled, ruletype=["allow"], source=domain).results()]


# An app's level as the platform gives it (seapp_contexts' levelFrom): the
# categories of its app id and of its user, which an s0 daemon does not
# dominate. The numbers are those of the first user's first app.
APP_LEVELS = {"all": "s0:c149,c256,c512,c768", "app": "s0:c149,c256", "user": "s0:c512,c768"}


class Verdicts:
    """What the kernel does with one access of the domain, computed against
    the binary policy as a device enforces it: allow rules and MLS
    constraints (libselinux's audit2why), and whether a refusal is logged
    (the policy's dontaudit rules, through setools)."""

    def __init__(self, policy, binary, domain):
        self.domain, self.source = domain, f"u:r:{domain}:s0"
        audit2why.init(binary)
        self.attributes = policy.types
        # The dontaudit rules that name the domain, by target type and class:
        # one pass over the rules, where a query of each access took minutes.
        self.unlogged = {}
        for r in setools.TERuleQuery(policy.compiled, ruletype=["dontaudit"], source=domain).results():
            for t in r.target.expand():
                self.unlogged.setdefault((str(t), str(r.tclass)), set()).update(str(p) for p in r.perms)

    def types_with(self, attribute):
        return sorted(t for t, a in self.attributes.items() if attribute in a)

    def of(self, target, cls, perm):
        """allowed, refused (audited: a denial in the log) or silent."""
        status, _ = audit2why.analyze(self.source, target, cls, [perm])
        if status == audit2why.ALLOW:
            return "allowed"
        return "silent" if perm in self.unlogged.get((context_type(target), cls), ()) else "refused"

def app_levels(seapp_contexts):
    """The level each app domain runs at, from seapp_contexts' levelFrom."""
    levels = {}
    for line in sepolicy.read(seapp_contexts).splitlines():
        fields = dict(w.split("=", 1) for w in line.split("#", 1)[0].split() if "=" in w)
        if fields.get("levelFrom") in APP_LEVELS and "domain" in fields:
            levels[fields["domain"]] = APP_LEVELS[fields["levelFrom"]]
    return levels


class Labels:
    """Labels of paths and properties, as the device gives them."""

    def __init__(self, aosp, policy, property_files, file_files):
        platform = os.path.join(aosp, sepolicy.SEPOLICY, "private")
        self.props = [w for _, _, w in sepolicy.entries([os.path.join(platform, "property_contexts")] + property_files)]
        self.files = [w for _, _, w in sepolicy.entries([os.path.join(platform, "file_contexts")] + file_files)]
        self.genfs_rules = policy.genfs
        self.transitions = policy.transitions
        self.app_levels = app_levels(os.path.join(platform, "seapp_contexts"))

    def prop(self, name):
        """The property service's lookup: an exact entry, else the longest prefix."""
        exact = [w for w in self.props if w[0] == name and len(w) > 2 and w[2] == "exact"]
        if exact:
            return context_type(exact[-1][1])
        prefixes = [w for w in self.props if name.startswith(w[0]) and (len(w) < 3 or w[2] == "prefix")]
        return context_type(max(prefixes, key=lambda w: len(w[0]))[1]) if prefixes else None

    def genfs(self, fs, path):
        return sepolicy.genfs_label(self.genfs_rules, fs, path)


def file_label(entries, path, kind):
    """The type file_contexts entries (their words) give path, a kind of file
    (file, sock_file, dir), by libselinux's lookup: the last matching entry,
    entries without regex characters taking precedence."""
    modes = {"file": "--", "sock_file": "-s", "dir": "-d"}
    best = None
    for words in entries:
        if len(words) == 3 and words[1] != modes.get(kind):
            continue
        if re.fullmatch(words[0], path):
            literal = not REGEX_CHARS.search(words[0].replace("\\.", ""))
            if best is None or literal or not best[0]:
                best = (literal, words[-1])
    return context_type(best[1]) if best else None


def context_type(context):
    parts = context.split(":")
    return parts[2] if len(parts) >= 4 else None


def sysfs_steps(path, perms, links, labels):
    """(what, type, class, perms) for each step of opening a sysfs file:
    search on every directory on the way, read on every link crossed (the
    walk goes on from where the link leads), perms on the file."""
    steps, walked = [], "/sys"
    parts = path[len("/sys/"):].split("/")
    steps.append((f"directory {walked}", labels.genfs("sysfs", walked), "dir", {"search"}))
    for i, part in enumerate(parts[:-1]):
        walked += "/" + part
        if walked in links:
            steps.append((f"link {walked}", labels.genfs("sysfs", walked), "lnk_file", {"read"}))
            target = links[walked] + "/" + "/".join(parts[i + 1:])
            return steps + sysfs_steps(target, perms, links, labels)[1:]
        steps.append((f"directory {walked}", labels.genfs("sysfs", walked), "dir", {"search"}))
    return steps + [(path, labels.genfs("sysfs", path), "file", set(perms))]


def obj(t):
    return t and f"u:object_r:{t}:s0"


def proc(d, level="s0"):
    return d and f"u:r:{d}:{level}"


def process_targets(verdicts, labels, services, who):
    """The contexts of the processes a line names: a service's domains, or
    (*) every other domain (not its own, not a service's a line names) at s0, and
    every app domain at an app's level too."""
    if who != "*":
        return [(f"{who}'s processes", proc(d)) for d in services.get(who, [])] or \
            [(f"the domain of {who}", None)]
    named = {d for ds in services.values() for d in ds} | {verdicts.domain}
    out = [(d, proc(d)) for d in verdicts.types_with("domain") if d not in named]
    return out + [(f"{d} (an app, {lv})", proc(d, lv)) for d, lv in sorted(labels.app_levels.items())]


def check_line(line, verdicts, labels, links, domain, services):
    """[(what, target context, class, perms)]: the accesses the line stands for."""
    a = line.args
    if line.kind == "netlink":
        return [("the uevent socket", proc(domain), "netlink_kobject_uevent_socket", set(a))]
    if line.kind == "sysfs":
        return [(w, obj(t), c, p) for w, t, c, p in sysfs_steps(a[0], a[1:], links, labels)]
    if line.kind == "procdir":
        return [(a[0], obj(labels.genfs("proc", a[0])), "dir", set(a[1:]))]
    if line.kind == "procfile":
        out = []
        for what, target in process_targets(verdicts, labels, services, a[1]):
            out.append((f"{a[0]} of {what}", target, "dir", {"search"}))
            out.append((f"{a[0]} of {what}", target, "file", set(a[2:])))
        return out
    if line.kind == "signal":
        return [(what, target, "process", {a[1]}) for what, target in process_targets(verdicts, labels, services, a[0])]
    if line.kind == "capability":
        return [("capability", proc(domain), "capability", set(a))]
    if line.kind == "ctl":
        name = f"{a[0]}${a[1]}"
        return [(f"{a[0]} = {a[1]} ({name})", obj(labels.prop(name)), "property_service", {"set"})]
    if line.kind == "getprop":
        return [(a[0], obj(labels.prop(a[0])), "file", set(GETPROP_PERMS))]
    if line.kind in ("dgram", "stream"):
        cls, perm = ("unix_dgram_socket", "sendto") if line.kind == "dgram" else ("unix_stream_socket", "connectto")
        return [(a[0], obj(file_label(labels.files, a[0], "sock_file")), "sock_file", {"write"}),
                (a[0], proc(a[1]), cls, {perm})]
    raise AssertionError(line.kind)


def service_domains(labels, service):
    """The domains init runs a program named SERVICE in, from the executables'
    labels in the contexts files."""
    found = set()
    for words in labels.files:
        if re.sub(r"[()?]", "", words[0]).rsplit("/", 1)[-1] == service:
            exec_type = context_type(words[-1])
            if exec_type in labels.transitions:
                found.add(labels.transitions[exec_type])
    return sorted(found)


def verdicts_of(line, verdicts, labels, links, domain, services):
    """{allowed, refused, silent: [what gets it]} over every access of the line."""
    out = {"allowed": [], "refused": [], "silent": []}
    for what, target, cls, perms in check_line(line, verdicts, labels, links, domain, services):
        if target is None:
            out["refused"].append(f"{what}: no label")
            continue
        got = {}
        for perm in sorted(perms):
            got.setdefault(verdicts.of(target, cls, perm), []).append(perm)
        for verdict, which in got.items():
            out[verdict].append(f"{what}: {context_type(target)}:{cls} {{ {' '.join(which)} }}")
    return out


def shown_list(items):
    more = f" (and {len(items) - 3} more)" if len(items) > 3 else ""
    return "; ".join(items[:3]) + more


def line_problem(line, got, partition, domain):
    """What is wrong with one line's verdicts, or None. A line must be
    allowed; must=unlogged lets it be refused where no denial is logged;
    vendor=refused wants it refused, and unlogged, on vendor."""
    shown = " ".join([line.kind] + line.names)
    if partition == "vendor" and line.options.get("vendor") == "refused":
        if got["allowed"]:
            return (f"{shown}: granted on vendor, where the platform refuses it or docs/android.md says the vendor "
                    f"install does not have it: " + shown_list(got["allowed"]))
        if got["refused"]:
            return (f"{shown}: refused on vendor, and logged: a denial at every read: " + shown_list(got["refused"]) +
                    f"\n    made by {line.why}")
        return None
    if line.options.get("must") == "unlogged":
        if got["refused"]:
            return (f"{shown}: refused to {domain}, and logged: a denial at every scan: " +
                    shown_list(got["refused"]) + f"\n    made by {line.why}")
        return None
    if got["refused"] or got["silent"]:
        return (f"{shown}: not allowed to {domain}: " + shown_list(got["refused"] + got["silent"]) +
                f"\n    needed by {line.why}")
    return None


def main():
    (root, aosp, conf, binary, partition, domain), extra = sepolicy.arguments(
        sys.argv[1:], 6, ["--own", "--device"], __doc__)
    dirs = extra["--own"] + extra["--device"]
    lines = read_manifest(root)
    resolve_names(root, lines)
    policy = sepolicy.Policy(conf)
    labels = Labels(aosp, policy, sepolicy.contexts_files(dirs, "property_contexts"),
                    sepolicy.contexts_files(dirs, "file_contexts"))
    verdicts = Verdicts(policy, binary, domain)
    links = {l.args[0]: l.args[1] for l in lines if l.kind == "link"}
    named = {l.args[0] for l in lines if l.kind == "signal"} | {l.args[1] for l in lines if l.kind == "procfile"}
    services = {s: service_domains(labels, s) for s in named - {"*"}}

    problems, counts = [], {"allowed": 0, "unlogged": 0, "refused": 0}
    for line in lines:
        if line.kind == "link":
            continue
        got = verdicts_of(line, verdicts, labels, links, domain, services)
        problem = line_problem(line, got, partition, domain)
        if problem:
            problems.append(f"{line.where}: {problem}")
        elif got["allowed"] and not got["silent"]:
            counts["allowed"] += 1
        else:
            counts["refused" if not got["allowed"] else "unlogged"] += 1
    if problems:
        sepolicy.fail("\n".join(problems))
    print(f"{counts['allowed']} accesses of android/accesses allowed to {domain}" +
          (f", {counts['unlogged']} allowed or refused unlogged" if counts["unlogged"] else "") +
          (f", {counts['refused']} refused, unlogged, as docs/android.md says of a vendor install" if counts["refused"] else "") +
          " (audit2why: rules and MLS constraints; dontaudit rules)")


if __name__ == "__main__":
    main()
