#!/usr/bin/env python3
"""An init .rc file checked against init's documented language.

    rc_check.py AOSP CONF PARTITION RC FILE_CONTEXTS...

Sections, service options and their argument counts and action commands come
from system/core/init/README.md; user and group names from the AIDs in
libcutils' android_filesystem_config.h; capability names from the kernel
headers bionic ships. Each service's executable must lie on PARTITION and be
labelled by FILE_CONTEXTS with a type that the built policy (CONF) lets init
enter a domain from: without that domain transition init refuses to start it.
"""
import os
import re
import sys

README = "system/core/init/README.md"
AIDS = "system/core/libcutils/include/private/android_filesystem_config.h"
CAPS = "bionic/libc/kernel/uapi/linux/capability.h"
MANY = 1 << 30


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError as e:
        sys.exit(f"cannot read {path}: {e.strerror}")


def arity(spec):
    """(fewest, most) arguments of a README synopsis such as
    'socket <name> <type> <perm> [ <user> [ <group> ] ]'."""
    tokens = re.findall(r"\[|\]|[^\s\[\]]+", re.sub(r"<[^>]*>", "<arg>", spec))

    def sequence(i, depth):
        low = high = 0
        while i < len(tokens):
            t = tokens[i]
            if t == "]":
                return low, high, i + 1
            if t == "[":
                _, h, i = sequence(i + 1, depth + 1)
                high += h
                if i < len(tokens) and tokens[i] in ("*", "\\*"):
                    high, i = MANY, i + 1
                continue
            many = t.endswith("*")
            low, high, i = low + 1, high + (MANY if many else 1), i + 1
        return low, high, i

    low, high, _ = sequence(1, 0)
    return low, min(high, MANY)


def synopses(text, title, next_title):
    """Name -> (fewest, most) for each `synopsis` opening a line of a README section."""
    start = re.search(rf"(?m)^{title}\n-+\n", text)
    end = re.search(rf"(?m)^{next_title}\n-+\n", text)
    if not start or not end:
        sys.exit(f"{README}: no '{title}' section")
    table = {}
    for line in text[start.end():end.start()].splitlines():
        if line.startswith("`"):
            for spec in re.findall(r"`([^`]+)`", line):
                spec = spec.replace("\\_", "_")
                table[spec.split()[0]] = arity(spec)
    return table


def tokens_of(path):
    """(line number, tokens) per logical line: comments dropped, backslash
    line folding and double quotes honoured."""
    folded, start = "", None
    for number, line in enumerate(read(path).split("\n"), 1):
        if start is None:
            start = number
        if line.endswith("\\"):
            folded += line[:-1] + " "
            continue
        folded += line
        text, folded, at = folded, "", start
        start = None
        if not text.strip() or text.lstrip().startswith("#"):
            continue
        yield at, re.findall(r'"[^"]*"|\S+', text)


def main():
    if len(sys.argv) < 6:
        sys.exit(__doc__)
    aosp, conf, partition, rc, contexts = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
    readme = read(os.path.join(aosp, README))
    options = synopses(readme, "Options", "Triggers")
    commands = synopses(readme, "Commands", "Imports")
    # "onrestart" is documented without a synopsis: it runs the command that follows.
    options["onrestart"] = (1, MANY)
    ids = {m.lower() for m in re.findall(r"(?m)^#define AID_(\w+)\s+\d+", read(os.path.join(aosp, AIDS)))}
    caps = set(re.findall(r"(?m)^#define CAP_(\w+)\s+\d+", read(os.path.join(aosp, CAPS)))) - {"LAST_CAP"}
    policy = read(conf)
    labels = []
    for path in contexts:
        for line in read(path).splitlines():
            words = line.split("#", 1)[0].split()
            if len(words) >= 2:
                labels.append((re.compile(words[0] + "$"), words[-1].split(":")[2]))

    problems, services = [], []
    section = None
    for number, words in tokens_of(rc):
        where = f"{rc}:{number}"
        keyword, args = words[0], words[1:]
        if keyword == "service":
            if len(args) < 2:
                problems.append(f"{where}: service needs a name and a path")
                section = "service"
                continue
            if args[0] in (s[0] for s in services):
                problems.append(f"{where}: service {args[0]} is defined twice; init ignores the second")
            services.append((args[0], args[1], where))
            section = "service"
        elif keyword == "on":
            section = "on"
            if not args:
                problems.append(f"{where}: 'on' needs a trigger")
        elif keyword == "import":
            section = "import"
            if len(args) != 1:
                problems.append(f"{where}: import takes one path")
        elif section == "import":
            problems.append(f"{where}: '{keyword}' follows an import, not a service or action")
        elif section is None:
            problems.append(f"{where}: '{keyword}' outside any section (init ignores it)")
        else:
            table, kind = (options, "service option") if section == "service" else (commands, "command")
            if keyword not in table:
                problems.append(f"{where}: unknown {kind} '{keyword}'")
                continue
            low, high = table[keyword]
            if not low <= len(args) <= high:
                count = f"{low}" if low == high else f"{low} to {'any number' if high == MANY else high}"
                problems.append(f"{where}: {keyword} takes {count} arguments, not {len(args)}")
            if section == "service" and keyword in ("user", "group"):
                problems += [f"{where}: no user or group '{a}' (AIDs of {AIDS})" for a in args
                             if a.lower() not in ids and not a.isdigit()]
            if section == "service" and keyword == "capabilities":
                problems += [f"{where}: no capability CAP_{a}" for a in args if a not in caps]

    roots = {"system_ext": "/system_ext/", "vendor": "/vendor/"}
    for name, path, where in services:
        if not path.startswith(roots[partition]):
            problems.append(f"{where}: service {name} runs {path}, which is not on {partition}")
        label = next((t for regex, t in reversed(labels) if regex.match(path)), None)
        if label is None:
            problems.append(f"{where}: {path} has no entry in {' '.join(contexts)}: init refuses to start {name}")
        elif not re.search(rf"(?m)^type_transition init {label}:process \w+;", policy):
            problems.append(f"{where}: no domain transition from init for {path} ({label}): "
                            f"init refuses to start {name}")
    if problems:
        print("\n".join(problems))
        sys.exit(1)
    print(", ".join(f"service {n} ({p})" for n, p, _ in services))


if __name__ == "__main__":
    main()
