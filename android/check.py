"""drovik checked against the Android platform it ships in, offline, the way
the platform's build and a device check it. Usage:

  android/check.sh [--partition all|system_ext|vendor] [OPTIONS] [AOSP_ROOT]
  android/check.sh --self-test [AOSP_ROOT]

AOSP_ROOT is the top of an AOSP checkout, or a trimmed copy laid out like
one (default: ../shared/aosp beside the repository). --partition picks the
install: system_ext (drovik.rc, sepolicy/private), vendor (drovik-vendor.rc,
sepolicy/vendor) or both (all, the default), each checked on its own where
it differs. One line per check, in this order:

{checks}

OPTIONS:
  --device DIR        the device's policy for mulgate and sprue (default
                      android/device, a stand-in written as docs/android.md
                      tells integrators); give the real one to check it
  --device-vendor DIR the device's lines for a vendor install of drovik
                      (default android/device/vendor_install): its services'
                      domains in drovik's attributes
  --config-fs FILE    the device's config.fs, for users and groups of its own
  --with-source FILE  one more source compiled and linked with the daemon
  --only CHECK,...    run these checks only
  --no-cache          check everything again; otherwise compiles go through
                      ccache and checkpolicy's, secilc's and sesearch's
                      answers are kept for inputs seen before (in
                      build-android/, or DROVIK_ANDROID_CACHE)
--self-test runs the check on a broken copy of the pack for every rule
(tests/android/fixtures), each of which must fail. DROVIK_KEEP_WORK=1 keeps
the work folder. Needs Debian's
  {packages}
and installs the missing ones (as root). Exits 1 when a check fails, 2 on a
missing tool, tree path or bad argument.
"""
import argparse
import concurrent.futures
import functools
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time

import blueprint

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HERE = os.path.join(ROOT, "android")
PYTHON = "/usr/bin/python3"
# sigwaitinfo and stdout, which the daemon uses, arrived in API 23.
MIN_API = 23
TOP_API = 34
# The daemon's domain in both policies.
DOMAIN = "drovik"
# Each tool the checks run, and its Debian package.
TOOLS = {"clang": "clang", "clang++": "clang", "ld.lld": "lld", "ccache": "ccache", "m4": "m4",
         "checkpolicy": "checkpolicy", "secilc": "secilc", "sesearch": "setools", "seinfo": "setools",
         "python3": "python3"}
MODULES = {"selinux.audit2why": "python3-selinux", "setools": "python3-setools"}
INCLUDES = ["bionic/libc/include", "bionic/libc/kernel/uapi", "bionic/libc/kernel/uapi/asm-arm64",
            "bionic/libc/kernel/android/uapi", "system/logging/liblog/include", "system/core/libcutils/include"]
MAPS = ["bionic/libc/libc.map.txt", "bionic/libm/libm.map.txt", "bionic/libdl/libdl.map.txt",
        "system/logging/liblog/liblog.map.txt"]
# libcutils has no symbol map in the tree: its stub holds the calls the daemon
# makes, each checked against the tree's header.
CUTILS_CALLS = ["property_get", "property_set"]
CUTILS_HEADER = "system/core/libcutils/include/cutils/properties.h"
TREE_PATHS = ["system/core/libcutils/include/private/android_filesystem_config.h",
              "bionic/libc/kernel/uapi/linux/capability.h", "system/core/init/README.md",
              "system/core/rootdir/init.rc", "system/core/rootdir/init.usb.rc", "system/sepolicy/public",
              "system/sepolicy/private", "system/sepolicy/vendor", "system/sepolicy/flagging/te_macros",
              "system/sepolicy/flagging/Android.bp", "system/sepolicy/build/soong/policy.go",
              "system/sepolicy/build/soong/selinux_contexts.go", "system/sepolicy/tests/check_prop_prefix.py",
              *INCLUDES, *MAPS, CUTILS_HEADER]
