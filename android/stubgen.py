#!/usr/bin/env python3
"""Stub library sources from a platform symbol map (*.map.txt), as the NDK makes
its stubs: the symbols an app built for API level N may link against on arm64,
as a C file of empty functions and data, and the version script that gives them
the library's symbol versions.

    stubgen.py MAP API OUT.c OUT.map
    stubgen.py --explain API SYMBOL MAP...   (why a symbol is not in a stub)

Rules, as the tags in the maps use them: versions named *_PRIVATE or *_PLATFORM
and anything tagged platform-only or future are left out; so are symbols only
for other architectures, symbols introduced after API (introduced=,
introduced-arm64=, on the symbol or on its version) and symbols kept for the
platform's own modes (llndk, systemapi, apex). "var" marks data, "weak" a weak
symbol, and versioned=N a symbol that carries its version from API N on.
"""
import re
import sys

ARCH = "arm64"
ARCHES = {"arm", "arm64", "x86", "x86_64", "riscv64"}
MODES = {"llndk", "systemapi", "apex"}
# Release names the maps use for API levels.
CODENAMES = {
    "G": 9, "I": 14, "J": 16, "J-MR1": 17, "J-MR2": 18, "K": 19, "L": 21, "L-MR1": 22,
    "M": 23, "N": 24, "N-MR1": 25, "O": 26, "O-MR1": 27, "P": 28, "Q": 29, "R": 30,
    "S": 31, "Sv2": 32, "Tiramisu": 33, "UpsideDownCake": 34, "VanillaIceCream": 35,
}


def api_level(text, where):
    if text.isdigit():
        return int(text)
    if text in CODENAMES:
        return CODENAMES[text]
    sys.exit(f"{where}: unknown API level '{text}'")


def parse_tags(comment):
    return comment.split() if comment else []


def introduced(tags, where):
    """The API level a tag list introduces its object at, or None."""
    level = None
    for tag in tags:
        key, _, value = tag.partition("=")
        if key == "introduced-" + ARCH:
            return api_level(value, where)
        if key == "introduced":
            level = api_level(value, where)
    return level


def versioned(tags, where):
    for tag in tags:
        key, _, value = tag.partition("=")
        if key == "versioned":
            return api_level(value, where)
    return None


def excluded(tags, api, where, inherited=None):
    """Why tagged object is not in the NDK stub at api, or None if it is."""
    if "platform-only" in tags or "future" in tags:
        return "platform-only"
    arches = ARCHES.intersection(tags)
    if arches and ARCH not in arches:
        return "not on " + ARCH
    if MODES.intersection(tags):
        return "not in the NDK"
    level = introduced(tags, where)
    if level is None:
        level = inherited
    if level is not None and level > api:
        return f"introduced={level}"
    return None


def parse(path):
    """[(version, parent, tags, [(symbol, tags)])] in file order."""
    versions = []
    current = None
    for number, raw in enumerate(open(path), 1):
        where = f"{path}:{number}"
        code, _, comment = raw.partition("#")
        code = code.strip()
        if not code:
            continue
        if current is None:
            m = re.fullmatch(r"(\S+)\s*\{", code)
            if not m:
                sys.exit(f"{where}: expected 'VERSION {{', found '{code}'")
            current = (m.group(1), parse_tags(comment), [])
            continue
        m = re.fullmatch(r"\}\s*(\S*?)\s*;", code)
        if m:
            versions.append((current[0], m.group(1) or None, current[1], current[2]))
            current = None
        elif code in ("global:", "local:"):
            pass
        elif code.endswith(";"):
            name = code[:-1].strip()
            if name != "*":
                current[2].append((name, parse_tags(comment), where))
        else:
            sys.exit(f"{where}: cannot read '{code}'")
    if current is not None:
        sys.exit(f"{path}: version {current[0]} is not closed")
    return versions


def explain(api, symbol, paths):
    """Where the maps have symbol, and why its stub at api lacks it."""
    found = False
    for path in paths:
        for name, _, vtags, symbols in parse(path):
            for sym, stags, where in symbols:
                if sym != symbol:
                    continue
                found = True
                vlevel = introduced(vtags, f"{path}: {name}")
                why = ("platform-only" if name.endswith(("_PRIVATE", "_PLATFORM")) else
                       excluded(vtags, api, name) or excluded(stags, api, where, vlevel))
                print(f"{symbol}: {where}, version {name}: " +
                      (f"{why}, not in the stub for API {api}" if why else f"in the stub for API {api}"))
    if not found:
        print(f"{symbol}: in none of " + ", ".join(paths))


def main():
    if len(sys.argv) > 3 and sys.argv[1] == "--explain":
        explain(int(sys.argv[2]), sys.argv[3], sys.argv[4:])
        return
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    path, api, out_c, out_map = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    c_lines = [f"// Stub of {path} for API {api}, {ARCH}: link only, never run."]
    script = []
    kept_versions = set()
    for name, parent, vtags, symbols in parse(path):
        if name.endswith(("_PRIVATE", "_PLATFORM")):
            continue
        vlevel = introduced(vtags, f"{path}: {name}")
        if excluded(vtags, api, f"{path}: {name}"):
            continue
        kept_versions.add(name)
        names = []
        for symbol, stags, where in symbols:
            if excluded(stags, api, where, vlevel):
                continue
            weak = "__attribute__((weak)) " if "weak" in stags else ""
            if "var" in stags:
                c_lines.append(f"{weak}int {symbol} = 0;")
            else:
                c_lines.append(f"{weak}void {symbol}(void) {{}}")
            since = versioned(stags, where)
            if since is None or since <= api:
                names.append(symbol)
        body = "".join(f"    {n};\n" for n in names)
        tail = f" {parent}" if parent in kept_versions else ""
        script.append(f"{name} {{\n" + (f"  global:\n{body}" if names else "") + f"}}{tail};\n")
    with open(out_c, "w") as f:
        f.write("\n".join(c_lines) + "\n")
    with open(out_map, "w") as f:
        f.write("".join(script))


if __name__ == "__main__":
    main()
