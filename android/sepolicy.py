#!/usr/bin/env python3
"""The platform's SELinux builds and checks, run on drovik's policy inside an
AOSP tree.

    sepolicy.py build AOSP OUT [--system-ext-public DIR] [--system-ext-private DIR] [--vendor DIR]
        The platform's monolithic policy with the given directories in the
        places the platform build gives them (m4 in policy.go's order):
        OUT/policy.conf, and OUT/policy.bin made without its neverallow
        rules (the rules are the same; see neverallow).
    sepolicy.py neverallow OUT
        checkpolicy over OUT/policy.conf: syntax, declarations, macros and
        every neverallow rule; each violated rule is shown as written.
    sepolicy.py partition AOSP OUT [--system-ext-public DIR] [--system-ext-private DIR] [--vendor DIR]
        The vendor policy as the platform builds it (public types only, to
        CIL) and as init boots it (secilc), with its own system_ext policy
        and with a generic system image's.
    sepolicy.py namespace AOSP PARTITION DIR...
        The property-namespace rule of selinux_contexts.go over the
        property_contexts of the policy directories, run as the build runs
        it for PARTITION on a device launched with Android 11 or later.

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

import setools

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


# The platform's structure files (classes, initial SIDs, permissions, MLS,
# roles, users), which the build gives a vendor policy through its required
# mask; this tree keeps them in private/. private/mls names mlsvendorcompat,
# which private/attributes declares: the mask declares it itself.
STRUCTURE = ["security_classes", "initial_sids", "access_vectors", "mls_macros", "mls_decl", "mls",
             "policy_capabilities", "roles_decl", "users", "initial_sid_contexts"]
STRUCTURE_ATTRIBUTES = "attribute mlsvendorcompat;\n"


def arguments(argv, count, names, doc):
    """The first count arguments, and the --NAME VALUE pairs after them as
    {--NAME: [VALUE...]} for each of names; the usage (doc) otherwise."""
    if len(argv) < count:
        sys.exit(doc)
    pairs, rest = {n: [] for n in names}, argv[count:]
    while rest:
        if rest[0] not in pairs or len(rest) < 2:
            sys.exit(f"unknown argument {rest[0]}\n{doc}")
        pairs[rest[0]].append(rest[1])
        rest = rest[2:]
    return argv[:count], pairs


def parse_places(args):
    """The directories given for each place of the policy build."""
    _, places = arguments(args, 0, ["--system-ext-public", "--system-ext-private", "--vendor"], __doc__)
    return {n: [os.path.abspath(p) for p in paths] for n, paths in places.items()}


def write_conf(aosp, dirs, conf):
    """m4 over the files of dirs in policy.go's order, as the build runs it;
    returns the number of files."""
    order, defs = policy_build_plan(aosp)
    files = policy_files(aosp, order, dirs)
    m4 = ["m4", "--fatal-warnings"] + [a for d in defs for a in ("-D", d)] + ["-s"] + files
    with open(conf, "w") as f:
        r = subprocess.run(m4, cwd=aosp, stdout=f, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        fail("m4: " + r.stderr.strip())
    return len(files)


def without_neverallows(conf, out):
    """The policy.conf with its neverallow rules taken out: the same binary
    policy, made in a fraction of a second, for the checks that only ask
    what it allows."""
    text = re.sub(r"(?ms)^\s*neverallow(xperm)?\b[^;]*;", "", read(conf))
    with open(out, "w") as f:
        f.write(text)


def compile_policy(command, where):
    r = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if r.returncode != 0:
        fail(f"{where}:\n" + r.stdout.strip())


def build(args):
    """The monolithic policy.conf and its binary policy, without checking the
    neverallow rules (see neverallow)."""
    aosp, out = args[0], args[1]
    places = parse_places(args[2:])
    dirs = ([f"{SEPOLICY}/public", f"{SEPOLICY}/private"] + places["--system-ext-public"] +
            places["--system-ext-private"] + [f"{SEPOLICY}/vendor"] + places["--vendor"])
    conf = os.path.join(out, "policy.conf")
    count = write_conf(aosp, dirs, conf)
    without_neverallows(conf, conf + ".allows")
    compile_policy(["checkpolicy", "-M", "-c", "30", "-o", os.path.join(out, "policy.bin"), conf + ".allows"],
                   "checkpolicy")
    print(f"{count} files")


def neverallow(args):
    """checkpolicy over the whole policy.conf: syntax, declarations and every
    neverallow rule; a violated rule is followed by the rule as written."""
    conf = os.path.join(args[0], "policy.conf")
    status, output, reused = checked(["checkpolicy", "-M", "-c", "30", "-o", "/dev/null", conf], [conf],
                                     "checkpolicy", ["checkpolicy", "-V"])
    if status == 0:
        print("every neverallow holds" + (" (checkpolicy's result reused: same policy.conf, same checkpolicy)"
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


def partition(args):
    """The device's vendor policy as the platform builds and boots it. The
    build compiles it (public policy, system_ext's public policy, vendor
    policy) to CIL against the platform's public types alone, and keeps what
    the public policy does not declare. At boot init compiles the platform's
    CIL with it (secilc): once with the system_ext policy it was built with,
    once with a generic system image's, which has none of drovik's."""
    aosp, out = args[0], args[1]
    places = parse_places(args[2:])
    public = [f"{SEPOLICY}/public"] + places["--system-ext-public"]
    os.makedirs(os.path.join(out, "structure"), exist_ok=True)
    for name in STRUCTURE:
        with open(os.path.join(out, "structure", name), "w") as f:
            f.write(read(os.path.join(aosp, SEPOLICY, "private", name)))
    with open(os.path.join(out, "structure", "attributes"), "w") as f:
        f.write(STRUCTURE_ATTRIBUTES)
    structure = [os.path.abspath(os.path.join(out, "structure"))]

    def cil(name, dirs):
        conf = os.path.join(out, name + ".conf")
        write_conf(aosp, dirs, conf)
        compile_policy(["checkpolicy", "-C", "-M", "-c", "30", "-o", os.path.join(out, name + ".cil"), conf],
                       f"{name}: checkpolicy -C")
        return os.path.join(out, name + ".cil")

    built = read(cil("vendor", structure + public + [f"{SEPOLICY}/vendor"] + places["--vendor"]))
    mask = set(read(cil("public", structure + public)).split("\n"))
    vendor = os.path.join(out, "vendor_sepolicy.cil")
    with open(vendor, "w") as f:
        f.write("".join(l + "\n" for l in built.split("\n") if l not in mask and not l.startswith(";;")))
    own = places["--system-ext-public"] + places["--system-ext-private"]
    platform = [f"{SEPOLICY}/public", f"{SEPOLICY}/private"]
    platforms = [("a generic system image", cil("generic", platform))]
    if own:
        platforms.append(("its own system_ext", cil("own", platform + own)))
    for what, plat in platforms:
        command = ["secilc", "-m", "-M", "true", "-G", "-N", "-c", "30", plat, vendor, "-o", "/dev/null", "-f",
                   "/dev/null"]
        status, output, _ = checked(command, [plat, vendor], "secilc", ["dpkg-query", "-W", "-f=${Version}", "secilc"])
        if status != 0:
            fail(f"the vendor policy does not boot with {what} (secilc):\n" + output.strip() + "\n" +
                 unresolved(output, vendor))
    print("vendor policy compiled against the public policy alone; boots with " +
          " and with ".join(what for what, _ in reversed(platforms)))


def unresolved(messages, cil_file):
    """The CIL statements secilc names by line, as written."""
    lines = read(cil_file).split("\n")
    shown = []
    for n in sorted({int(m) for m in re.findall(r"at \S+:(\d+)", messages)}):
        if 0 < n <= len(lines):
            shown.append(f"    line {n}: {lines[n - 1][:200]}")
    return "\n".join(shown)


def checked(command, inputs, kind, version_command):
    """(exit status, output, whether it was kept from an earlier run) of a
    command whose answer depends on nothing but the contents of the files
    inputs (among its arguments), its other arguments and the tool's version:
    a cache keyed on those is exact. The cache is DROVIK_ANDROID_CACHE/kind,
    when that is set; it spares checkpolicy's ten seconds of neverallow
    checking, and the seconds of secilc and sesearch, when nothing changed."""
    cache = os.environ.get("DROVIK_ANDROID_CACHE")
    key = None
    if cache:
        cache = os.path.join(cache, kind)
        version = subprocess.run(version_command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
        digest = hashlib.sha256(version.encode())
        for arg in command:
            if arg in inputs:
                with open(arg, "rb") as f:
                    digest.update(b"\0file\0" + f.read())
            else:
                digest.update(b"\0" + arg.encode())
        key = os.path.join(cache, digest.hexdigest())
        try:
            with open(key) as f:
                status, _, output = f.read().partition("\n")
            os.utime(key)
            for i, path in enumerate(inputs):
                output = output.replace(f"{{input{i}}}", path)
            return int(status), output, True
        except (OSError, ValueError):
            pass
    r = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if key:
        os.makedirs(cache, exist_ok=True)
        output = r.stdout
        for i, path in enumerate(inputs):
            output = output.replace(path, f"{{input{i}}}")
        # Other runs may write and trim at the same moment.
        with open(f"{key}.{os.getpid()}.tmp", "w") as f:
            f.write(f"{r.returncode}\n" + output)
        os.replace(f"{key}.{os.getpid()}.tmp", key)
        kept = []
        for name in os.listdir(cache):
            try:
                kept.append((os.path.getmtime(os.path.join(cache, name)), os.path.join(cache, name)))
            except OSError:
                pass
        for _, old in sorted(k for k in kept if not k[1].endswith(".tmp"))[:-64]:
            try:
                os.unlink(old)
            except OSError:
                pass
    return r.returncode, r.stdout, False


class Policy:
    """A built policy as the kernel gets it (setools, from the binary policy
    beside policy.conf): its types with their attributes, the domain init
    runs each executable type in, its genfscon rules as (filesystem, path,
    type); and the file that declares each type, from policy.conf's #line
    marks, which only m4's output keeps."""

    def __init__(self, conf):
        self.compiled = setools.SELinuxPolicy(os.path.join(os.path.dirname(conf), "policy.bin"))
        self.types = {str(t): {str(a) for a in t.attributes()} for t in self.compiled.types()}
        self.transitions = {str(r.target): str(r.default) for r in setools.TERuleQuery(
            self.compiled, ruletype=["type_transition"], source="init", source_indirect=False,
            tclass=["process"]).results()}
        self.genfs = [(str(g.fs), str(g.path), str(g.context.type_)) for g in self.compiled.genfscons()]
        self.declared_in = {}
        where = None
        for m in re.finditer(r'(?m)^(?:#line \d+ "([^"]*)"|[ \t]*type (\w+))', read(conf)):
            if m.group(1):
                where = m.group(1)
            else:
                self.declared_in.setdefault(m.group(2), where)

    def check_type(self, name, attribute):
        if name not in self.types:
            return f"type {name} is not declared by the policy"
        if attribute not in self.types[name]:
            return f"type {name} is not a {attribute}"
        return None

    def declared_under(self, name, dirs):
        where = self.declared_in.get(name) or ""
        return any(os.path.abspath(where).startswith(os.path.abspath(d) + os.sep) for d in dirs)