# The NDK build's property calls, which take the project's stand-in for
# libcutils' header (ndk_header_check.cpp holds it to the tree's), compiled
# with each module's sources and those named with --with-source.
NDK_SOURCES = ["platform/ndk/properties.cpp", "android/ndk_header_check.cpp"]
# The platform build's own error flags and code generation (Soong's global
# flags); the module's own come from Android.bp.
PLATFORM_FLAGS = ["-Werror=date-time", "-Werror=format-security", "-Werror=return-type", "-Werror=int-conversion",
                  "-Werror=address", "-Werror=non-virtual-dtor", "-Werror=sequence-point",
                  "-Werror=string-plus-int", "-fno-exceptions", "-fno-rtti", "-O2", "-D_FORTIFY_SOURCE=2",
                  "-fstack-protector-strong", "-fPIE", "-ffunction-sections", "-fdata-sections"]
JOBS = 2


class Setup:
    """What every check is given besides its install: the tree, the device's
    files and the extra sources given, the run's work folder and whether
    tools keep their answers (the pack itself is ROOT)."""

    def __init__(self, args, aosp, work):
        self.aosp = aosp
        self.work = work
        self.device = args.device
        self.device_vendor = args.device_vendor
        self.config_fs = args.config_fs
        self.with_sources = args.with_source
        self.cache = args.cache


class Install:
    """One install of drovik: its .rc, its policy folders, and its policy
    (drovik's and the device's inside the platform's) built once, as
    policy.conf and as a binary policy, for the checks that read it."""

    def __init__(self, setup, partition):
        self.partition = partition
        self.work = os.path.join(setup.work, partition)
        os.makedirs(self.work, exist_ok=True)
        if partition == "system_ext":
            self.own_policy = ["sepolicy/private"]
            self.places = ["--system-ext-private", "sepolicy/private"]
            if os.path.isdir(os.path.join(ROOT, "sepolicy/public")):
                self.own_policy.append("sepolicy/public")
                self.places += ["--system-ext-public", "sepolicy/public"]
            self.rc = "drovik.rc"
        else:
            self.own_policy = ["sepolicy/vendor"]
            self.places = ["--vendor", "sepolicy/vendor"]
            self.rc = "drovik-vendor.rc"
        self.places += ["--vendor", setup.device]
        if partition != "system_ext":
            self.places += ["--vendor", setup.device_vendor]
        self.own_args = [a for d in self.own_policy for a in ("--own", d)]
        self.conf = os.path.join(self.work, "policy", "policy.conf")
        self.binary = os.path.join(self.work, "policy", "policy.bin")
        self.built = None
        self.build_log = ""
        self.jobs = {}

    def policy(self, setup):
        """Whether the install's policy builds; its log in build_log."""
        if self.built is None:
            os.makedirs(os.path.dirname(self.conf), exist_ok=True)
            status, self.build_log = run([PYTHON, f"{HERE}/sepolicy.py", "build", setup.aosp,
                                          os.path.dirname(self.conf), *self.places])
            self.built = status == 0
        return self.built


class Result:
    def __init__(self, ok, summary, log=""):
        self.ok, self.summary, self.log = ok, summary, log


def run(command, **kwargs):
    """(exit status, stdout and stderr together) of a command run from ROOT."""
    r = subprocess.run(command, cwd=kwargs.pop("cwd", ROOT), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, **kwargs)
    return r.returncode, r.stdout


def helper(summary, command):
    """A helper's answer: its last line is the summary of a check that passes,
    its whole output the log of one that fails."""
    status, out = run(command)
    if status == 0:
        return [Result(True, out.rstrip().split("\n")[-1])]
    return [Result(False, summary, out)]


def background(install, name, command):
    install.jobs[name] = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                          text=True)


def finished(install, name):
    job = install.jobs.pop(name)
    out, _ = job.communicate()
    return job.returncode, out


# --- the checks: each takes what it needs and gives its result lines -----

