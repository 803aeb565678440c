#!/usr/bin/env python3
"""An init .rc file checked for what it means to init on the device.

    rc_check.py ROOT AOSP CONF BIN RC [--own DIR]... [--config-fs FILE]...

- The language, as system/core/init/README.md defines it: sections, service
  options and commands with their numbers of arguments, triggers (one event
  at most, property:NAME=VALUE), tokens as init splits them ('#' opens a
  comment where a word may begin).
- The service runs the executable Android.bp installs with this file, is
  neither disabled nor oneshot (init keeps it running), and is in classes
  that the platform's init.rc starts after the persistent properties are
  loaded (the daemon reads its switch at start-up).
- user and groups exist (AIDs of android_filesystem_config.h, or a config.fs);
  not root; the groups android/accesses asks for are given.
- capabilities are exactly those android/accesses asks for and exactly those
  the policy grants the service's domain (sesearch).
- The domain: a seclabel the policy declares as a domain, or else the
  transition init makes when it runs the executable's label (the
  file_contexts of drovik's policy directories, DIR...).
- init's stop of the service stops the daemon's two services too: an action
  on property:init.svc.NAME=stopped stops each, on init's main loop. No
  gentle_kill: init would hold that loop 200 ms after its SIGTERM, with the
  daemon's ctl.stop writes waiting on it, and then kill the daemon.
- start, stop, restart and enable name a service that exists: one of this
  file, of the platform's init.rc files, or the daemon's own two.
"""
import os
import re
import sys

import access
import blueprint
import sepolicy

README = "system/core/init/README.md"
INIT_RC = ["system/core/rootdir/init.rc", "system/core/rootdir/init.usb.rc"]
AIDS = "system/core/libcutils/include/private/android_filesystem_config.h"
CAPS = "bionic/libc/kernel/uapi/linux/capability.h"
MANY = 1 << 30
# Names in the AID header that are ranges or offsets, not users.
NOT_USERS = re.compile(r".*_(START|END)$|APP|USER|USER_OFFSET")
SERVICE_COMMANDS = ("start", "stop", "restart", "enable")
# init's own triggers, before those init.rc queues from late-init (README,
# "Trigger Sequence").
BUILTIN_TRIGGERS = ["early-init", "init", "charger", "late-init"]


def arity(synopsis):
    """(fewest, most) arguments of a README synopsis such as
    'socket <name> <type> <perm> [ <user> [ <group> ] ]'."""
    tokens = re.findall(r"\[|\]|[^\s\[\]]+", re.sub(r"<[^>]*>", "<arg>", synopsis))

    def sequence(i):
        low = high = 0
        while i < len(tokens):
            t = tokens[i]
            if t == "]":
                return low, high, i + 1
            if t == "[":
                _, h, i = sequence(i + 1)
                high += h
                if i < len(tokens) and tokens[i] in ("*", "\\*"):
                    high, i = MANY, i + 1
                continue
            many = t.endswith("*")
            low, high, i = low + 1, high + (MANY if many else 1), i + 1
        return low, high, i

    low, high, _ = sequence(1)
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
            for synopsis in re.findall(r"`([^`]+)`", line):
                synopsis = synopsis.replace("\\_", "_")
                table[synopsis.split()[0]] = arity(synopsis)
    return table


def lines_of(path):
    """(line number, words) per logical line, split as init's tokenizer
    splits: whitespace between words, double quotes keeping spaces, a
    backslash escaping the next character (at a line end: the line goes on),
    and '#' where a word may begin opening a comment to the line's end."""
    text = sepolicy.read(path)
    out, words, word, number, i, start = [], [], None, 1, 0, 1
    quoted = False
    while i <= len(text):
        c = text[i] if i < len(text) else "\n"
        i += 1
        if c == "\\" and i < len(text):
            nxt = text[i]
            i += 1
            if nxt == "\n":
                number += 1
                continue
            word = (word or "") + {"n": "\n", "t": "\t", "r": "\r"}.get(nxt, nxt)
        elif quoted:
            if c == '"':
                quoted = False
            else:
                word = (word or "") + c
                number += c == "\n"
        elif c == '"':
            quoted, word = True, word or ""
        elif c == "#" and word is None:
            while i < len(text) and text[i] != "\n":
                i += 1
        elif c in " \t\r\n":
            if word is not None:
                words.append(word)
                word = None
            if c == "\n":
                if words:
                    out.append((start, words))
                words = []
                number += 1
                start = number
        else:
            word = (word or "") + c
    return out


