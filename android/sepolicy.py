#!/usr/bin/env python3
"""The platform's SELinux checks, run on drovik's policy inside an AOSP tree.

    sepolicy.py build AOSP OUT [--system-ext-public DIR] [--system-ext-private DIR] [--vendor DIR]
                      [--cache DIR]
        The platform's monolithic policy with the given directories in the
        places the platform build gives them: m4, then checkpolicy, which
        checks syntax, declarations, macros and every neverallow rule.
        Writes OUT/policy.conf; prints checkpolicy's own messages on failure,
        each violated neverallow followed by the rule as written.
    sepolicy.py file-contexts CONF PARTITION FILE...
    sepolicy.py property-contexts AOSP CONF FILE...
        Syntax, and types that the built policy (CONF) declares.
    sepolicy.py namespace AOSP PARTITION FILE...
        The property-namespace rule of selinux_contexts.go, run as the build
        runs it for PARTITION on a device launched with Android 11 or later.
    sepolicy.py genfs CONF TYPE PATH...
        Which genfscon label each sysfs PATH gets in the built policy.

Everything about the platform is read from the tree: the file order and the
m4 definitions from policy.go, the allowed prefixes from selinux_contexts.go.
Only the device's configuration (a user build of a full-Treble arm64 device
launched with Android 11 or later) is this script's.
"""
import hashlib
import os
import re
import subprocess
import sys

SEPOLICY = "system/sepolicy"
POLICY_GO = f"{SEPOLICY}/build/soong/policy.go"
CONTEXTS_GO = f"{SEPOLICY}/build/soong/selinux_contexts.go"
PROP_PREFIX_CHECK = f"{SEPOLICY}/tests/check_prop_prefix.py"

# Values for the -D definitions that policy.go passes, for a user build of an
# arm64 full-Treble device launched with Android 11 or later. A definition
# policy.go passes that is missing here stops the build: a newer tree needs a
# value chosen, not a guess.
DEVICE_DEFS = {
    "mls_num_sens": "1",
    "mls_num_cats": "1024",
    "target_arch": "arm64",
    "target_with_asan": "false",
    "target_with_dexpreopt": "true",
    "target_with_native_coverage": "false",
    "target_build_variant": "user",
    "target_full_treble": "true",
    "target_compatible_property": "true",
    "target_treble_sysprop_neverallow": "true",
    "target_enforce_sysprop_owner": "true",
    "target_exclude_build_test": "false",
    "target_requires_insecure_execmem_for_swiftshader": "false",
    "target_enforce_debugfs_restriction": "true",
    "target_recovery": "false",
}


def fail(message):
    print(message)
    sys.exit(1)


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError as e:
        fail(f"cannot read {path}: {e.strerror}")


def go_string_list(source, start, path):
    """The strings of the first Go []string{...} literal after start."""
    at = source.find(start)
    if at < 0:
        fail(f"{path}: '{start}' not found; this check does not know this tree's build")
    body = source[source.index("{", at) + 1:source.index("}", at)]
    return re.findall(r'"([^"]*)"', body)


def policy_build_plan(aosp):
    source = read(os.path.join(aosp, POLICY_GO))
    order = go_string_list(source, "var policyConfOrder = []string{", POLICY_GO)
    names = re.findall(r'FlagWithArg\("-D (\w+)=', source)
    if not names:
        fail(f"{POLICY_GO}: no m4 -D definitions found")
    unknown = [n for n in names if n not in DEVICE_DEFS]
    if unknown:
        fail(f"{POLICY_GO} passes -D {', '.join(unknown)}, which this check has no value for")
    defs = [f"{n}={DEVICE_DEFS[n]}" for n in names]
    # Release flags (flagging/Android.bp) become target_flag_<NAME>; none is
    # turned on for this device.
    flags = re.findall(r'"(RELEASE_\w+)"', read(os.path.join(aosp, SEPOLICY, "flagging/Android.bp")))
    defs += [f"target_flag_{f}=false" for f in flags]
    return order, defs