def check_platform(setup, install):
    """the oldest platform the install works on (the sources' API level, every
    option of its .rc, its partition's policy features), and a tree at least
    that old; nothing else is checked against an older one"""
    return helper(f"the tree against the {install.partition} install's oldest platform",
                  [PYTHON, f"{HERE}/oldest.py", ROOT, setup.aosp, install.partition, install.rc, str(MIN_API)])


@functools.cache
def resource_dir():
    """The clang on PATH's own folder (its headers), or "" without one."""
    status, resource = run(["clang++", "-print-resource-dir"])
    return resource.strip() if status == 0 else ""


def libcxx_dir():
    """Where Debian's libc++ headers are for the clang on PATH."""
    # /usr/lib/llvm-N/lib/clang/X -> /usr/lib/llvm-N/include/c++/v1
    return resource_dir().rsplit("/lib/clang/", 1)[0] + "/include/c++/v1" if resource_dir() else ""


def compile_env(setup):
    """ccache's settings: keyed on the preprocessed source, flags and
    compiler; paths inside the pack written relative to the work folder, so
    that a copy of the pack (the self-test's) takes the same results."""
    env = dict(os.environ)
    if setup.cache:
        env.update(CCACHE_DIR=os.path.join(os.environ["DROVIK_ANDROID_CACHE"], "ccache"), CCACHE_BASEDIR=ROOT,
                   CCACHE_NOHASHDIR="1", CCACHE_MAXSIZE="200M")
    else:
        env.update(CCACHE_DISABLE="1")
    return env


def module_flags(setup, name, module):
    """What Android.bp gives the module's compile: its C++ standard, cflags and
    cppflags, its include folders and those of its generated headers (each
    genrule run into a folder of its own); (flags, problem)."""
    flags = [f"-std={module['cpp_std']}"] if module["cpp_std"] else []
    flags += module["cflags"] + module["cppflags"]
    flags += [f for d in module["local_include_dirs"] for f in ("-I", os.path.join(ROOT, d))]
    for rule in module["generated_headers"]:
        out = os.path.join(setup.work, "gen", rule)
        if not os.path.isdir(out):
            status, log = run([PYTHON, f"{HERE}/soong.py", "genrule", ROOT, rule, out])
            if status != 0:
                return None, log
        flags += ["-I", out]
    return flags, ""


def compile_api(setup, name, module, flags, api):
    """Every source of the module for one API level, into work/obj<API>/MODULE."""
    out = os.path.join(setup.work, f"obj{api}", name)
    os.makedirs(out, exist_ok=True)
    base = ["ccache", "clang++", f"--target=aarch64-linux-android{api}", "-nostdinc", "-nostdinc++",
            "-isystem", libcxx_dir(), "-isystem", resource_dir() + "/include"]
    base += [f for d in INCLUDES for f in ("-isystem", os.path.join(setup.aosp, d))] + PLATFORM_FLAGS + flags
    sources = module["srcs"] + setup.with_sources + NDK_SOURCES
    env = compile_env(setup)

    def one(src):
        extra = ["-I", os.path.join(ROOT, "platform/include")] if src == "platform/ndk/properties.cpp" else []
        obj = os.path.join(out, os.path.basename(src).rsplit(".", 1)[0] + ".o")
        return src, run(base + extra + ["-c", os.path.abspath(os.path.join(ROOT, src)), "-o", obj],
                        cwd=setup.work, env=env)

    with concurrent.futures.ThreadPoolExecutor(JOBS) as pool:
        done = list(pool.map(one, sources))
    failed = [src for src, (status, _) in done if status != 0]
    log = "".join(log for _, (_, log) in done)
    if failed:
        return Result(False, f"{name}, API {api}: {len(failed)} of {len(sources)} sources fail: {' '.join(failed)}",
                      log)
    return Result(True, f"{name}, API {api}: {len(sources)} sources (Android.bp's and platform/ndk/)")


