// The expectations: each waits, at most its time, for something the daemon
// should do, and shows what came instead when it does not come.
#include <cstdio>
#include <regex>
#include <thread>

#include "lang/engine.h"

namespace tool {

using namespace std::chrono_literals;
using Clock = Engine::Clock;

namespace {

constexpr size_t kShownLines = 20; // of what came instead of an expectation

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

// expect log "TEXT"|/RE/ [within TIME]
Outcome expect_log(Engine &e, const Values &v)
{
    sim::Device &d = e.device();
    auto t0 = Clock::now();
    const std::string &text = v[0].text;
    const sim::Millis within(v[1].number);
    // The parser has seen that a pattern is a regular expression.
    const std::regex re = v[0].pattern ? std::regex(text, std::regex::ECMAScript) : std::regex();
    auto matches = [&](const sim::LogEntry &entry) {
        return v[0].pattern ? std::regex_match(entry.message, re) : entry.message == text;
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
        within, 10ms);
    if (ended && !found) {
        std::this_thread::sleep_for(200ms);
        found = scan();
    }
    if (found) {
        e.log_cursor = next + 1;
        return e.met(t0);
    }
    e.notice_daemon_end();
    e.unmet(ended ? "the daemon is not running" : "not within " + time_text(within));
    show_log_after_cursor(e, e.indent() + "  ");
    flush();
    return Outcome::Unmet;
}

// expect write NAME=VALUE [within TIME]
Outcome expect_write(Engine &e, const Values &v)
{
    sim::Device &d = e.device();
    auto t0 = Clock::now();
    const size_t eq = v[0].text.find('=');
    const std::string name = v[0].text.substr(0, eq), value = v[0].text.substr(eq + 1);
    const sim::Millis within(v[1].number);
    size_t next = e.write_cursor;
    bool ended = false, found = false;
    auto scan = [&] {
        auto w = d.property_writes();
        for (; next < w.size(); ++next)
            if (w[next].pid == d.daemon_pid() && w[next].name == name && w[next].value == value)
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
        within, 20ms);
    if (found) {
        e.write_cursor = next + 1;
        return e.met(t0);
    }
    e.notice_daemon_end();
    e.unmet(ended ? "the daemon is not running" : "not within " + time_text(within));
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

// expect service NAME STATE [within TIME]
Outcome expect_service(Engine &e, const Values &v)
{
    sim::Device &d = e.device();
    auto t0 = Clock::now();
    const std::string &name = v[0].text;
    const std::string state = v[1].text == "unset" ? "" : v[1].text;
    const sim::Millis within(v[2].number);
    std::string now;
    bool found = sim::Device::wait_until(
        [&] {
            now = d.service(name).state;
            return now == state;
        },
        within, 20ms);
    if (found)
        return e.met(t0);
    e.unmet("init.svc." + name + " is " + (now.empty() ? "unset" : now) + " after " + time_text(within));
    std::vector<std::string> changes;
    for (auto &ev : d.service_events())
        if (ev.service == name)
            changes.push_back(ev.state + (ev.pid ? " (pid " + std::to_string(ev.pid) + ")" : ""));
    std::string list;
    for (size_t i = changes.size() > 8 ? changes.size() - 8 : 0; i < changes.size(); ++i)
        list += (list.empty() ? "" : ", ") + changes[i];
    e.put("  its last changes: " + (list.empty() ? "(none)" : list));
    flush();
    return Outcome::Unmet;
}

// expect exit CODE|SIGNAL [within TIME]
Outcome expect_exit(Engine &e, const Values &v)
{
    sim::Device &d = e.device();
    auto t0 = Clock::now();
    const bool by_signal = !v[0].text.empty();
    const int number = static_cast<int>(v[0].number);
    const sim::Millis within(v[1].number);
    if (d.daemon_pid() <= 0)
        return e.unmet("the daemon has not been started");
    auto ex = d.wait_daemon_exit(within);
    sim::ExitStatus status{!by_signal, by_signal ? 0 : number, by_signal ? number : 0};
    if (ex && *ex == status) {
        e.notice_daemon_end();
        return e.met(t0);
    }
    if (!ex)
        return e.unmet("the daemon (pid " + std::to_string(d.daemon_pid()) + ") is still running after " +
                       time_text(within));
    e.unmet("it ended otherwise");
    e.notice_daemon_end();
    return Outcome::Unmet;
}

// expect quiet [for] TIME
Outcome expect_quiet(Engine &e, const Values &v)
{
    sim::Device &d = e.device();
    auto t0 = Clock::now();
    const sim::Millis time(v[1].number);
    bool more = sim::Device::wait_until([&] { return d.log().size() > e.log_cursor; }, time, 10ms);
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
    {"expect log",
     Section::Expectation,
     {arg::message(), arg::within()},
     "expect log \"TEXT\"|/RE/",
     "a log line with exactly this text, or whose whole text matches\n"
     "the regular expression, after the last one expected",
     expect_log},
    {"expect write",
     Section::Expectation,
     {arg::setting(), arg::within()},
     "expect write NAME=VALUE",
     "a property write by the daemon, after the last one expected",
     expect_write},
    {"expect service",
     Section::Expectation,
     {arg::text("a service name"), arg::keyword("running|stopping|stopped|restarting|unset"), arg::within()},
     "expect service NAME STATE",
     "running, stopping, stopped, restarting or unset",
     expect_service},
    {"expect exit",
     Section::Expectation,
     {arg::status(), arg::within()},
     "expect exit CODE|SIGNAL",
     "the daemon's end: an exit status, or the signal that killed it",
     expect_exit},
    {"expect quiet",
     Section::Expectation,
     {arg::filler("for"), arg::time()},
     "expect quiet TIME",
     "nothing logged after the last expected line, for that long",
     expect_quiet},
};

} // namespace

std::span<const Verb> expectation_verbs()
{
    return kVerbs;
}

} // namespace tool
