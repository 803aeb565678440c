// The expectations: each waits, at most its time, for something the daemon
// should do, and shows what came instead when it does not come.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <thread>

#include "lang/engine.h"

namespace tool {

using namespace std::chrono_literals;
using Clock = Engine::Clock;

namespace {

constexpr size_t kShownLines = 20; // of what came instead of an expectation

struct LogLine {
    std::string text; // a message, or a regular expression over the whole of one
    std::shared_ptr<const std::regex> re;
    sim::Millis within{0};
};
struct Write {
    std::string name, value;
    sim::Millis within{0};
};
struct ServiceState {
    std::string name;
    std::string state; // "" for unset
    sim::Millis within{0};
};
struct Exit {
    int number = 0; // an exit status, or the signal
    bool by_signal = false;
    sim::Millis within{0};
};
struct Quiet {
    sim::Millis time{0};
};

std::string within_text(sim::Millis t)
{
    return t == kDefaultWithin ? "" : " within " + time_text(t);
}

// What came after the log cursor, when an expectation of the log is unmet.
void show_log_after_cursor(Engine &e, const std::string &indent)
{
    const auto &l = e.device().log();
    const size_t from = e.log_cursor;
    auto put = [&](const std::string &in, const std::string &text) { printf("%s%s\n", in.c_str(), text.c_str()); };
    if (from > 0)
        put(indent, "after the last line expected, " + quoted_text(l[from - 1].message) + ", came:");
    else if (!l.empty())
        put(indent, "the log from its start:");
    if (l.empty())
        put(indent, "nothing has been logged");
    else if (from >= l.size())
        put(indent + "  ", "(nothing)");
    for (size_t i = from; i < l.size() && i < from + kShownLines; ++i)
        put(indent + "  ", quoted_text(l[i].message));
    if (l.size() > from + kShownLines)
        put(indent + "  ", "... and " + std::to_string(l.size() - from - kShownLines) + " more lines");
}

Outcome expect_log(Engine &e, const LogLine &want)
{
    sim::Device &d = e.device();
    auto t0 = Clock::now();
    auto matches = [&](const sim::LogEntry &entry) {
        return want.re ? std::regex_match(entry.message, *want.re) : entry.message == want.text;
    };
    size_t next = e.log_cursor;
    auto scan = [&] {
        const auto &l = d.log();
        for (; next < l.size(); ++next)
            if (matches(l[next]))
                return true;
        return false;
    };
    bool ended = false, found = false;
    auto last_check = t0;
    sim::Device::wait_until(
        [&] {
            if ((found = scan()))
                return true;
            // Once the daemon has ended, nothing more will be logged.
            if (Clock::now() - last_check >= 100ms) {
                last_check = Clock::now();
                ended = !e.daemon_running();
            }
            return ended;
        },
        want.within, 10ms);
    if (ended && !found) {
        std::this_thread::sleep_for(200ms);
        found = scan();
    }
    if (found) {
        e.log_cursor = next + 1;
        return e.met(t0);
    }
    e.notice_daemon_end();
    e.unmet(ended ? "the daemon is not running" : "not within " + time_text(want.within));
    show_log_after_cursor(e, e.indent() + "  ");
    flush();
    return Outcome::Unmet;
}

Outcome expect_write(Engine &e, const Write &want)
{
    sim::Device &d = e.device();
    auto t0 = Clock::now();
    size_t next = e.write_cursor;
    bool ended = false, found = false;
    auto scan = [&] {
        auto w = d.property_writes();
        for (; next < w.size(); ++next)
            if (w[next].pid == d.daemon_pid() && w[next].name == want.name && w[next].value == want.value)
                return true;
        return false;
    };
    sim::Device::wait_until(
        [&] {
            if ((found = scan()))
                return true;
            // A daemon that has ended writes nothing more; it may have just before.
            ended = !e.daemon_running();
            return ended && (found = scan(), true);
        },
        want.within, 20ms);
    if (found) {
        e.write_cursor = next + 1;
        return e.met(t0);
    }
    e.notice_daemon_end();
    e.unmet(ended ? "the daemon is not running" : "not within " + time_text(want.within));
    e.put("  the daemon's writes after the last one expected:");
    auto w = d.property_writes();
    bool any = false;
    for (size_t i = e.write_cursor; i < w.size(); ++i)
        if (w[i].pid == d.daemon_pid()) {
            e.put("    " + sim::printable(w[i].name) + "=" + sim::printable(w[i].value));
            any = true;
        }
    if (!any)
        e.put("    (none)");
    flush();
    return Outcome::Unmet;
}

Outcome expect_service(Engine &e, const ServiceState &want)
{
    sim::Device &d = e.device();
    auto t0 = Clock::now();
    std::string now;
    bool found = sim::Device::wait_until(
        [&] {
            now = d.service(want.name).state;
            return now == want.state;
        },
        want.within, 20ms);
    if (found)
        return e.met(t0);
    e.unmet("init.svc." + want.name + " is " + (now.empty() ? "unset" : now) + " after " + time_text(want.within));
    std::vector<std::string> changes;
    for (auto &ev : d.service_events())
        if (ev.service == want.name)
            changes.push_back(ev.state + (ev.pid ? " (pid " + std::to_string(ev.pid) + ")" : ""));
    std::string list;
    for (size_t i = changes.size() > 8 ? changes.size() - 8 : 0; i < changes.size(); ++i)
        list += (list.empty() ? "" : ", ") + changes[i];
    e.put("  its last changes: " + (list.empty() ? "(none)" : list));
    flush();
    return Outcome::Unmet;
}

Outcome expect_exit(Engine &e, const Exit &want)
{
    sim::Device &d = e.device();
    auto t0 = Clock::now();
    if (d.daemon_pid() <= 0)
        return e.unmet("the daemon has not been started");
    auto ex = d.wait_daemon_exit(want.within);
    sim::ExitStatus status{!want.by_signal, want.by_signal ? 0 : want.number, want.by_signal ? want.number : 0};
    if (ex && *ex == status) {
        e.notice_daemon_end();
        return e.met(t0);
    }
    if (!ex)
        return e.unmet("the daemon (pid " + std::to_string(d.daemon_pid()) + ") is still running after " +
                       time_text(want.within));
    e.unmet("it ended otherwise");
    e.notice_daemon_end();
    return Outcome::Unmet;
}

Outcome expect_quiet(Engine &e, const Quiet &want)
{
    sim::Device &d = e.device();
    auto t0 = Clock::now();
    bool more = sim::Device::wait_until([&] { return d.log().size() > e.log_cursor; }, want.time, 10ms);
    if (!more)
        return e.met(t0);
    // Let the burst arrive, so that the whole of it is shown.
    d.wait_log_quiet(150ms, 1s);
    e.unmet("the daemon logged more");
    show_log_after_cursor(e, e.indent() + "  ");
    flush();
    return Outcome::Unmet;
}

const Verb kVerbs[] = {
    verb<LogLine>(
        {"expect log", Section::Expectation, "expect log \"TEXT\"|/RE/",
         "a log line with exactly this text, or whose whole text matches\n"
         "the regular expression, after the last one expected"},
        [](Args &a) {
            LogLine l;
            const Token &k = a.next("\"TEXT\" or /PATTERN/");
            l.text = k.value;
            if (k.kind == Token::Pattern) {
                try {
                    l.re = std::make_shared<const std::regex>(l.text, std::regex::ECMAScript);
                } catch (const std::regex_error &err) {
                    refuse(k.col, std::string("this pattern is no regular expression: ") + err.what());
                }
            }
            l.within = a.within();
            return l;
        },
        expect_log,
        [](const LogLine &l) {
            return "expect log " + (l.re ? pattern_text(l.text) : quoted_text(l.text)) + within_text(l.within);
        }),
    verb<Write>(
        {"expect write", Section::Expectation, "expect write NAME=VALUE",
         "a property write by the daemon, after the last one expected"},
        [](Args &a) {
            size_t col = a.col();
            std::string nv = a.text("NAME=VALUE");
            size_t eq = nv.find('=');
            if (eq == std::string::npos || eq == 0)
                refuse(col, "expect write wants NAME=VALUE, as in ctl.start=mulgate");
            return Write{nv.substr(0, eq), nv.substr(eq + 1), a.within()};
        },
        expect_write,
        [](const Write &w) { return "expect write " + written(w.name + "=" + w.value) + within_text(w.within); }),
    verb<ServiceState>(
        {"expect service", Section::Expectation, "expect service NAME STATE",
         "running, stopping, stopped, restarting or unset"},
        [](Args &a) {
            ServiceState s{a.text("a service name"), a.keyword("running|stopping|stopped|restarting|unset"),
                           a.within()};
            if (s.state == "unset")
                s.state.clear();
            return s;
        },
        expect_service,
        [](const ServiceState &s) {
            return "expect service " + written(s.name) + " " + (s.state.empty() ? "unset" : s.state) +
                   within_text(s.within);
        }),
    verb<Exit>(
        {"expect exit", Section::Expectation, "expect exit CODE|SIGNAL",
         "the daemon's end: an exit status, or the signal that killed it"},
        [](Args &a) {
            Exit x;
            const Token &k = a.next("an exit status or a signal");
            if (k.kind == Token::Word && !k.value.empty() && isdigit(static_cast<unsigned char>(k.value[0]))) {
                char *end = nullptr;
                long n = strtol(k.value.c_str(), &end, 10);
                if (*end || n < 0 || n > 255)
                    refuse(k.col, "an exit status is a number from 0 to 255");
                x.number = static_cast<int>(n);
            } else {
                auto s = k.kind == Token::Word ? signal_number(k.value) : std::nullopt;
                if (!s)
                    refuse(k.col,
                           "expect exit wants a status (0 to 255) or the signal that ended it (KILL, SEGV, ...)");
                x.number = *s;
                x.by_signal = true;
            }
            x.within = a.within();
            return x;
        },
        expect_exit,
        [](const Exit &x) {
            return "expect exit " + (x.by_signal ? signal_name(x.number) : std::to_string(x.number)) +
                   within_text(x.within);
        }),
    verb<Quiet>(
        {"expect quiet", Section::Expectation, "expect quiet TIME",
         "nothing logged after the last expected line, for that long"},
        [](Args &a) {
            a.optional("for");
            return Quiet{a.time()};
        },
        expect_quiet, [](const Quiet &q) { return "expect quiet " + time_text(q.time); }),
};

} // namespace

std::span<const Verb> expectation_verbs()
{
    return kVerbs;
}

} // namespace tool