def sections(path):
    """[(keyword, args, line, [(line, words)])] for each section of an .rc."""
    found = []
    for number, words in lines_of(path):
        if words[0] in ("service", "on", "import"):
            found.append((words[0], words[1:], number, []))
        elif found:
            found[-1][3].append((number, words))
        else:
            found.append((None, [], number, [(number, words)]))
    return found


def trigger_problem(args):
    if not args:
        return "'on' needs a trigger"
    parts = " ".join(args).split("&&")
    events = []
    for part in (p.strip() for p in parts):
        if not part:
            return "an empty trigger around '&&'"
        if part.startswith("property:"):
            if not re.fullmatch(r"property:[^=\s]+=\S+", part):
                return f"'{part}' is not property:<name>=<value>"
        elif re.fullmatch(r"[A-Za-z0-9_.-]+", part):
            events.append(part)
        else:
            return f"'{part}' is neither an event nor a property trigger"
    if len(events) > 1:
        return f"two event triggers ({' and '.join(events)}); an action may have one"
    return None


class Platform:
    """What the platform's init.rc files start, and when."""

    def __init__(self, aosp):
        self.services, self.starts, actions = set(), {}, []
        for rc in INIT_RC:
            for keyword, args, _, body in sections(os.path.join(aosp, rc)):
                if keyword == "service" and args:
                    self.services.add(args[0])
                elif keyword == "on":
                    event = next((p.strip() for p in " ".join(args).split("&&")
                                  if not p.strip().startswith("property:")), None)
                    actions.append((event, body))
        late_init = [w[1] for e, body in actions if e == "late-init" for _, w in body if w[0] == "trigger"]
        self.order = BUILTIN_TRIGGERS + late_init
        self.persist_loaded = None
        for event, body in actions:
            for _, words in body:
                if words[0] == "load_persist_props":
                    self.persist_loaded = event
                if words[0] == "class_start" and len(words) > 1 and event:
                    self.starts.setdefault(words[1], []).append(event)

    def class_problem(self, name):
        events = self.starts.get(name)
        if not events:
            return f"class {name} is started by none of {', '.join(INIT_RC)}"
        if events == ["charger"]:
            return f"class {name} is started in charger mode only"
        if self.persist_loaded in self.order:
            limit = self.order.index(self.persist_loaded)
            early = [e for e in events if e in self.order and self.order.index(e) <= limit]
            if early:
                return (f"class {name} starts on {early[0]}, before the persistent properties are loaded "
                        f"({self.persist_loaded})")
        return None


def user_names(aosp, config_fs):
    aids = sepolicy.read(os.path.join(aosp, AIDS))
    ids = {m.lower(): int(v) for m, v in re.findall(r"(?m)^#define AID_(\w+)\s+(\d+)", aids)
           if not NOT_USERS.fullmatch(m)}
    for path in config_fs:
        for m, v in re.findall(r"(?ms)^\[AID_(\w+)\]\s*\nvalue:\s*(\d+)", sepolicy.read(path)):
            ids[m.lower()] = int(v)
    return ids


