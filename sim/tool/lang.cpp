// The parser of drovik-sim's command language: a pure function from a line
// to a command, or to an error with the column where the line goes wrong.
#include "lang.h"

#include <signal.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tool {

const char kLanguageHelp[] =
    "the device:\n"
    "  plug                    attach the cable: gadget CONNECTED, then CONFIGURED\n"
    "  unplug                  pull the cable: gadget DISCONNECTED\n"
    "  usb WORD                the state file reads WORD, and the kernel announces USB_STATE=WORD\n"
    "  ports N                 serial ports the gadget offers (0 to 255)\n"
    "  uevent TEXT             one raw uevent datagram, e.g. \"change@/x\\0USB_STATE=CONFIGURED\\0\"\n"
    "  setprop NAME VALUE      set a property as from outside the device; ctl.start / ctl.stop\n"
    "                          with mulgate or sprue control the services\n"
    "  getprop NAME            show a property\n"
    "  service NAME ignores-sigterm|obeys-sigterm\n"
    "                          how the service's process takes SIGTERM, from its next start\n"
    "  spawn NAME [ignores-sigterm]  an extra process of that name, outside init's services\n"
    "  kill NAME [SIGNAL]      a signal (default TERM) to every process of that name\n"
    "the daemon:\n"
    "  signal SIGNAL           send it a signal: USR2, TERM, INT, KILL, ... or a number\n"
    "  restart                 ask it to restart mulgate (SIGUSR2)\n"
    "  stop                    stop it (SIGTERM) and wait for its end\n"
    "  start                   start it (again) and wait until it listens for uevents\n"
    "  wait TIME               do nothing for a while: 500ms, 2s, 1.5s\n"
    "expectations (each waits at most 10s, or as long as 'within TIME' says):\n"
    "  expect log \"TEXT\"       a log line with exactly this text after the last one expected\n"
    "  expect log /PATTERN/    the same with a regular expression over the whole text\n"
    "  expect write NAME=VALUE a property write by the daemon, after the last one expected\n"
    "  expect service NAME STATE   running, stopping, stopped, restarting or unset\n"
    "  expect exit CODE|SIGNAL the daemon's end: an exit status, or the signal that killed it\n"
    "  expect quiet TIME       nothing logged after the last expected line, for that long\n"
    "what happened:\n"
    "  log [all]               the log lines since the last 'log' (or all of them)\n"
    "  writes                  every property write made inside the device\n"
    "  events                  every change of the services' states\n"
    "  services                the services' states now (init.svc.*)\n"
    "  ps                      the device's processes\n"
    "  status                  is the daemon running, or how did it end\n"
    "  help                    this text\n"
    "  quit                    tear the device down and leave (also end of input, Ctrl-C)\n"
    "Texts are words or double-quoted with \\n \\r \\t \\\\ \\\" \\0 \\xHH escapes; \"\" is empty.\n"
    "A word that begins with # starts a comment.\n";

