#!/usr/bin/env python3
"""What the platform build takes from the project: Android.bp, its build-time
genrule and TEST_MAPPING.

    soong.py ROOT
    soong.py genrule ROOT NAME OUT_DIR   (the genrule's output, for the compile)

- The binaries' sources (srcs of the modules and their defaults, for the
  device) are the daemon's sources, all and no others: the platform build
  links what Android.bp lists.
- The genrule drovik_build_time, run as Soong runs it (its own folder, its
  tool and sources only, an empty environment), writes the header of
  android/release's moment, in __DATE__ and __TIME__'s layout (as date(1)
  lays it out), and the same header whatever the environment holds; the
  release's version is the daemon's PROGRAM_VERSION.
- TEST_MAPPING runs every test module of Android.bp before submission, and
  names nothing else; each is in a test suite, which the test runner needs.
"""
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import blueprint
import names
import sepolicy

GENRULE = "drovik_build_time"
# A build sandbox's search path, and nothing else of the caller's environment.
SANDBOX_PATH = "/usr/bin:/bin"


def check_sources(root, mods):
    tree = {os.path.relpath(p, root) for f in names.DAEMON_FOLDERS for p in glob.glob(os.path.join(root, f, "*.cpp"))}
    problems = []
    binaries = [(p["name"], p) for t, p in mods if t == "cc_binary"]
    if not binaries:
        return ["Android.bp: no cc_binary"], ""
    for name, props in binaries:
        listed = {s for s in blueprint.device_srcs(mods, props) if s.split("/")[0] in names.DAEMON_FOLDERS}
        problems += [f"Android.bp: {name} lists {s}, which is not in the tree" for s in sorted(listed - tree)]
        problems += [f"Android.bp: {name} does not list {s}" for s in sorted(tree - listed)]
    return problems, f"{len(binaries)} binaries with the {len(tree)} daemon sources"


