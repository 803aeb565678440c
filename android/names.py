"""The names the daemon uses (properties, services, paths, sockets), read from
its own sources so that what the Android pack is checked against is what the
code does. A name is a string constant,

    [inline] constexpr const char *NAME = "value";

defined exactly once in the daemon's folders (comments skipped); none, or more
than one, is an error that names every place found.
"""
import os
import re
import sys

# The daemon's own sources, and the platform layer it is built with.
DAEMON_FOLDERS = ("daemon", "services", "usb_monitor", "util")
FOLDERS = DAEMON_FOLDERS + ("platform",)
SUFFIXES = (".cpp", ".h")


def without_comments(text):
    """C++ text with its comments blanked out, string and character literals
    kept, and line numbers unchanged."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def sources(root):
    for folder in FOLDERS:
        for top, dirs, files in os.walk(os.path.join(root, folder)):
            dirs.sort()
            for name in sorted(files):
                if name.endswith(SUFFIXES):
                    yield os.path.join(top, name)


def definitions(root):
    """name -> [(file:line, value)] for every string constant of the daemon."""
    found = {}
    pattern = re.compile(r'\bconstexpr\s+const\s+char\s*\*\s*(\w+)\s*=\s*"((?:[^"\\\n]|\\.)*)"\s*;')
    for path in sources(root):
        with open(path) as f:
            text = without_comments(f.read())
        for m in pattern.finditer(text):
            line = text.count("\n", 0, m.start()) + 1
            where = f"{os.path.relpath(path, root)}:{line}"
            found.setdefault(m.group(1), []).append((where, m.group(2)))
    return found


def lookup(root, names):
    """name -> value; exits naming each name that is not defined exactly once."""
    found = definitions(root)
    values, problems = {}, []
    for name in names:
        places = found.get(name, [])
        if len(places) == 1:
            values[name] = places[0][1]
        elif not places:
            problems.append(f"{name}: not defined in {', '.join(f + '/' for f in FOLDERS)} "
                            f'(looked for constexpr const char *{name} = "...";)')
        else:
            problems.append(f"{name}: defined {len(places)} times, at " +
                            ", ".join(f"{w} ({v!r})" for w, v in places) + "; the daemon must name it once")
    if problems:
        print("\n".join(problems))
        sys.exit(1)
    return values
