#!/usr/bin/env python3
"""The Android check's own test, which android/check.sh --self-test AOSP runs
with the names of its checks.

Each fixture in tests/android/fixtures is a copy of the pack with one rule
broken, run through the copy's android/check.sh, which must fail on that
check, with the words the fixture expects; a few are inputs the check must
take (pass: yes). Every check of android/check.py has fixtures that fail it. A
fixture whose edit no longer applies is a failure too, so none goes stale
unnoticed.

Fixture lines:
    # what is broken, and why the check must fail     (the first is shown)
    check: NAME[,NAME]       the checks run (check.sh --only)
    fail: NAME...            the checks that must fail (default: those run)
    pass: yes                the check must pass instead
    args: ARG...             more check.sh arguments (paths in the copy;
                             --partition system_ext unless they say)
    expect: TEXT             must be in the output
    edit: PATH               then hunks, apart by an empty line: -LINE...
                             (consecutive lines of the file) followed by
                             +LINE... in their place; a hunk of + lines
                             only is added at the end
    create: PATH             then +LINE... (a new file)
    tree-edit: PATH          an edit, as edit: does, of a copy of the AOSP
                             tree's PATH: the check runs on that copy
    rename: NAME VALUE       the daemon's constant NAME now holds VALUE
"""
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "android"))
import names  # noqa: E402

FIXTURES = os.path.join(ROOT, "tests", "android", "fixtures")
PACK = ["android", *names.FOLDERS, "sepolicy", "tests/android", "drovik.rc", "drovik-vendor.rc", "Android.bp",
        "TEST_MAPPING"]
JOBS = 2


class Broken(Exception):
    pass


def parse(path):
    fx = {"title": "", "check": [], "fail": None, "pass": False, "args": [], "expect": [], "ops": []}
    with open(path) as f:
        lines = f.read().split("\n")
    for line in lines:
        if line.startswith("# ") and not fx["title"]:
            fx["title"] = line[2:]
            continue
        key, sep, value = line.partition(": ")
        if (line[:1] in "-+" or not line) and fx["ops"] and fx["ops"][-1][0] in ("edit", "create", "tree-edit"):
            fx["ops"][-1][2].append(line)
        elif not sep:
            if line.strip() and not line.startswith("#"):
                raise Broken(f"{path}: cannot read '{line}'")
        elif key == "check":
            fx["check"] = value.replace(",", " ").split()
        elif key == "fail":
            fx["fail"] = value.split()
        elif key == "pass":
            fx["pass"] = value == "yes"
        elif key == "args":
            fx["args"] += value.split()
        elif key == "expect":
            fx["expect"].append(value)
        elif key in ("edit", "create", "rename", "tree-edit"):
            fx["ops"].append((key, value, []))
        else:
            raise Broken(f"{path}: unknown key '{key}'")
    if not fx["check"]:
        raise Broken(f"{path}: no check")
    if fx["fail"] is None:
        fx["fail"] = [] if fx["pass"] else fx["check"]
    return fx


def hunks(lines):
    """[(old lines, new lines)] from a run of -/+ lines."""
    out = []
    for line in lines:
        if not line:
            if out and (out[-1][0] or out[-1][1]):
                out.append(([], []))
            continue
        sign, text = line[0], line[1:]
        if sign == "-" and (not out or out[-1][1]):
            out.append(([], []))
        elif sign == "+" and not out:
            out.append(([], []))
        out[-1][0 if sign == "-" else 1].append(text)
    return out


def apply(copy, op, path):
    kind, value, lines = op
    if kind == "tree-edit":
        kind = "edit"
    if kind == "create":
        target = os.path.join(copy, value)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w") as f:
            f.write("".join(l[1:] + "\n" for l in lines if l))
    elif kind == "edit":
        target = os.path.join(copy, value)
        with open(target) as f:
            text = f.read().split("\n")
        for old, new in hunks(lines):
            if not old:
                if text and text[-1] == "":
                    text = text[:-1] + new + [""]
                else:
                    text += new
                continue
            at = next((i for i in range(len(text)) if text[i:i + len(old)] == old), None)
            if at is None:
                raise Broken(f"{path}: {value} no longer holds: " + " / ".join(old))
            text[at:at + len(old)] = new
        with open(target, "w") as f:
            f.write("\n".join(text))
    elif kind == "rename":
        name, new = value.split(" ", 1)
        places = names.definitions(copy).get(name, [])
        if len(places) != 1:
            raise Broken(f"{path}: {name} is defined {len(places)} times in the pack")
        where, old = places[0]
        target = os.path.join(copy, where.rsplit(":", 1)[0])
        with open(target) as f:
            text = f.read()
        pattern = rf'(\bconstexpr\s+const\s+char\s*\*\s*{name}\s*=\s*)"{re.escape(old)}"'
        with open(target, "w") as f:
            f.write(re.sub(pattern, lambda m: m.group(1) + new, text, count=1))