namespace {

struct Token {
    enum Kind { Word, Text, Pattern } kind;
    std::string value;
    size_t col;
};

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

[[noreturn]] void fail(size_t col, std::string message)
{
    throw ParseError{col, std::move(message)};
}

// Splits the line from `pos` on into words, "texts" and /patterns/; a word
// that begins with # ends the line.
std::vector<Token> tokenize(std::string_view s, size_t pos)
{
    std::vector<Token> out;
    for (;;) {
        while (pos < s.size() && blank(s[pos]))
            ++pos;
        if (pos >= s.size() || s[pos] == '#')
            return out;
        size_t col = pos + 1;
        if (s[pos] == '"') {
            std::string v;
            for (++pos;; ++pos) {
                if (pos >= s.size())
                    fail(col, "this text has no closing \"");
                char c = s[pos];
                if (c == '"')
                    break;
                if (c != '\\') {
                    v += c;
                    continue;
                }
                size_t at = pos + 1;
                if (++pos >= s.size())
                    fail(col, "this text has no closing \"");
                switch (s[pos]) {
                case 'n': v += '\n'; break;
                case 'r': v += '\r'; break;
                case 't': v += '\t'; break;
                case '0': v += '\0'; break;
                case '\\': v += '\\'; break;
                case '"': v += '"'; break;
                case 'x': {
                    int h = pos + 2 < s.size() ? hex_digit(s[pos + 1]) : -1;
                    int l = pos + 2 < s.size() ? hex_digit(s[pos + 2]) : -1;
                    if (h < 0 || l < 0)
                        fail(at, "\\x wants two hex digits, as in \\x1b");
                    v += static_cast<char>(h * 16 + l);
                    pos += 2;
                    break;
                }
                default:
                    fail(at,
                         "unknown escape \\" + shown(s.substr(pos, 1)) + " (known: \\n \\r \\t \\0 \\\\ \\\" \\xHH)");
                }
            }
            ++pos;
            if (pos < s.size() && !blank(s[pos]))
                fail(pos + 1, "put a space after the closing \"");
            out.push_back({Token::Text, std::move(v), col});
        } else if (s[pos] == '/') {
            // Kept as written: the regular expression reads its own escapes;
            // only \/ stands for a slash.
            std::string v;
            for (++pos;; ++pos) {
                if (pos >= s.size())
                    fail(col, "this pattern has no closing /");
                if (s[pos] == '/')
                    break;
                if (s[pos] == '\\' && pos + 1 < s.size()) {
                    if (s[pos + 1] == '/') {
                        v += '/';
                        ++pos;
                        continue;
                    }
                    v += s[pos++];
                }
                v += s[pos];
            }
            ++pos;
            if (pos < s.size() && !blank(s[pos]))
                fail(pos + 1, "put a space after the closing /");
            out.push_back({Token::Pattern, std::move(v), col});
        } else {
            size_t b = pos;
            while (pos < s.size() && !blank(s[pos]))
                ++pos;
            out.push_back({Token::Word, std::string(s.substr(b, pos - b)), col});
        }
    }
}

// The arguments of one command, taken left to right.
class Args {
public:
    Args(std::vector<Token> t, std::string usage, size_t end_col)
        : t_(std::move(t)), usage_(std::move(usage)), end_(end_col)
    {
    }

    bool more() const { return i_ < t_.size(); }
    const Token &peek() const { return t_[i_]; }
    size_t col() const { return more() ? t_[i_].col : end_; }