def read_modules(root):
    """(cc_binary modules of Android.bp as the device builds them, problem)."""
    try:
        return blueprint.build_inputs(root, os.path.join(root, "Android.bp")), ""
    except blueprint.Error as e:
        return {}, str(e)


def check_compile(setup, _):
    """each cc_binary of Android.bp for aarch64-linux-android at API {MIN_API} and {TOP_API}, with its own sources,
    flags, include folders and generated headers: clang with the platform build's error flags, -nostdinc against
    the tree's bionic, liblog and libcutils headers"""
    modules, problem = read_modules(ROOT)
    if problem:
        return [Result(False, "Android.bp cannot be read", problem)]
    results = []
    for name, module in modules.items():
        flags, log = module_flags(setup, name, module)
        if flags is None:
            results.append(Result(False, f"{name}: its generated headers were not made", log))
            continue
        results += [compile_api(setup, name, module, flags, api) for api in (MIN_API, TOP_API)]
    return results


def make_stubs(setup, stubs):
    """Stub libraries for MIN_API, as the NDK makes them from the maps, and the
    link's stand-ins; (ok, log)."""
    os.makedirs(stubs, exist_ok=True)
    target = f"--target=aarch64-linux-android{MIN_API}"
    for path in MAPS:
        lib = os.path.basename(path)[:-len(".map.txt")]
        c, vers = os.path.join(stubs, f"{lib}.c"), os.path.join(stubs, f"{lib}.vers")
        for command in ([PYTHON, f"{HERE}/stubgen.py", os.path.join(setup.aosp, path), str(MIN_API), c, vers],
                        ["clang", target, "-fno-builtin", "-w", "-nostdlib", "-shared", "-fuse-ld=lld",
                         f"-Wl,--version-script={vers}", f"-Wl,-soname,{lib}.so", c, "-o", f"{stubs}/{lib}.so"]):
            status, log = run(command)
            if status != 0:
                return False, log
    with open(os.path.join(setup.aosp, CUTILS_HEADER)) as f:
        header = f.read()
    for call in CUTILS_CALLS:
        if f" {call}(" not in header and f"*{call}(" not in header:
            return False, f"{CUTILS_HEADER} declares no {call}"
    with open(os.path.join(stubs, "libcutils.c"), "w") as f:
        f.write("".join(f"void {call}(void) {{}}\n" for call in CUTILS_CALLS))
    for command in (["clang", target, "-fno-builtin", "-w", "-nostdlib", "-shared", "-fuse-ld=lld",
                     "-Wl,-soname,libcutils.so", f"{stubs}/libcutils.c", "-o", f"{stubs}/libcutils.so"],
                    ["clang", target, "-fPIE", "-O2", "-Wall", "-Wextra", "-Werror", "-c",
                     f"{HERE}/link_standins.c", "-o", f"{stubs}/standins.o"]):
        status, log = run(command)
        if status != 0:
            return False, log
    return True, ""


def link_one(setup, stubs, out, objects, libs):
    """(status, log) of one link; undefined symbols are looked up in the maps,
    to show the API level that brought them."""
    status, log = run(["clang++", f"--target=aarch64-linux-android{MIN_API}", "-fuse-ld=lld", "-nostdlib", "-pie",
                       "-Wl,--dynamic-linker=/system/bin/linker64", "-Wl,-z,relro,-z,now", "-Wl,--gc-sections",
                       "-Wl,--trace-symbol=__emutls_get_address", f"{stubs}/standins.o", *objects, f"-L{stubs}",
                       *libs, "-o", out])
    undefined = sorted({line.split("undefined symbol: ", 1)[1] for line in log.split("\n")
                        if "undefined symbol: " in line})
    for sym in undefined:
        if "::" in sym or sym.startswith("operator"):
            log += f"{sym}: the C++ runtime, which is not in the tree and which the daemon does not link\n"
        elif sym in CUTILS_CALLS:
            log += f"{sym}: libcutils\n"
        else:
            log += run([PYTHON, f"{HERE}/stubgen.py", "--explain", str(MIN_API), sym, *MAPS], cwd=setup.aosp)[1]
    return status, log