def run(path, aosp):
    """(ok, report lines) for one fixture."""
    name = os.path.basename(path)[:-len(".fixture")]
    began = time.monotonic()
    try:
        fx = parse(path)
        with tempfile.TemporaryDirectory(prefix="drovik-self-test.") as copy:
            for item in PACK:
                src, dst = os.path.join(ROOT, item), os.path.join(copy, item)
                if os.path.isdir(src):
                    shutil.copytree(src, dst, ignore=shutil.ignore_patterns("__pycache__"))
                else:
                    shutil.copy2(src, dst)
            for op in fx["ops"]:
                if op[0] == "tree-edit":
                    tree = os.path.join(copy, "aosp")
                    if not os.path.isdir(tree):
                        shutil.copytree(aosp, tree, symlinks=True)
                    apply(tree, op, path)
                else:
                    apply(copy, op, path)
            tree = os.path.join(copy, "aosp") if os.path.isdir(os.path.join(copy, "aosp")) else aosp
            # The copy takes the tree's results where its inputs are the same
            # (ccache's and the policy tools' answers are keyed on every input),
            # unless there is no cache.
            command = [os.path.join(copy, "android", "check.sh"), "--only", ",".join(fx["check"])]
            if not os.environ.get("DROVIK_ANDROID_CACHE"):
                command.append("--no-cache")
            command += [os.path.join(copy, a) if a.startswith(("tests/", "android/")) else a for a in fx["args"]]
            if "--partition" not in fx["args"]:
                command += ["--partition", "system_ext"]
            r = subprocess.run(command + [tree], cwd=copy, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True)
            out = r.stdout.replace(copy + "/", "")
    except Broken as e:
        return False, [f"FAIL  {name}: the fixture is broken: {e}"]
    failed = sorted({m for m in re.findall(r"(?m)^FAIL  (\S+)", out)})
    wrong = []
    if fx["pass"] and (r.returncode != 0 or failed):
        wrong.append(f"the check must pass (exit {r.returncode})")
    if not fx["pass"] and r.returncode != 1:
        wrong.append(f"exit {r.returncode}, not 1")
    if failed != sorted(set(fx["fail"])):
        wrong.append(f"failed: {' '.join(failed) or 'nothing'}; must fail: {' '.join(fx['fail']) or 'nothing'}")
    wrong += [f"not in the output: {e}" for e in fx["expect"] if e not in out]
    if wrong:
        return False, [f"FAIL  {name}: {fx['title']}"] + [f"    {w}" for w in wrong] + \
            [f"    | {l}" for l in out.rstrip().split("\n")]
    shown = "passes" if fx["pass"] else "fails " + " ".join(fx["fail"])
    return True, [f"PASS  {name}: {shown} ({time.monotonic() - began:.1f} s): {fx['title']}"]


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: self_test.py AOSP_ROOT CHECK...")
    aosp, checks = os.path.abspath(sys.argv[1]), sys.argv[2:]
    paths = sorted(os.path.join(FIXTURES, f) for f in os.listdir(FIXTURES) if f.endswith(".fixture"))
    failing = set()
    problems = 0
    for p in paths:
        try:
            fx = parse(p)
            failing.update(fx["fail"])
        except Broken:
            pass
    uncovered = [c for c in checks if c not in failing]
    if uncovered:
        print(f"FAIL  no fixture fails the check{'s' if len(uncovered) > 1 else ''} {' '.join(uncovered)}")
        problems += 1
    with concurrent.futures.ThreadPoolExecutor(JOBS) as pool:
        for ok, lines in pool.map(lambda p: run(p, aosp), paths):
            print("\n".join(lines), flush=True)
            problems += not ok
    print(f"self-test: {len(paths)} fixtures, {problems} problem{'' if problems == 1 else 's'}")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