    const Token &next(const char *what)
    {
        if (!more())
            fail(end_, std::string("missing ") + what + " (usage: " + usage_ + ")");
        return t_[i_++];
    }
    // A word or a "text".
    std::string text(const char *what)
    {
        const Token &k = next(what);
        if (k.kind == Token::Pattern)
            fail(k.col, std::string("a /pattern/ cannot stand for ") + what + " (usage: " + usage_ + ")");
        return k.value;
    }
    // A bare keyword, one of `words` ("a|b|c").
    std::string keyword(const char *words)
    {
        size_t col = this->col();
        const Token &k = next(words);
        std::string w = std::string("|") + words + "|";
        if (k.kind != Token::Word || w.find("|" + k.value + "|") == std::string::npos)
            fail(col, "expected " + std::string(words) + ", not '" + shown(k.value, 24) + "'");
        return k.value;
    }
    bool optional(const char *word)
    {
        if (more() && t_[i_].kind == Token::Word && t_[i_].value == word) {
            ++i_;
            return true;
        }
        return false;
    }
    long number(const char *what, long lo, long hi)
    {
        const Token &k = next(what);
        char *end = nullptr;
        errno = 0;
        long n = k.kind == Token::Word && !k.value.empty() && isdigit(static_cast<unsigned char>(k.value[0]))
                     ? strtol(k.value.c_str(), &end, 10)
                     : -1;
        if (n < lo || n > hi || !end || *end || errno)
            fail(k.col, std::string(what) + " is a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                            ", not '" + shown(k.value, 24) + "'");
        return n;
    }
    sim::Millis time()
    {
        const Token &k = next("a time such as 500ms or 2s");
        const std::string &v = k.value;
        size_t digits = 0;
        while (digits < v.size() && (isdigit(static_cast<unsigned char>(v[digits])) || v[digits] == '.'))
            ++digits;
        std::string unit = v.substr(digits);
        double n = digits ? strtod(v.substr(0, digits).c_str(), nullptr) : -1;
        double ms = unit == "ms" ? n : unit == "s" ? n * 1000 : -1;
        if (k.kind != Token::Word || digits == 0 || v.find('.') != v.rfind('.') || ms < 0 || ms > 3600000)
            fail(k.col,
                 "a time is a number and ms or s, as in 500ms or 2s (at most an hour), not '" + shown(v, 24) + "'");
        return sim::Millis(static_cast<long>(ms + 0.5));
    }
    int signal(const char *what)
    {
        const Token &k = next(what);
        auto s = k.kind == Token::Word ? signal_number(k.value) : std::nullopt;
        if (!s)
            fail(k.col, "'" + shown(k.value, 24) + "' is no signal: give a name such as TERM, USR2, KILL, or a number");
        return *s;
    }
    sim::Millis within()
    {
        if (optional("within"))
            return time();
        return kDefaultWithin;
    }
    void end()
    {
        if (more())
            fail(t_[i_].col, "unexpected '" + shown(t_[i_].value, 24) + "' (usage: " + usage_ + ")");
    }

private:
    std::vector<Token> t_;
    size_t i_ = 0;
    std::string usage_;
    size_t end_;
};

struct Usage {
    const char *name;
    const char *usage;
};

// How each command is written, for the errors.
constexpr Usage kUsages[] = {
    {"plug", "plug"},
    {"unplug", "unplug"},
    {"usb", "usb WORD"},
    {"ports", "ports N"},
    {"uevent", "uevent TEXT"},
    {"setprop", "setprop NAME VALUE; quote a value with spaces, \"\" is empty"},
    {"getprop", "getprop NAME"},
    {"service", "service NAME ignores-sigterm|obeys-sigterm"},
    {"spawn", "spawn NAME [ignores-sigterm]"},
    {"kill", "kill NAME [SIGNAL]"},
    {"signal", "signal SIGNAL"},
    {"restart", "restart"},
    {"stop", "stop"},
    {"start", "start"},
    {"wait", "wait TIME"},
    {"expect", "expect log|write|service|exit|quiet ..."},
    {"log", "log [all]"},
    {"writes", "writes"},
    {"events", "events"},
    {"services", "services"},
    {"ps", "ps"},
    {"status", "status"},
    {"help", "help"},
    {"quit", "quit"},
    {"exit", "exit"},
    {"boot", "boot usb|ports|setprop|service|daemon ..."},
};

const char *usage_of(std::string_view name)
{
    for (auto &u : kUsages)
        if (name == u.name)
            return u.usage;
    return nullptr;
}

Command expectation(Args &a)
{
    Command c;
    std::string what = a.keyword("log|write|service|exit|quiet");
    if (what == "log") {
        c.op = Op::ExpectLog;
        const Token &k = a.next("\"TEXT\" or /PATTERN/");
        c.a = k.value;
        if (k.kind == Token::Pattern) {
            c.pattern = true;
            try {
                c.re = std::make_shared<const std::regex>(c.a, std::regex::ECMAScript);
            } catch (const std::regex_error &e) {
                fail(k.col, std::string("this pattern is no regular expression: ") + e.what());
            }
        }
        c.time = a.within();
    } else if (what == "write") {
        c.op = Op::ExpectWrite;
        size_t col = a.col();
        std::string nv = a.text("NAME=VALUE");
        size_t eq = nv.find('=');
        if (eq == std::string::npos || eq == 0)
            fail(col, "expect write wants NAME=VALUE, as in ctl.start=mulgate");
        c.a = nv.substr(0, eq);
        c.b = nv.substr(eq + 1);
        c.time = a.within();
    } else if (what == "service") {
        c.op = Op::ExpectService;
        c.a = a.text("a service name");
        c.b = a.keyword("running|stopping|stopped|restarting|unset");
        if (c.b == "unset")
            c.b.clear();
        c.time = a.within();
    } else if (what == "exit") {
        c.op = Op::ExpectExit;
        const Token &k = a.next("an exit status or a signal");
        if (k.kind == Token::Word && !k.value.empty() && isdigit(static_cast<unsigned char>(k.value[0]))) {
            char *end = nullptr;
            long n = strtol(k.value.c_str(), &end, 10);
            if (*end || n < 0 || n > 255)
                fail(k.col, "an exit status is a number from 0 to 255");
            c.number = static_cast<int>(n);
        } else {
            auto s = k.kind == Token::Word ? signal_number(k.value) : std::nullopt;
            if (!s)
                fail(k.col, "expect exit wants a status (0 to 255) or the signal that ended it (KILL, SEGV, ...)");
            c.number = *s;
            c.by_signal = true;
        }
        c.time = a.within();
    } else {
        c.op = Op::ExpectQuiet;
        a.optional("for");
        c.time = a.time();
    }
    a.end();
    return c;
}

Command boot(Args &a)
{
    Command c;
    std::string what = a.keyword("usb|ports|setprop|service|daemon");
    if (what == "usb" || what == "ports") {
        c.op = what == "usb" ? Op::BootUsb : Op::BootPorts;
        if (a.optional("absent"))
            c.absent = true;
        else if (what == "usb")
            c.a = a.text("WORD or absent");
        else
            c.number = static_cast<int>(a.number("the port count", 0, 255));
    } else if (what == "setprop") {
        c.op = Op::BootSetprop;
        c.a = a.text("NAME");
        c.b = a.text("VALUE");
    } else if (what == "service") {
        c.op = Op::BootService;
        c.a = a.text("NAME");
        c.flag = a.keyword("ignores-sigterm|obeys-sigterm") == "ignores-sigterm";
    } else {
        c.op = Op::BootDaemon;
        c.flag = a.keyword("on|off") == "on";
    }
    a.end();
    return c;
}

Command command(const std::string &name, Args &a, size_t col)
{
    Command c;
    auto simple = [&](Op op) {
        c.op = op;
        a.end();
        return c;
    };
    if (name == "plug")
        return simple(Op::Plug);
    if (name == "unplug")
        return simple(Op::Unplug);
    if (name == "restart")
        return simple(Op::Restart);
    if (name == "stop")
        return simple(Op::Stop);
    if (name == "start")
        return simple(Op::Start);
    if (name == "writes")
        return simple(Op::Writes);
    if (name == "events")
        return simple(Op::Events);
    if (name == "services")
        return simple(Op::Services);
    if (name == "ps")
        return simple(Op::Ps);
    if (name == "status")
        return simple(Op::Status);
    if (name == "help")
        return simple(Op::Help);
    if (name == "quit" || name == "exit")
        return simple(Op::Quit);
    if (name == "expect")
        return expectation(a);
    if (name == "boot")
        return boot(a);
    if (name == "usb") {
        c.op = Op::Usb;
        size_t at = a.col();
        c.a = a.text("WORD");
        if (c.a.empty())
            fail(at, "the state word is empty");
    } else if (name == "ports") {
        c.op = Op::Ports;
        c.number = static_cast<int>(a.number("the port count", 0, 255));
    } else if (name == "uevent") {
        c.op = Op::Uevent;
        size_t at = a.col();
        c.a = a.text("TEXT");
        if (c.a.empty())
            fail(at, "the kernel sends no empty uevent");
    } else if (name == "setprop") {
        c.op = Op::Setprop;
        c.a = a.text("NAME");
        c.b = a.text("VALUE");
    } else if (name == "getprop") {
        c.op = Op::Getprop;
        c.a = a.text("NAME");
    } else if (name == "service") {
        c.op = Op::Service;
        c.a = a.text("NAME");
        c.flag = a.keyword("ignores-sigterm|obeys-sigterm") == "ignores-sigterm";
    } else if (name == "spawn") {
        c.op = Op::Spawn;
        c.a = a.text("NAME");
        c.flag = a.optional("ignores-sigterm");
    } else if (name == "kill") {
        c.op = Op::Kill;
        c.a = a.text("NAME");
        c.number = a.more() ? a.signal("SIGNAL") : SIGTERM;
    } else if (name == "signal") {
        c.op = Op::Signal;
        c.number = a.signal("SIGNAL");
    } else if (name == "wait") {
        c.op = Op::Wait;
        c.time = a.time();
    } else if (name == "log") {
        c.op = Op::Log;
        c.flag = a.optional("all");
    } else {
        fail(col, "unknown command '" + shown(name, 24) + "' ('help' lists the commands)");
    }
    a.end();
    return c;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

} // namespace

Parsed parse_line(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    size_t i = 0;
    while (i < line.size() && blank(line[i]))
        ++i;
    if (i == line.size() || line[i] == '#')
        return std::monostate{};
    size_t j = i;
    while (j < line.size() && !blank(line[j]))
        ++j;
    std::string name(line.substr(i, j - i));
    try {
        if (name == "say" || name == "step") {
            // Prose: the rest of the line as it stands.
            Command c;
            c.op = name == "say" ? Op::Say : Op::Step;
            c.a = std::string(trim(line.substr(j)));
            if (c.op == Op::Step && c.a.empty())
                throw ParseError{j + 1, "a step needs a title"};
            return c;
        }
        const char *usage = usage_of(name);
        auto tokens = tokenize(line, j);
        Args a(std::move(tokens), usage ? usage : "", line.size() + 1);
        return command(name, a, i + 1);
    } catch (ParseError &e) {
        return e;
    }
}

std::variant<Story, StoryError> parse_story(std::string_view text)
{
    Story s;
    int number = 0;
    while (!text.empty()) {
        ++number;
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        Parsed p = parse_line(line);
        if (auto *e = std::get_if<ParseError>(&p))
            return StoryError{number, e->column, e->message, std::string(line)};
        auto *c = std::get_if<Command>(&p);
        if (!c)
            continue;
        if (c->op == Op::Help)
            return StoryError{number, 1, "'help' is for the shell", std::string(line)};
        if (c->is_boot() && !s.body.empty()) {
            size_t col = line.find_first_not_of(" \t") + 1;
            return StoryError{number, col,
                              "boot lines set the device up before it boots: they come before every other line",
                              std::string(line)};
        }
        (c->is_boot() ? s.boot : s.body).push_back({number, std::string(line), std::move(*c)});
    }
    return s;
}

std::optional<int> signal_number(std::string_view name)
{
    if (!name.empty() && isdigit(static_cast<unsigned char>(name[0]))) {
        std::string n(name);
        char *end = nullptr;
        long v = strtol(n.c_str(), &end, 10);
        if (*end || v < 1 || v > SIGRTMAX)
            return std::nullopt;
        return static_cast<int>(v);
    }
    std::string up;
    for (char c : name)
        up += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (up.rfind("SIG", 0) == 0)
        up.erase(0, 3);
    static const std::pair<const char *, int> kNames[] = {
        {"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"ILL", SIGILL},   {"TRAP", SIGTRAP},
        {"ABRT", SIGABRT}, {"BUS", SIGBUS},   {"FPE", SIGFPE},   {"KILL", SIGKILL}, {"USR1", SIGUSR1},
        {"SEGV", SIGSEGV}, {"USR2", SIGUSR2}, {"PIPE", SIGPIPE}, {"ALRM", SIGALRM}, {"TERM", SIGTERM},
        {"CHLD", SIGCHLD}, {"CONT", SIGCONT}, {"STOP", SIGSTOP}, {"TSTP", SIGTSTP},
    };
    for (auto &[n, v] : kNames)
        if (up == n)
            return v;
    return std::nullopt;
}

std::string signal_name(int sig)
{
    const char *abbrev = sigabbrev_np(sig);
    return abbrev ? std::string("SIG") + abbrev : std::to_string(sig);
}

std::string shown(std::string_view bytes, size_t max)
{
    if (bytes.size() <= max)
        return sim::printable(bytes);
    return sim::printable(bytes.substr(0, max)) + "... (" + std::to_string(bytes.size()) + " bytes)";
}

std::string visible(std::string_view line)
{
    std::string o;
    for (char c : line)
        o += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? sim::printable(std::string_view(&c, 1))
                                                               : std::string(1, c);
    return o;
}

std::string time_text(sim::Millis t)
{
    auto ms = t.count();
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + "s";
    if (ms > 1000 && ms % 100 == 0)
        return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + "s";
    return std::to_string(ms) + "ms";
}

} // namespace tool