def run_genrule(root, props, env):
    """The genrule's output, run in a folder of its own with its inputs only."""
    with tempfile.TemporaryDirectory() as sandbox:
        inputs = props.get("tool_files", []) + props.get("srcs", [])
        for path in inputs:
            os.makedirs(os.path.join(sandbox, os.path.dirname(path)), exist_ok=True)
            shutil.copy2(os.path.join(root, path), os.path.join(sandbox, path))
        out = os.path.join("out", props["out"][0])
        os.makedirs(os.path.join(sandbox, "out"))
        known = {"in": " ".join(props.get("srcs", [])), "out": out}
        unknown = []

        def expand(m):
            if m.group(0) == "$$":
                return "$"
            word = m.group(1)
            if word.startswith("location "):
                return word[len("location "):]
            if word not in known:
                unknown.append(word)
            return known.get(word, "")

        cmd = re.sub(r"\$\$|\$\(([^)]*)\)", expand, props["cmd"])
        if unknown:
            return None, f"cannot run '{props['cmd']}' here (only $(location), $(in) and $(out) are known)"
        r = subprocess.run(["sh", "-c", cmd], cwd=sandbox, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
        if r.returncode != 0:
            return None, f"'{cmd}' failed: {r.stdout.strip()}"
        with open(os.path.join(sandbox, out)) as f:
            return f.read(), None


def check_build_time(root, mods):
    kind, props = blueprint.module(mods, GENRULE)
    if kind != "genrule":
        return [f"Android.bp: no genrule {GENRULE}"], ""
    release = os.path.join(root, "android", "release")
    with open(release) as f:
        fields = [l.split("#", 1)[0].split() for l in f]
    fields = [l for l in fields if l]
    if not fields or len(fields[-1]) != 2 or not fields[-1][1].isdigit():
        return ["android/release: the last line must be VERSION SECONDS"], ""
    version, seconds = fields[-1]
    problems = []
    program = names.lookup(root, ["PROGRAM_VERSION"])["PROGRAM_VERSION"]
    if version != program:
        problems.append(f"android/release is for version {version}, the daemon is {program}: "
                        f"a new version needs its release time")
    plain, why = run_genrule(root, props, {"PATH": SANDBOX_PATH})
    if why:
        return problems + [f"Android.bp: genrule {GENRULE}: {why}"], ""
    other, _ = run_genrule(root, props, {"PATH": SANDBOX_PATH, "SOURCE_DATE_EPOCH": "86400", "TZ": "Asia/Tokyo",
                                         "LC_ALL": "C.UTF-8"})
    if other != plain:
        problems.append(f"Android.bp: genrule {GENRULE} writes another header when the environment "
                        f"differs (SOURCE_DATE_EPOCH, TZ): the build is not reproducible")
    date = subprocess.run(["date", "-u", "-d", f"@{seconds}", "+%b %e %Y|%H:%M:%S"], stdout=subprocess.PIPE,
                          text=True, env={"PATH": SANDBOX_PATH, "LC_ALL": "C"}).stdout.strip().split("|")
    want = [f'#define DROVIK_BUILD_DATE "{date[0]}"', f'#define DROVIK_BUILD_TIME "{date[1]}"']
    lacking = [w for w in want if w not in plain.splitlines()]
    if lacking:
        problems.append(f"Android.bp: genrule {GENRULE} does not write the release time "
                        f"({' '.join(date)} UTC, android/release); it wrote:\n" +
                        "".join(f"    | {l}\n" for l in plain.splitlines()).rstrip())
    return problems, f"genrule {GENRULE}: {date[0]} {date[1]} (android/release, version {version})"


def check_test_mapping(root, mods):
    path = os.path.join(root, "TEST_MAPPING")
    try:
        with open(path) as f:
            # TEST_MAPPING is JSON that may hold // comments.
            mapping = json.loads(re.sub(r"(?m)^\s*//.*$", "", f.read()))
    except (OSError, ValueError) as e:
        return [f"TEST_MAPPING: {e}"], ""
    named = [t.get("name") for t in mapping.get("presubmit", []) if isinstance(t, dict)]
    tests = {p["name"]: p for t, p in mods if t.startswith("cc_test")}
    problems = [f"TEST_MAPPING: {n} is not a test module of Android.bp" for n in named if n not in tests]
    problems += [f"TEST_MAPPING: presubmit does not run {n}" for n in sorted(tests) if n not in named]
    problems += [f"Android.bp: {n} is in no test_suites, so presubmit and atest cannot find it"
                 for n in sorted(tests) if not tests[n].get("test_suites")]
    return problems, f"TEST_MAPPING runs {', '.join(named)} in presubmit"


def write_genrule(root, name, out_dir):
    """The genrule's output written into out_dir, as a build gives it to the
    modules that name it in generated_headers."""
    try:
        kind, props = blueprint.module(blueprint.modules(os.path.join(root, "Android.bp")), name)
    except blueprint.Error as e:
        sepolicy.fail(str(e))
    if kind != "genrule":
        sepolicy.fail(f"Android.bp: no genrule {name}")
    text, why = run_genrule(root, props, {"PATH": SANDBOX_PATH})
    if why:
        sepolicy.fail(f"Android.bp: genrule {name}: {why}")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, os.path.basename(props["out"][0])), "w") as f:
        f.write(text)


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "genrule":
        write_genrule(*sys.argv[2:])
        return
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    root = sys.argv[1]
    try:
        mods = blueprint.modules(os.path.join(root, "Android.bp"))
    except blueprint.Error as e:
        sepolicy.fail(str(e))
    problems, said = [], []
    for check in (check_sources, check_build_time, check_test_mapping):
        p, s = check(root, mods)
        problems += p
        said.append(s)
    if problems:
        sepolicy.fail("\n".join(problems))
    print("; ".join(said))


if __name__ == "__main__":
    main()