CONTEXT = re.compile(r"u:object_r:([A-Za-z0-9_]+):s0(:c\d+(\.c\d+)?(,c\d+(\.c\d+)?)*)?$")


def contexts_files(dirs, name):
    """The file called name (file_contexts, property_contexts) of each
    policy directory that has one."""
    return [os.path.join(d, name) for d in dirs if os.path.isfile(os.path.join(d, name))]


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


def namespace(args):
    aosp, partition, files = args[0], args[1], contexts_files(args[2:], "property_contexts")
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


def genfs_label(rules, fs, path):
    """The type the genfscon rules give PATH (under /sys or /proc) on a
    filesystem of type fs: the longest matching prefix."""
    rel = path[len("/" + ("sys" if fs == "sysfs" else fs)):] or "/"
    best = max((r for r in rules if r[0] == fs and (rel == r[1] or rel.startswith(r[1].rstrip("/") + "/"))),
               key=lambda r: len(r[1]), default=None)
    return best[2] if best else None


def main():
    commands = {"build": build, "neverallow": neverallow, "partition": partition, "namespace": namespace}
    if len(sys.argv) < 3 or sys.argv[1] not in commands:
        sys.exit(__doc__)
    commands[sys.argv[1]](sys.argv[2:])


if __name__ == "__main__":
    main()
