#include "rc.h"

#include <fcntl.h>

#include <array>
#include <map>
#include <set>
#include <sstream>

#include "posix.h"
#include "sim/device.h"

namespace sim::detail {
namespace {

// Capability names in the kernel's order: the index is the capability.
constexpr std::array<std::string_view, 41> kCapabilities = {"CHOWN",
                                                            "DAC_OVERRIDE",
                                                            "DAC_READ_SEARCH",
                                                            "FOWNER",
                                                            "FSETID",
                                                            "KILL",
                                                            "SETGID",
                                                            "SETUID",
                                                            "SETPCAP",
                                                            "LINUX_IMMUTABLE",
                                                            "NET_BIND_SERVICE",
                                                            "NET_BROADCAST",
                                                            "NET_ADMIN",
                                                            "NET_RAW",
                                                            "IPC_LOCK",
                                                            "IPC_OWNER",
                                                            "SYS_MODULE",
                                                            "SYS_RAWIO",
                                                            "SYS_CHROOT",
                                                            "SYS_PTRACE",
                                                            "SYS_PACCT",
                                                            "SYS_ADMIN",
                                                            "SYS_BOOT",
                                                            "SYS_NICE",
                                                            "SYS_RESOURCE",
                                                            "SYS_TIME",
                                                            "SYS_TTY_CONFIG",
                                                            "MKNOD",
                                                            "LEASE",
                                                            "AUDIT_WRITE",
                                                            "AUDIT_CONTROL",
                                                            "SETFCAP",
                                                            "MAC_OVERRIDE",
                                                            "MAC_ADMIN",
                                                            "SYSLOG",
                                                            "WAKE_ALARM",
                                                            "BLOCK_SUSPEND",
                                                            "AUDIT_READ",
                                                            "PERFMON",
                                                            "BPF",
                                                            "CHECKPOINT_RESTORE"};

// The platform's fixed ids that the device's files use.
const std::map<std::string, unsigned, std::less<>> kAids = {
    {"root", 0},     {"system", 1000}, {"radio", 1001},   {"bluetooth", 1002}, {"graphics", 1003}, {"input", 1004},
    {"audio", 1005}, {"camera", 1006}, {"log", 1007},     {"media", 1013},     {"shell", 2000},    {"cache", 2001},
    {"diag", 2002},  {"inet", 3003},   {"net_raw", 3004}, {"readproc", 3009},  {"nobody", 9999}};

struct Line {
    const std::string &file;
    size_t number;
    std::vector<std::string> words;
    std::string where() const { return file + ":" + std::to_string(number); }
    [[noreturn]] void fail(const std::string &why) const { throw Error(where() + ": " + why); }
    void arity(size_t least, size_t most) const
    {
        size_t n = words.size() - 1;
        if (n < least || n > most)
            fail("'" + words[0] + "' takes " +
                 (least == most ? std::to_string(least) : std::to_string(least) + " or more") +
                 (least == 1 && most == 1 ? " argument" : " arguments"));
    }
};

std::vector<std::string> split_words(const Line &l, const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string w;
    while (in >> w) {
        if (w[0] == '#')
            break;
        if (w.find_first_of("\"\\$") != std::string::npos)
            l.fail("quotes, escapes and expansions are not honoured: '" + w + "'");
        out.push_back(w);
    }
    return out;
}

unsigned aid(const Line &l, const std::string &name)
{
    if (auto it = kAids.find(name); it != kAids.end())
        return it->second;
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos && name.size() < 10)
        return static_cast<unsigned>(std::stoul(name));
    l.fail("unknown user or group '" + name + "'");
}

uint64_t capability(const Line &l, const std::string &name)
{
    for (size_t i = 0; i < kCapabilities.size(); ++i)
        if (kCapabilities[i] == name)
            return uint64_t{1} << i;
    l.fail("unknown capability '" + name + "'");
}

void service_option(const Line &l, RcService &s)
{
    const std::string &k = l.words[0];
    const std::vector<std::string> args(l.words.begin() + 1, l.words.end());
    if (k == "class") {
        l.arity(1, 64);
        s.classes = args;
    } else if (k == "user") {
        l.arity(1, 1);
        s.cred.uid = aid(l, args[0]);
    } else if (k == "group") {
        l.arity(1, 64);
        s.cred.gid = aid(l, args[0]);
        s.cred.groups.clear();
        for (size_t i = 1; i < args.size(); ++i)
            s.cred.groups.push_back(aid(l, args[i]));
    } else if (k == "capabilities") {
        uint64_t set = 0;
        for (auto &a : args)
            set |= capability(l, a);
        s.cred.capabilities = set;
    } else if (k == "disabled" || k == "oneshot" || k == "gentle_kill") {
        l.arity(0, 0);
        (k == "disabled" ? s.disabled : k == "oneshot" ? s.oneshot : s.gentle_kill) = true;
    } else {
        l.fail("service option '" + k + "' is not honoured by this device");
    }
}

void action_command(const Line &l, RcAction &a)
{
    const std::string &k = l.words[0];
    if (k == "start" || k == "stop")
        l.arity(1, 1);
    else if (k == "setprop")
        l.arity(2, 2);
    else
        l.fail("command '" + k + "' is not honoured by this device");
    a.commands.push_back({k, {l.words.begin() + 1, l.words.end()}, l.where()});
}

RcAction property_trigger(const Line &l)
{
    l.arity(1, 1);
    const std::string &t = l.words[1];
    const std::string prefix = "property:";
    size_t eq = t.find('=');
    if (t.rfind(prefix, 0) != 0 || eq == std::string::npos || eq == prefix.size())
        l.fail("trigger '" + t + "' is not honoured by this device (only property:NAME=VALUE)");
    return RcAction{t.substr(prefix.size(), eq - prefix.size()), t.substr(eq + 1), {}, l.where()};
}

} // namespace

void parse_rc(const std::string &file, std::string_view text, RcScript &into)
{
    enum { kNone, kService, kAction } section = kNone;
    std::istringstream in{std::string(text)};
    std::string raw;
    size_t number = 0;
    std::set<std::string> names;
    for (auto &s : into.services)
        names.insert(s.name);
    while (std::getline(in, raw)) {
        Line l{file, ++number, {}};
        l.words = split_words(l, raw);
        if (l.words.empty())
            continue;
        const std::string &k = l.words[0];
        if (k == "service") {
            l.arity(2, 64);
            if (!names.insert(l.words[1]).second)
                l.fail("service '" + l.words[1] + "' is defined twice");
            RcService s;
            s.name = l.words[1];
            s.argv.assign(l.words.begin() + 2, l.words.end());
            s.classes = {"default"};
            s.where = l.where();
            into.services.push_back(std::move(s));
            section = kService;
        } else if (k == "on") {
            into.actions.push_back(property_trigger(l));
            section = kAction;
        } else if (k == "import") {
            l.fail("'import' is not honoured by this device");
        } else if (section == kService) {
            service_option(l, into.services.back());
        } else if (section == kAction) {
            action_command(l, into.actions.back());
        } else {
            l.fail("'" + k + "' outside a section");
        }
    }
}

RcScript load_rc(const std::vector<std::string> &files)
{
    RcScript out;
    for (auto &f : files) {
        auto text = read_file_at(AT_FDCWD, f);
        if (!text)
            throw Error(errno_text("cannot read " + f));
        parse_rc(f, *text, out);
    }
    return out;
}

} // namespace sim::detail
