#!/usr/bin/env python3
"""Every access the daemon makes (android/accesses) held to a built policy.

    access.py ROOT AOSP CONF BIN PARTITION DOMAIN [--own DIR]... [--device DIR]

ROOT is the project (its accesses file and the daemon's sources, for the
names), CONF and BIN the policy.conf and binary policy of one install, DOMAIN
the daemon's domain in it, the DIRs drovik's and the device's policy
directories, for their contexts files (the platform's are read from AOSP).
`sesearch -A -s DOMAIN` gives every allow rule that applies to the domain,
`seinfo -t -x` the attributes of every type; a line holds when some rule
names its target (or an attribute of it), its class and every permission it
needs.
"""
import os
import re
import sys

import names
import sepolicy

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


ARITY = {"netlink": (1, 9), "link": (2, 2), "sysfs": (2, 9), "procdir": (2, 9), "procfile": (2, 9),
         "signal": (2, 2), "capability": (1, 9), "ctl": (2, 2), "getprop": (1, 1), "dgram": (2, 2),
         "stream": (2, 2)}
OPTIONS = {"vendor": ("denied",), "group": None}


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


def allow_rules(binary, domain):
    """(target, class, permissions) of every allow rule that applies to domain."""
    out = setools(["sesearch", "-A", "-s", domain, binary], binary)
    return [(m.group(2), m.group(3), set((m.group(5) or m.group(6)).split()))
            for m in re.finditer(r"(?m)^allow (\S+) (\S+):(\S+) (\{ ([^}]*) \}|(\S+));", out)]


class Rules:
    def __init__(self, binary, domain):
        self.allows = allow_rules(binary, domain)
        self.attributes = {}
        types = setools(["seinfo", "-t", "-x", binary], binary)
        for m in re.finditer(r"(?m)^\s*type (\S+)(?: alias (?:\{[^}]*\}|\S+))?(,[^;]*)?;", types):
            self.attributes[m.group(1)] = {a.strip() for a in (m.group(2) or "").split(",") if a.strip()}

    def missing(self, target, cls, perms):
        """The permissions of perms that no rule gives the domain on target."""
        if target not in self.attributes:
            return set(perms)
        names_ = {target} | self.attributes[target]
        have = set()
        for tgt, c, p in self.allows:
            if c == cls and tgt in names_:
                have |= p
        return set(perms) - have

    def types_with(self, attribute):
        return sorted(t for t, a in self.attributes.items() if attribute in a)


def setools(command, binary):
    """The output of a setools query of the binary policy, taken from the
    cache (sepolicy.checked) when the same query of the same policy was made."""
    status, out, _ = sepolicy.checked(command, [binary], "setools", ["sesearch", "--version"])
    if status != 0:
        print(f"{' '.join(command)}: {out.strip()}")
        sys.exit(1)
    return out


class Labels:
    """Labels of paths and properties, as the device gives them."""

    def __init__(self, aosp, conf, property_files, file_files):
        platform = os.path.join(aosp, sepolicy.SEPOLICY, "private")
        self.props = [w for _, _, w in sepolicy.entries([os.path.join(platform, "property_contexts")] + property_files)]
        self.files = [w for _, _, w in sepolicy.entries([os.path.join(platform, "file_contexts")] + file_files)]
        text = sepolicy.read(conf)
        self.genfs_rules = sepolicy.genfs_rules(text)
        self.transitions = sepolicy.init_transitions(text)

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


def check_line(line, rules, labels, links, domain, services):
    """[(what, target, class, missing perms)] for the line; an empty list of
    missing permissions means granted."""
    a = line.args
    if line.kind == "netlink":
        return [("the uevent socket", domain, "netlink_kobject_uevent_socket", set(a))]
    if line.kind == "sysfs":
        return sysfs_steps(a[0], a[1:], links, labels)
    if line.kind == "procdir":
        return [(a[0], labels.genfs("proc", a[0]), "dir", set(a[1:]))]
    if line.kind == "procfile":
        out = []
        for d in rules.types_with("domain"):
            out.append((f"{a[0]} of {d}", d, "dir", {"search"}))
            out.append((f"{a[0]} of {d}", d, "file", set(a[1:])))
        return out
    if line.kind == "signal":
        domains = services.get(a[0])
        if not domains:
            return [(f"the domain of {a[0]}", None, "process", {a[1]})]
        return [(f"{a[0]}'s processes", d, "process", {a[1]}) for d in domains]
    if line.kind == "capability":
        return [("capability", domain, "capability", set(a))]
    if line.kind == "ctl":
        name = f"{a[0]}${a[1]}"
        return [(f"{a[0]} = {a[1]} ({name})", labels.prop(name), "property_service", {"set"})]
    if line.kind == "getprop":
        return [(a[0], labels.prop(a[0]), "file", set(GETPROP_PERMS))]
    if line.kind in ("dgram", "stream"):
        cls, perm = ("unix_dgram_socket", "sendto") if line.kind == "dgram" else ("unix_stream_socket", "connectto")
        return [(a[0], file_label(labels.files, a[0], "sock_file"), "sock_file", {"write"}), (a[0], a[1], cls, {perm})]
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


def main():
    (root, aosp, conf, binary, partition, domain), extra = sepolicy.arguments(
        sys.argv[1:], 6, ["--own", "--device"], __doc__)
    dirs = extra["--own"] + extra["--device"]
    lines = read_manifest(root)
    resolve_names(root, lines)
    labels = Labels(aosp, conf, sepolicy.contexts_files(dirs, "property_contexts"),
                    sepolicy.contexts_files(dirs, "file_contexts"))
    rules = Rules(binary, domain)
    links = {l.args[0]: l.args[1] for l in lines if l.kind == "link"}
    services = {l.args[0]: service_domains(labels, l.args[0]) for l in lines if l.kind == "signal"}

    problems, granted, denied = [], 0, 0
    for line in lines:
        if line.kind == "link":
            continue
        results = check_line(line, rules, labels, links, domain, services)
        gaps = []
        for what, target, cls, perms in results:
            if target is None:
                gaps.append(f"{what}: no label")
                continue
            miss = rules.missing(target, cls, perms)
            if miss:
                gaps.append(f"{what}: {target}:{cls} {{ {' '.join(sorted(miss))} }}")
        must_deny = partition == "vendor" and line.options.get("vendor") == "denied"
        shown = " ".join([line.kind] + line.names)
        if must_deny:
            if gaps:
                denied += 1
            else:
                problems.append(f"{line.where}: {shown}: granted on vendor, where the platform refuses it "
                                f"and docs/android.md lists it as lost")
        elif gaps:
            more = f" (and {len(gaps) - 3} more)" if len(gaps) > 3 else ""
            problems.append(f"{line.where}: {shown}: not allowed to {domain}: " + "; ".join(gaps[:3]) + more +
                            f"\n    needed by {line.why}")
        else:
            granted += 1
    if problems:
        sepolicy.fail("\n".join(problems))
    print(f"{granted} accesses of android/accesses granted to {domain}" +
          (f", {denied} refused as on every vendor install" if denied else "") +
          " (sesearch)")


if __name__ == "__main__":
    main()