def check_link(setup, _):
    """each cc_binary of Android.bp with its own objects and shared_libs, as the platform builds it, and the daemon
    as the NDK build does (platform/ndk, no libcutils), against stub libraries made from the tree's symbol maps for
    API {MIN_API} as the NDK makes them"""
    modules, _ = read_modules(ROOT)
    if not modules or not os.path.isdir(os.path.join(setup.work, f"obj{MIN_API}")):
        return [Result(False, "not checked: the compile did not run (--only compile,link)")]
    stubs = os.path.join(setup.work, "stubs")
    ok, log = make_stubs(setup, stubs)
    if not ok:
        return [Result(False, f"API {MIN_API}: the stub libraries did not build", log)]
    results = []
    for name, module in modules.items():
        objs = os.path.join(setup.work, f"obj{MIN_API}", name)
        sources = module["srcs"] + setup.with_sources
        objects = [os.path.join(objs, os.path.basename(s).rsplit(".", 1)[0] + ".o") for s in sources]
        if not all(os.path.exists(o) for o in objects + [f"{objs}/properties.o"]):
            results.append(Result(False, f"{name}, API {MIN_API}: not linked, some sources did not compile"))
            continue
        libs = ["libc", "libm", "libdl", *module["shared_libs"]]
        s1, log1 = link_one(setup, stubs, os.path.join(setup.work, name), objects,
                            [f"-l{lib[3:]}" for lib in libs])
        s2, log2 = link_one(setup, stubs, os.path.join(setup.work, f"{name}-ndk"), objects + [f"{objs}/properties.o"],
                            ["-lc", "-lm", "-ldl", "-llog"])
        if s1 == 0 and s2 == 0:
            runtime = "; compiler runtime: __emutls_get_address (thread_local below API 29)" \
                if "reference to __emutls_get_address" in log1 + log2 else ""
            results.append(Result(True, f"{name}, API {MIN_API}: with {' '.join(libs)}, and as the NDK build without "
                                        f"libcutils; no C++ runtime{runtime}"))
            continue
        # Both builds share every source but one: show the NDK build's messages
        # only where they differ.
        err1, err2 = ("\n".join(l for l in log.split("\n") if "reference to" not in l and "definition of" not in l)
                      for log in (log1, log2))
        if s1 and s2 and [l for l in err1.split("\n") if "undefined symbol" in l] == \
                [l for l in err2.split("\n") if "undefined symbol" in l]:
            log = err1 + "\n(the NDK build fails the same way)"
        else:
            log = err1 + "\n" + err2
        which = " and ".join(w for w, s in ((f"the platform build ({' '.join(libs)})", s1), ("the NDK build", s2)) if s)
        results.append(Result(False, f"{name}, API {MIN_API}: {which} did not link", log))
    return results


def check_soong(_setup, _):
    """Android.bp's sources (comments ignored), its build-time genrule run as in a build sandbox (hermetic, the
    release's time, the daemon's version) and TEST_MAPPING"""
    return helper("Android.bp, android/release, TEST_MAPPING", [PYTHON, f"{HERE}/soong.py", ROOT])


def placed(setup, install):
    text = f"{' '.join(install.own_policy)} and the device's {os.path.relpath(setup.device, ROOT)}"
    if install.partition != "system_ext":
        text += f" with {os.path.relpath(setup.device_vendor, ROOT)}"
    return text


def start_policy(_setup, install):
    background(install, "policy", [PYTHON, f"{HERE}/sepolicy.py", "neverallow", os.path.dirname(install.conf)])