def check_service(name, path, body, where, ctx):
    problems = []
    opts = {}
    for number, words in body:
        opts.setdefault(words[0], []).append((number, words[1:]))
    if path != ctx["binary"]:
        problems.append(f"{where}: service {name} runs {path}, but Android.bp installs the daemon with this "
                        f"file as {ctx['binary']}")
    for flag, why in (("disabled", "init would never start it at boot"),
                      ("oneshot", "init would not start it again when it exits")):
        if flag in opts:
            problems.append(f"{ctx['rc']}:{opts[flag][0][0]}: {flag}: {why}")
    classes = [c for _, args in opts.get("class", []) for c in args]
    if not classes:
        problems.append(f"{where}: no class: the service would be in class default, which init.rc never starts")
    problems += [f"{where}: {p}" for p in (ctx["platform"].class_problem(c) for c in classes) if p]
    ids = ctx["ids"]
    users = [a for _, args in opts.get("user", []) for a in args]
    if not users:
        problems.append(f"{where}: no user: init would run it as root")
    for u in users:
        if u not in ids and not u.isdigit():
            problems.append(f"{where}: no user '{u}' ({AIDS} or a config.fs)")
        elif ids.get(u, int(u) if u.isdigit() else None) == 0:
            problems.append(f"{where}: user {u}: the daemon must not run as root")
    groups = [g for _, args in opts.get("group", []) for g in args]
    problems += [f"{where}: no group '{g}' ({AIDS} or a config.fs)" for g in groups
                 if g not in ids and not g.isdigit()]
    problems += [f"{where}: not in group {g}, which android/accesses needs" for g in sorted(ctx["groups"])
                 if g not in groups]
    caps = {c for _, args in opts.get("capabilities", []) for c in args}
    problems += [f"{where}: no capability CAP_{c}" for c in sorted(caps - ctx["caps_known"])]
    seclabel = [args[0] for _, args in opts.get("seclabel", []) if args]
    if seclabel:
        domain = access.context_type(seclabel[0])
        why = ctx["policy"].check_type(domain, "domain") if domain else f"bad context {seclabel[0]}"
        if why:
            problems.append(f"{where}: seclabel {seclabel[0]}: {why}")
            domain = None
    else:
        label = access.file_label(ctx["labels"], path, "file")
        domain = ctx["policy"].transitions.get(label)
        if label is None:
            problems.append(f"{where}: {path} has no entry in {' '.join(ctx['contexts'])}: init refuses to start {name}")
        elif domain is None:
            problems.append(f"{where}: no domain transition from init for {path} ({label}): init refuses to start {name}")
    if domain:
        granted = {p.upper() for tgt, cls, perms in access.allow_rules(ctx["policy"], domain)
                   if cls == "capability" and tgt == domain for p in perms}
        if caps != ctx["caps"]:
            problems.append(f"{where}: capabilities {' '.join(sorted(caps)) or '(none)'}; android/accesses needs "
                            f"{' '.join(sorted(ctx['caps'])) or 'none'}")
        elif caps != granted:
            problems.append(f"{where}: capabilities {' '.join(sorted(caps)) or '(none)'}, but the policy grants "
                            f"{domain} {' '.join(sorted(granted)) or 'none'}")
    if "gentle_kill" in opts:
        problems.append(f"{ctx['rc']}:{opts['gentle_kill'][0][0]}: gentle_kill: init's stop would hold its main loop "
                        f"200 ms after SIGTERM, where {name}'s ctl.stop writes wait, then kill it")
    summary = f"service {name} ({path}): class {' '.join(classes)}, user {' '.join(users)}, group {' '.join(groups)}" \
              f", capabilities {' '.join(sorted(caps)) or 'none'}, domain {domain}"
    return problems, summary


def stop_problems(rc, parsed, name, own_services):
    """The daemon's own services that no action on its init.svc.NAME=stopped stops."""
    stopped = {w[1] for keyword, args, _, body in parsed if keyword == "on" and args == [f"property:init.svc.{name}=stopped"]
               for _, w in body if w[0] == "stop" and len(w) > 1}
    return [f"{rc}: no 'stop {s}' on property:init.svc.{name}=stopped: init's stop of {name} would leave {s} running"
            for s in sorted(own_services - stopped)]