def policy_files(aosp, order, dirs):
    """Files in the order of policy.go: each name (or the attributes and .te
    group) across all directories, directory by directory."""
    files = []
    for name in order:
        for d in dirs:
            full = d if os.path.isabs(d) else os.path.join(aosp, d)
            if name == "attributes|*.te":
                found = (["attributes"] if os.path.isfile(os.path.join(full, "attributes")) else []) + sorted(
                    f for f in os.listdir(full) if f.endswith(".te"))
            else:
                found = [name] if os.path.isfile(os.path.join(full, name)) else []
            files += [os.path.join(d, f) for f in found]
            # The release-flag macros join the platform's own macros.
            if name == "te_macros" and d == f"{SEPOLICY}/public":
                files.append(f"{SEPOLICY}/flagging/te_macros")
    return files


def neverallow_text(conf_lines, end):
    """The neverallow statement that ends on conf line end (1-based), as written."""
    i = end - 1
    while i > 0 and not re.match(r"\s*neverallow\b", conf_lines[i]):
        i -= 1
    text = " ".join(l.strip() for l in conf_lines[i:end] if not l.startswith("#line"))
    return re.sub(r"\s+", " ", text)


def build(args):
    aosp, out = args[0], args[1]
    places = {"--system-ext-public": [], "--system-ext-private": [], "--vendor": [], "--cache": []}
    rest = args[2:]
    while rest:
        if rest[0] not in places or len(rest) < 2:
            fail(f"build: unknown argument {rest[0]}")
        places[rest[0]].append(os.path.abspath(rest[1]))
        rest = rest[2:]
    cache = places["--cache"][0] if places["--cache"] else None
    order, defs = policy_build_plan(aosp)
    dirs = ([f"{SEPOLICY}/public", f"{SEPOLICY}/private"] + places["--system-ext-public"] +
            places["--system-ext-private"] + [f"{SEPOLICY}/vendor"] + places["--vendor"])
    files = policy_files(aosp, order, dirs)
    conf = os.path.join(out, "policy.conf")
    m4 = ["m4", "--fatal-warnings"] + [a for d in defs for a in ("-D", d)] + ["-s"] + files
    with open(conf, "w") as f:
        r = subprocess.run(m4, cwd=aosp, stdout=f, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        fail("m4: " + r.stderr.strip())
    checkpolicy = ["checkpolicy", "-M", "-c", "30", "-o", os.path.join(out, "policy.bin"), conf]
    status, output, reused = checked(checkpolicy, conf, aosp, cache)
    if status == 0:
        print(f"{len(files)} files" + (" (checkpolicy's result reused: same policy.conf, same checkpolicy)"
                                       if reused else ""))
        return
    conf_lines = None
    for line in output.splitlines():
        print(line)
        m = re.search(r"neverallow on line \d+ of \S+ \(or line (\d+) of ", line)
        if m:
            conf_lines = conf_lines or read(conf).split("\n")
            print("    rule: " + neverallow_text(conf_lines, int(m.group(1))))
    sys.exit(1)


def checked(command, conf, cwd, cache):
    """checkpolicy's exit status and messages for conf, and whether they came
    from the cache. checkpolicy's answer depends on nothing but the policy.conf
    (which holds every source file, m4 definition and file name) and its own
    version, so a cache keyed on those is exact; it spares the ten seconds of
    neverallow checking when nothing changed."""
    key = None
    if cache:
        version = subprocess.run(["checkpolicy", "-V"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 text=True).stdout
        digest = hashlib.sha256(version.encode())
        digest.update(" ".join(command[:-3]).encode())
        with open(conf, "rb") as f:
            digest.update(f.read())
        key = os.path.join(cache, digest.hexdigest())
        try:
            with open(key) as f:
                status, _, output = f.read().partition("\n")
            os.utime(key)
            return int(status), output.replace("{policy.conf}", conf), True
        except (OSError, ValueError):
            pass
    r = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if key:
        os.makedirs(cache, exist_ok=True)
        with open(key + ".tmp", "w") as f:
            f.write(f"{r.returncode}\n" + r.stdout.replace(conf, "{policy.conf}"))
        os.replace(key + ".tmp", key)
        entries = sorted((os.path.join(cache, e) for e in os.listdir(cache)), key=os.path.getmtime)
        for old in entries[:-8]:
            os.unlink(old)
    return r.returncode, r.stdout, False


class Policy:
    """Types and attributes declared by a built policy.conf."""

    def __init__(self, conf):
        self.types = {}
        self.attributes = set()
        text = re.sub(r"(?m)^\s*#.*$", "", read(conf))
        for statement in text.split(";"):
            words = statement.replace(",", " ").split()
            if len(words) >= 2 and words[0] == "attribute":
                self.attributes.add(words[1])
            elif len(words) >= 2 and words[0] == "type":
                attrs = words[2:]
                if "alias" in attrs:
                    attrs = attrs[attrs.index("alias") + 2:]
                self.types.setdefault(words[1], set()).update(attrs)
            elif len(words) >= 3 and words[0] == "typeattribute":
                self.types.setdefault(words[1], set()).update(words[2:])
        self.transitions = re.findall(r"(?m)^type_transition init (\S+):process (\S+);", text)

    def check_type(self, name, attribute):
        if name not in self.types:
            return f"type {name} is not declared by the policy"
        if attribute not in self.types[name]:
            return f"type {name} is not a {attribute}"
        return None


CONTEXT = re.compile(r"u:object_r:([A-Za-z0-9_]+):s0(:c\d+(\.c\d+)?(,c\d+(\.c\d+)?)*)?$")


def m4_contexts(files):
    """The contexts files joined as the build joins them (m4 -s, a newline
    after each), with the original file and line of every line kept."""
    lines = []
    for path in files:
        r = subprocess.run(["m4", "--fatal-warnings", "-s", path], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
        if r.returncode != 0:
            fail("m4: " + r.stderr.strip())
        number = 1
        for line in r.stdout.split("\n"):
            m = re.match(r'#line (\d+)', line)
            if m:
                number = int(m.group(1))
                continue
            lines.append((f"{path}:{number}", line))
            number += 1
    return lines


def entries(files):
    for where, line in m4_contexts(files):
        code = line.split("#", 1)[0].strip()
        if code:
            yield where, line.strip(), code.split()


def literal_heads(regex):
    """The literal beginnings of the paths a file_contexts regex can match,
    with a leading group of alternatives, /(a|b)/..., spelt out."""
    m = re.match(r"/\(([^()]*)\)(.*)", regex)
    heads = ["/" + alt + m.group(2) for alt in m.group(1).split("|")] if m else [regex]
    return [re.split(r"[.*+?\[\](){}|^$\\]", h, maxsplit=1)[0] for h in heads]


def file_contexts(args):
    policy, partition, files = Policy(args[0]), args[1], args[2:]
    roots = {"system_ext": ("/system_ext/", "/system/system_ext/"),
             "vendor": ("/vendor/", "/system/vendor/")}[partition]
    problems = []
    for where, line, words in entries(files):
        if len(words) not in (2, 3) or (len(words) == 3 and words[1] not in
                                        ("--", "-d", "-l", "-b", "-c", "-p", "-s")):
            problems.append(f"{where}: malformed entry: {line}")
            continue
        try:
            regex = re.compile(words[0] + "$")
        except re.error as e:
            problems.append(f"{where}: bad regular expression ({e}): {line}")
            continue
        m = CONTEXT.match(words[-1])
        why = policy.check_type(m.group(1), "file_type") if m else f"bad context {words[-1]}"
        if why:
            problems.append(f"{where}: {why}: {line}")
        # Each entry labels files of this partition only (under either of its
        # mount points).
        if not all(head.startswith(roots) for head in literal_heads(words[0])):
            problems.append(f"{where}: labels paths outside {partition}: {line}")
    report(problems, files)


def platform_exact_names(aosp):
    names = set()
    path = os.path.join(aosp, SEPOLICY, "private/property_contexts")
    for where, line, words in entries([path]):
        if len(words) >= 3 and words[2] == "exact":
            names.add(words[0])
    return names


def property_contexts(args):
    aosp, policy, files = args[0], Policy(args[1]), args[2:]
    platform = platform_exact_names(aosp)
    problems = []
    for where, line, words in entries(files):
        if len(words) < 2:
            problems.append(f"{where}: malformed entry: {line}")
            continue
        m = CONTEXT.match(words[1])
        why = policy.check_type(m.group(1), "property_type") if m else f"bad context {words[1]}"
        if len(words) > 2 and words[2] not in ("exact", "prefix"):
            why = f"match must be exact or prefix, not {words[2]}"
        elif len(words) > 3 and words[3] not in ("string", "bool", "int", "uint", "double", "enum"):
            why = f"unknown property type {words[3]}"
        elif len(words) > 4 and words[3] != "enum":
            why = "only an enum takes values"
        elif words[0] in platform:
            why = "the platform already labels this name"
        if why:
            problems.append(f"{where}: {why}: {line}")
    report(problems, files)


def namespace(args):
    aosp, partition, files = args[0], args[1], args[2:]
    source = read(os.path.join(aosp, CONTEXTS_GO))
    # The build checks only soc_specific (vendor) and device_specific (odm)
    # property_contexts; say so only while the tree says so.
    guard = "if (ctx.SocSpecific() || ctx.DeviceSpecific()) && shippingApiLevel.GreaterThanOrEqualTo(ApiLevelQ)"
    if guard not in source:
        fail(f"{CONTEXTS_GO}: the condition for the namespace rule has changed; this check cannot tell where it applies")
    if partition not in ("vendor", "odm"):
        print(f"not applied to {partition} (selinux_contexts.go runs it for vendor and odm only)")
        return
    if not files:
        print(f"no property_contexts on {partition}")
        return
    names = go_string_list(source, "allowedPropertyPrefixes := []string{", CONTEXTS_GO)
    labels = go_string_list(source, "allowedContextPrefixes = []string{", CONTEXTS_GO)
    joined = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"drovik_{partition}_property_contexts.{os.getpid()}")
    with open(joined, "w") as f:
        for _, line in m4_contexts(files):
            f.write(line + "\n")
    cmd = [sys.executable, os.path.join(aosp, PROP_PREFIX_CHECK), "--property-contexts", joined]
    cmd += [a for n in names for a in ("--allowed-property-prefix", n)]
    cmd += [a for n in labels for a in ("--allowed-context-prefix", n)]
    r = subprocess.run(cmd + ["--strict"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    os.unlink(joined)
    if r.returncode == 0 and not r.stdout.strip():
        count = sum(1 for _ in entries(files))
        print(f"{count} {partition} entries, all within the vendor namespace")
        return
    print(r.stdout.replace(joined, " ".join(files)).rstrip())
    sys.exit(r.returncode)


def genfs(args):
    conf, want, paths = args[0], args[1], args[2:]
    rules = re.findall(r"(?m)^genfscon sysfs (\S+)\s+u:object_r:(\w+):", read(conf))
    problems = []
    for path in paths:
        rel = path[len("/sys"):]
        best = max((p for p in rules if rel == p[0] or rel.startswith(p[0].rstrip("/") + "/")),
                   key=lambda p: len(p[0]), default=None)
        label = best[1] if best else "sysfs"
        if label != want:
            problems.append(f"{path} is labelled {label}" + (f" (genfscon sysfs {best[0]})" if best else ""))
    if problems:
        fail("\n".join(problems))
    print(f"{len(paths)} paths labelled {want}")


def report(problems, files):
    if problems:
        fail("\n".join(problems))
    print(", ".join(os.path.relpath(f) for f in files))


def main():
    commands = {"build": build, "file-contexts": file_contexts, "property-contexts": property_contexts,
                "namespace": namespace, "genfs": genfs}
    if len(sys.argv) < 3 or sys.argv[1] not in commands:
        sys.exit(__doc__)
    commands[sys.argv[1]](sys.argv[2:])


if __name__ == "__main__":
    main()