def check_policy(setup, install):
    """the platform's monolithic SELinux policy with drovik's and the device's inside, built as the platform builds
    it (m4, checkpolicy): syntax, declarations, macros, every neverallow rule"""
    status, log = finished(install, "policy")
    summary = f"platform policy with {placed(setup, install)}"
    if status != 0:
        return [Result(False, summary, log)]
    return [Result(True, f"{summary}: {install.build_log.rstrip().split(chr(10))[-1]}, "
                         f"{log.rstrip().split(chr(10))[-1]}")]


def start_partition(setup, install):
    out = os.path.join(install.work, "partition")
    os.makedirs(out, exist_ok=True)
    background(install, "partition", [PYTHON, f"{HERE}/sepolicy.py", "partition", setup.aosp, out, *install.places])


def check_partition(setup, install):
    """the device's vendor policy as the platform builds it (against the public policy alone, to CIL) and as init
    boots it (secilc), with drovik's system_ext and with a generic system image's"""
    status, log = finished(install, "partition")
    if status == 0:
        return [Result(True, log.rstrip().split("\n")[-1])]
    return [Result(False, f"the vendor policy ({' '.join(install.own_policy)} on {install.partition}, the device's "
                          f"{os.path.relpath(setup.device, ROOT)})", log)]


def check_access(setup, install):
    """every access of android/accesses (names from the daemon's sources) as the kernel decides it against the built
    policy (audit2why: rules and MLS constraints) and whether a refusal is logged (dontaudit): allowed, or refused
    unlogged where a line says so"""
    return helper(f"android/accesses against the {install.partition} policy",
                  [PYTHON, f"{HERE}/access.py", ROOT, setup.aosp, install.conf, install.binary, install.partition,
                   DOMAIN, *install.own_args, "--device", setup.device])


def check_contexts(setup, install):
    """file_contexts and property_contexts: syntax and declared types; drovik's own label exactly its executable and
    the properties the daemon uses, with types of its own, and nothing the platform labels"""
    return helper("file_contexts and property_contexts",
                  [PYTHON, f"{HERE}/contexts.py", ROOT, setup.aosp, install.conf, install.partition, install.rc,
                   *install.own_args, "--device", setup.device, "--domain", DOMAIN])


def check_namespace(setup, install):
    """the platform's property-namespace rule for the partition, through the tree's own check_prop_prefix.py"""
    runs = [[PYTHON, f"{HERE}/sepolicy.py", "namespace", setup.aosp, install.partition, *install.own_policy]]
    if os.path.isfile(os.path.join(setup.device, "property_contexts")):
        runs.append([PYTHON, f"{HERE}/sepolicy.py", "namespace", setup.aosp, "vendor", setup.device])
    answers = [run(command) for command in runs]
    log = "".join(out for _, out in answers)
    if all(status == 0 for status, _ in answers):
        return [Result(True, "; ".join(log.rstrip().split("\n")))]
    return [Result(False, f"property names and labels for {install.partition} and the device (vendor)", log)]


def check_init(setup, install):
    """the .rc file as init reads it (README.md) and what it means: the installed executable, a class started after
    the persistent properties, no disabled or oneshot, users, groups and capabilities as android/accesses and the
    policy need, the domain init enters, no gentle_kill and a trigger on its stopped state that stops mulgate and
    sprue"""
    config_fs = [a for f in setup.config_fs for a in ("--config-fs", f)]
    return helper(install.rc, [PYTHON, f"{HERE}/rc_check.py", ROOT, setup.aosp, install.conf, install.binary,
                               install.rc, *install.own_args, *config_fs])


class Check:
    def __init__(self, name, check, per_install=False, needs_policy=False, start=None):
        self.name, self.check, self.start = name, check, start
        self.per_install = per_install or needs_policy
        self.needs_policy = needs_policy