def main():
    (root, aosp, conf, _binary, rc), extra = sepolicy.arguments(
        sys.argv[1:], 5, ["--own", "--config-fs"], __doc__)
    contexts = sepolicy.contexts_files(extra["--own"], "file_contexts")
    readme = sepolicy.read(os.path.join(aosp, README))
    options = synopses(readme, "Options", "Triggers")
    commands = synopses(readme, "Commands", "Imports")
    # "onrestart" is documented without a synopsis: it runs the command that follows.
    options["onrestart"] = (1, MANY)
    lines = access.read_manifest(root)
    caps, groups = access.rc_needs(lines)
    access.resolve_names(root, lines)
    own_services = {l.args[0] if l.kind == "signal" else l.args[1] for l in lines if l.kind in ("signal", "ctl")}
    labels = [w for _, _, w in sepolicy.entries(contexts) if len(w) >= 2]
    installed = blueprint.installed_binary(blueprint.modules(os.path.join(root, "Android.bp")), os.path.basename(rc))
    ctx = {
        "rc": rc, "binary": installed[1], "platform": Platform(aosp), "ids": user_names(aosp, extra["--config-fs"]),
        "caps": caps, "groups": groups, "policy": sepolicy.Policy(conf), "labels": labels,
        "contexts": contexts,
        "caps_known": set(re.findall(r"(?m)^#define CAP_(\w+)\s+\d+",
                                     sepolicy.read(os.path.join(aosp, CAPS)))) - {"LAST_CAP"},
    }
    if ctx["binary"] is None:
        sys.exit(f"Android.bp: no cc_binary installs {os.path.basename(rc)} (init_rc)")

    problems, services, said = [], [], []
    parsed = sections(rc)
    for keyword, args_, number, body in parsed:
        where = f"{rc}:{number}"
        if keyword is None:
            problems.append(f"{where}: '{body[0][1][0]}' outside any section (init ignores it)")
            continue
        if keyword == "import":
            if len(args_) != 1:
                problems.append(f"{where}: import takes one path")
            problems += [f"{rc}:{n}: '{w[0]}' follows an import, not a service or action" for n, w in body]
            continue
        if keyword == "on":
            why = trigger_problem(args_)
            if why:
                problems.append(f"{where}: {why}")
        elif len(args_) < 2:
            problems.append(f"{where}: service needs a name and a path")
            continue
        elif args_[0] in services:
            problems.append(f"{where}: service {args_[0]} is defined twice; init ignores the second")
        else:
            services.append(args_[0])
        table, kind = (options, "service option") if keyword == "service" else (commands, "command")
        for n, words in body:
            if words[0] not in table:
                problems.append(f"{rc}:{n}: unknown {kind} '{words[0]}'")
                continue
            low, high = table[words[0]]
            if not low <= len(words) - 1 <= high:
                count = f"{low}" if low == high else f"{low} to {'any number' if high == MANY else high}"
                problems.append(f"{rc}:{n}: {words[0]} takes {count} arguments, not {len(words) - 1}")
        if keyword == "service":
            p, s = check_service(args_[0], args_[1], body, where, ctx)
            problems += p
            said.append(s)
    known = set(services) | ctx["platform"].services | own_services
    for keyword, _, _, body in parsed:
        if keyword == "on":
            problems += [f"{rc}:{n}: {w[0]} {w[1]}: no such service (here, in init.rc or the daemon's)"
                         for n, w in body if w[0] in SERVICE_COMMANDS and len(w) > 1 and w[1] not in known]
    if not services:
        problems.append(f"{rc}: no service")
    for name in services:
        problems += stop_problems(rc, parsed, name, own_services)
    if problems:
        sepolicy.fail("\n".join(problems))
    print("; ".join(said) + "; " + ", ".join(f"stop {s}" for s in sorted(own_services)) + " when it stops")


if __name__ == "__main__":
    main()
