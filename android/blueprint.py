"""Android.bp read as Soong reads it: modules with their properties, comments
ignored, variables and + resolved.

    modules(path) -> [(type, {property: value})]

Values are str, bool, int, list or dict. Only what Blueprint's syntax allows
is taken; anything else stops with the file, line and what was found.
"""
import glob
import os
import re

TOKEN = re.compile(r'\s+|//[^\n]*|/\*.*?\*/|"(?:[^"\\\n]|\\.)*"|[A-Za-z_][A-Za-z0-9_]*|-?\d+|[{}\[\]:,=+()]|.',
                   re.S)


class Error(Exception):
    pass


def tokens(text, path):
    out = []
    for m in TOKEN.finditer(text):
        t = m.group(0)
        if t.isspace() or t.startswith(("//", "/*")):
            continue
        line = text.count("\n", 0, m.start()) + 1
        if len(t) == 1 and not re.match(r'[{}\[\]:,=+()"A-Za-z_0-9-]', t):
            raise Error(f"{path}:{line}: unexpected '{t}'")
        out.append((t, line))
    out.append(("", text.count("\n") + 1))
    return out


class Parser:
    def __init__(self, path):
        with open(path) as f:
            self.toks = tokens(f.read(), path)
        self.path, self.i, self.vars = path, 0, {}

    def peek(self):
        return self.toks[self.i][0]

    def take(self, want=None):
        t, line = self.toks[self.i]
        if want is not None and t != want:
            raise Error(f"{self.path}:{line}: expected '{want}', found '{t or 'end of file'}'")
        self.i += 1
        return t

    def value(self):
        v = self.term()
        while self.peek() == "+":
            self.take()
            w = self.term()
            if type(v) is not type(w) or isinstance(v, (bool, dict)):
                raise Error(f"{self.path}:{self.toks[self.i - 1][1]}: cannot add these values")
            v = v + w
        return v

    def term(self):
        t = self.peek()
        line = self.toks[self.i][1]
        if t.startswith('"'):
            self.take()
            return re.sub(r"\\(.)", r"\1", t[1:-1])
        if t == "[":
            self.take()
            items = []
            while self.peek() != "]":
                items.append(self.value())
                if self.peek() != "]":
                    self.take(",")
            self.take("]")
            return items
        if t == "{":
            return self.block()
        if t in ("true", "false"):
            self.take()
            return t == "true"
        if re.fullmatch(r"-?\d+", t):
            self.take()
            return int(t)
        if re.fullmatch(r"[A-Za-z_]\w*", t):
            self.take()
            if t not in self.vars:
                raise Error(f"{self.path}:{line}: unknown variable '{t}'")
            return self.vars[t]
        raise Error(f"{self.path}:{line}: unexpected '{t or 'end of file'}'")

    def block(self):
        self.take("{")
        props = {}
        while self.peek() != "}":
            name = self.take()
            self.take(":")
            props[name] = self.value()
            if self.peek() != "}":
                self.take(",")
        self.take("}")
        return props

    def file(self):
        modules = []
        while self.peek():
            name = self.take()
            if self.peek() == "=" or self.peek() == "+":
                op = self.take()
                if op == "+":
                    self.take("=")
                value = self.value()
                self.vars[name] = self.vars[name] + value if op == "+" else value
            else:
                modules.append((name, self.block()))
        return modules


def modules(path):
    return Parser(path).file()


def module(mods, name):
    return next(((t, p) for t, p in mods if p.get("name") == name), (None, None))


def device_srcs(mods, props):
    """A module's sources for the device, with those of its defaults."""
    return merged(mods, props, "srcs", [])


def partition_of(props):
    if props.get("vendor") or props.get("soc_specific") or props.get("proprietary"):
        return "vendor"
    if props.get("system_ext_specific"):
        return "system_ext"
    if props.get("product_specific"):
        return "product"
    if props.get("device_specific"):
        return "odm"
    return "system"


def installed_binary(mods, rc):
    """(module name, install path) of the cc_binary that installs rc."""
    for kind, props in mods:
        if kind == "cc_binary" and rc in props.get("init_rc", []):
            return props["name"], f"/{partition_of(props)}/bin/{props.get('stem', props['name'])}"
    return None, None


def merged(mods, props, key, default=None):
    """A property of a module for the device as Soong merges it: its
    defaults' first, then its own, then its target.android's; lists are
    joined, a scalar takes the last value given."""
    parts = []
    for d in props.get("defaults", []):
        _, dprops = module(mods, d)
        if dprops is not None:
            parts.append(merged(mods, dprops, key))
    parts += [props.get(key), props.get("target", {}).get("android", {}).get(key)]
    parts = [p for p in parts if p is not None]
    if not parts:
        return default
    if isinstance(parts[0], list):
        return [v for p in parts for v in p]
    return parts[-1]


# What a compile and link of a module for the device take from Android.bp.
BUILD_KEYS = {"srcs": [], "shared_libs": [], "cflags": [], "cppflags": [], "local_include_dirs": [],
              "generated_headers": [], "cpp_std": "", "stem": ""}


def build_inputs(root, path):
    """{name: {key: value}} for every cc_binary of Android.bp, in order: the
    BUILD_KEYS, sources with globs expanded from root and relative to it, the
    partition and init_rc."""
    mods = modules(path)
    out = {}
    for kind, props in mods:
        if kind != "cc_binary":
            continue
        name = props["name"]
        inputs = {key: merged(mods, props, key, default) for key, default in BUILD_KEYS.items()}
        inputs["stem"] = inputs["stem"] or name
        inputs["srcs"] = [os.path.relpath(s, root) for pattern in inputs["srcs"]
                          for s in sorted(glob.glob(os.path.join(root, pattern))) or [os.path.join(root, pattern)]]
        inputs["partition"] = partition_of(props)
        inputs["init_rc"] = props.get("init_rc", [])
        out[name] = inputs
    return out