CHECKS = [
    Check("platform", check_platform, per_install=True),
    Check("compile", check_compile),
    Check("link", check_link),
    Check("soong", check_soong),
    Check("policy", check_policy, needs_policy=True, start=start_policy),
    Check("partition", check_partition, per_install=True, start=start_partition),
    Check("access", check_access, needs_policy=True),
    Check("contexts", check_contexts, needs_policy=True),
    Check("namespace", check_namespace, per_install=True),
    Check("init", check_init, needs_policy=True),
]
NAMES = [c.name for c in CHECKS]

# --- the driver ----------------------------------------------------------


def usage_text():
    lines = []
    for c in CHECKS:
        doc = " ".join(c.check.__doc__.split()).format(MIN_API=MIN_API, TOP_API=TOP_API)
        wrapped = textwrap.wrap(doc, 62)
        lines.append(f"  {c.name:<10} {wrapped[0]}")
        lines += [f"             {w}" for w in wrapped[1:]]
    packages = sorted(set(TOOLS.values()) | set(MODULES.values()) | {"libc++-dev"})
    return __doc__.format(checks="\n".join(lines), packages=" ".join(packages))


def missing_packages():
    missing = {pkg for tool, pkg in TOOLS.items() if not shutil.which(tool)}
    for module, pkg in MODULES.items():
        if run([PYTHON, "-c", f"import {module}"])[0] != 0:
            missing.add(pkg)
    if shutil.which("clang++") and not os.path.isfile(os.path.join(libcxx_dir(), "__config")):
        missing.add("libc++-dev")
    return sorted(missing)


def install_packages():
    """Whether every tool is there, after installing what is missing (as root)."""
    missing = missing_packages()
    if not missing:
        return True
    if os.geteuid() != 0:
        print(f"android-check: missing Debian packages: {' '.join(missing)} (run as root to install them)",
              file=sys.stderr)
        return False
    print(f"android-check: installing {' '.join(missing)}", flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], env=env)
    subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing], env=env,
                   stdout=subprocess.DEVNULL)
    missing = missing_packages()
    if missing:
        print(f"android-check: still missing after installing: {' '.join(missing)}", file=sys.stderr)
    return not missing


def parse_args():
    class Usage(argparse.ArgumentParser):
        def error(self, message):
            print(f"android-check: {message} (--help: usage)", file=sys.stderr)
            sys.exit(2)

    def existing(path):
        if not os.path.exists(path):
            raise argparse.ArgumentTypeError(f"{path}: no such file or folder")
        return os.path.realpath(path)

    p = Usage(add_help=False)
    p.add_argument("--partition", choices=["all", "system_ext", "vendor"], default="all")
    p.add_argument("--device", type=existing, default=os.path.join(HERE, "device"))
    p.add_argument("--device-vendor", type=existing, default=os.path.join(HERE, "device", "vendor_install"))
    p.add_argument("--config-fs", type=existing, action="append", default=[])
    p.add_argument("--with-source", type=existing, action="append", default=[])
    p.add_argument("--only", default="")
    p.add_argument("--self-test", action="store_true")
    p.add_argument("--no-cache", dest="cache", action="store_false")
    p.add_argument("-h", "--help", action="store_true")
    p.add_argument("aosp", nargs="?", default=os.path.join(ROOT, "..", "shared", "aosp"))
    args = p.parse_args()
    if args.help:
        print(usage_text())
        sys.exit(2)
    # Sources are named as Android.bp names them: from the top of the pack.
    args.with_source = [os.path.relpath(s, ROOT) for s in args.with_source]
    return args


def main():
    args = parse_args()
    selected = [n for n in args.only.replace(",", " ").split()] or NAMES
    for name in selected:
        if name not in NAMES:
            print(f"android-check: no check '{name}' ({' '.join(NAMES)})", file=sys.stderr)
            sys.exit(2)
    if not os.path.isdir(args.aosp):
        print(f"android-check: no AOSP tree at {args.aosp} (give the root of an AOSP checkout)", file=sys.stderr)
        sys.exit(2)
    aosp = os.path.realpath(args.aosp)
    if not install_packages():
        sys.exit(2)
    missing = [p for p in TREE_PATHS if not os.path.exists(os.path.join(aosp, p))]
    if missing:
        print(f"android-check: missing in the AOSP tree {aosp}:", file=sys.stderr)
        print("".join(f"    {p}\n" for p in missing), end="", file=sys.stderr)
        sys.exit(2)
    # What the tools keep for the next run, each keyed on all it depends on, so
    # that any run may take any other's: the self-test's copies take the tree's.
    if args.cache:
        os.environ.setdefault("DROVIK_ANDROID_CACHE", os.path.join(ROOT, "build-android"))
        os.makedirs(os.environ["DROVIK_ANDROID_CACHE"], exist_ok=True)
    else:
        os.environ.pop("DROVIK_ANDROID_CACHE", None)
    if args.self_test:
        os.execv(PYTHON, [PYTHON, os.path.join(ROOT, "tests", "android", "self_test.py"), aosp, *NAMES])

    # The work folder lies inside the pack, so that ccache sees the same
    # relative paths from every run and every copy of the pack.
    os.makedirs(os.path.join(ROOT, "build-android"), exist_ok=True)
    work = tempfile.mkdtemp(prefix="work.", dir=os.path.join(ROOT, "build-android"))
    keep = bool(os.environ.get("DROVIK_KEEP_WORK"))
    if keep:
        print(f"android-check: work folder {work}")
    try:
        sys.exit(0 if check(args, aosp, work, selected) else 1)
    finally:
        if not keep:
            shutil.rmtree(work, ignore_errors=True)


def check(args, aosp, work, selected):
    """Every selected check, one line per result; whether all passed."""
    began = time.monotonic()
    setup = Setup(args, aosp, work)
    partitions = ["system_ext", "vendor"] if args.partition == "all" else [args.partition]
    installs = [Install(setup, p) for p in partitions]
    counts = [0, 0]

    def show(c, install, results):
        for r in results:
            summary = r.summary
            if c.per_install and len(installs) > 1:
                summary = f"{install.partition}: {summary}"
            print(f"{'PASS' if r.ok else 'FAIL'}  {c.name:<10} {summary}", flush=True)
            counts[not r.ok] += 1
            if not r.ok and r.log.strip():
                print("".join(f"    {line}\n" for line in r.log.replace(ROOT + "/", "").rstrip().split("\n")),
                      end="")

    def each(c, step):
        """The check's step, once, or once per install; its results."""
        if not c.per_install:
            return [(None, step(setup, None))]
        out = []
        for install in installs:
            if c.needs_policy and not install.policy(setup):
                out.append((install, [Result(False, "not checked: the policy was not built", install.build_log)]))
            else:
                out.append((install, step(setup, install)))
        return out

    print(f"android-check: {aosp}, drovik on {' '.join(partitions)}, API {MIN_API} and {TOP_API}", flush=True)
    chosen = [c for c in CHECKS if c.name in selected]
    # A tree older than the installs' oldest platform is refused before
    # anything else is built against it.
    if chosen and chosen[0].name == "platform":
        too_old = False
        for install, results in each(chosen.pop(0), check_platform):
            show(CHECKS[0], install, results)
            too_old |= not all(r.ok for r in results)
        if too_old:
            print(f"android-check: {aosp} is older than drovik's oldest platform; nothing else was checked")
            return False
    # Every background step starts before any check waits on one; each()
    # passes over an install whose policy did not build, as the start did.
    for c in chosen:
        if c.start:
            for install in installs:
                if not c.needs_policy or install.policy(setup):
                    c.start(setup, install)
    for c in chosen:
        for install, results in each(c, c.check):
            show(c, install, results)
    elapsed = time.monotonic() - began
    print(f"android-check: {counts[0]} passed, {counts[1]} failed ({elapsed:.1f} s)")
    return counts[1] == 0


if __name__ == "__main__":
    main()
