// The executor of drovik-sim's command language: carries one command out on
// a device, for the shell and for stories alike.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "tool.h"

namespace tool {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr sim::Millis kStartWait = 10s; // until a started daemon listens for uevents
constexpr sim::Millis kStopWait = 10s;  // until a stopped daemon has ended
constexpr size_t kShownLines = 20;      // of what came instead of an expectation

std::string q(std::string_view s)
{
    return "\"" + sim::printable(s, true) + "\"";
}

std::string seconds(Clock::duration d)
{
    char b[32];
    snprintf(b, sizeof b, "%.2f s", std::chrono::duration<double>(d).count());
    return b;
}

// A pattern as written: its backslashes are the regular expression's own.
std::string pattern_text(const std::string &re)
{
    std::string o = "/";
    for (char c : re) {
        if (c == '/')
            o += "\\/";
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            o += sim::printable(std::string_view(&c, 1));
        else
            o += c;
    }
    return o + "/";
}

void put(const std::string &indent, const std::string &text)
{
    printf("%s%s\n", indent.c_str(), text.c_str());
}

} // namespace

// ---------------------------------------------------------------- Viewer

size_t Viewer::show_log(const std::string &indent)
{
    const auto &l = d_.log();
    size_t n = 0;
    for (; log_seen_ < l.size(); ++log_seen_, ++n) {
        std::string lines = sim::threadtime(l[log_seen_]);
        size_t pos = 0;
        while (pos < lines.size()) {
            size_t nl = lines.find('\n', pos);
            // Whatever bytes the daemon logged, the terminal gets printable text.
            put(indent, sim::printable(lines.substr(pos, nl - pos)));
            pos = nl + 1;
        }
    }
    flush();
    return n;
}

size_t Viewer::show_all_log(const std::string &indent)
{
    log_seen_ = 0;
    return show_log(indent);
}

void Viewer::show_writes(const std::string &indent)
{
    auto w = d_.property_writes();
    for (; writes_seen_ < w.size(); ++writes_seen_) {
        const auto &p = w[writes_seen_];
        put(indent, "property write by pid " + std::to_string(p.pid) + ": " + sim::printable(p.name) + " = " +
                        sim::printable(p.value) + (p.status ? " (refused)" : ""));
    }
    flush();
}

void Viewer::show_services(const std::string &indent)
{
    std::string line = "services:";
    for (auto &s : d_.services()) {
        line += "  init.svc." + s.name + "=";
        if (s.state.empty())
            line += "(unset, never started)";
        else if (s.pid)
            line += s.state + " (pid " + std::to_string(s.pid) + ")";
        else
            line += s.state;
    }
    put(indent, line);
    flush();
}

bool Viewer::show_daemon_end(const std::string &indent)
{
    if (d_.daemon_pid() <= 0)
        return false;
    auto st = d_.daemon_status();
    if (st.running)
        return false;
    if (end_shown_ == st.pid)
        return true;
    end_shown_ = st.pid;
    // What it wrote last may still be on its way out of the pipes.
    std::this_thread::sleep_for(100ms);
    st = d_.daemon_status();
    put(indent, "the daemon (pid " + std::to_string(st.pid) + ") has ended: " + (st.exit ? st.exit->describe() : "?"));
    if (!st.out.empty())
        put(indent, "its standard output: " + shown(st.out, 2000));
    if (!st.err.empty()) {
        put(indent, "its standard error:");
        std::string_view e = st.err;
        size_t lines = static_cast<size_t>(std::count(e.begin(), e.end(), '\n'));
        for (; lines > 40; --lines)
            e.remove_prefix(e.find('\n') + 1);
        while (!e.empty()) {
            size_t nl = e.find('\n');
            put(indent + "  ", sim::printable(e.substr(0, nl)));
            e.remove_prefix(nl == std::string_view::npos ? e.size() : nl + 1);
        }
    } else if (st.exit && st.exit->exited && st.exit->code != 0) {
        put(indent, "its standard error is empty");
        // An emulator such as qemu-aarch64 says nothing of a program path that is wrong.
        for (auto &a : d_.options().daemon_command) {
            struct stat s {};
            if (a.find('/') != std::string::npos && stat(a.c_str(), &s) != 0)
                put(indent, "no such file: " + a + " (in the daemon's command)");
        }
    }
    flush();
    return true;
}

// ---------------------------------------------------------------- Engine

Engine::Engine(sim::Device &d, bool verbose, std::string indent)
    : d_(d), v_(d), verbose_(verbose), indent_(std::move(indent))
{
}

bool Engine::daemon_running()
{
    return d_.daemon_pid() > 0 && d_.daemon_status().running;
}

bool Engine::notice_daemon_end()
{
    return v_.show_daemon_end(indent_);
}

void Engine::say(const std::string &text)
{
    if (verbose_) {
        put(indent_, text);
        flush();
    }
}

Outcome Engine::fail(const std::string &text)
{
    put(indent_, "error: " + text);
    flush();
    return Outcome::Failed;
}

std::string describe(const Command &c)
{
    std::string within = c.time == kDefaultWithin ? "" : " within " + time_text(c.time);
    switch (c.op) {
    case Op::ExpectLog: return "expect log " + (c.pattern ? pattern_text(c.a) : q(c.a)) + within;
    case Op::ExpectWrite: return "expect write " + sim::printable(c.a) + "=" + sim::printable(c.b) + within;
    case Op::ExpectService:
        return "expect service " + sim::printable(c.a) + " " + (c.b.empty() ? "unset" : c.b) + within;
    case Op::ExpectExit:
        return "expect exit " + (c.by_signal ? signal_name(c.number) : std::to_string(c.number)) + within;
    case Op::ExpectQuiet: return "expect quiet " + time_text(c.time);
    default: return "";
    }
}

Outcome Engine::met(const Command &c, Clock::time_point t0)
{
    say("ok: " + describe(c) + " (" + seconds(Clock::now() - t0) + ")");
    return Outcome::Done;
}

Outcome Engine::unmet(const Command &c, const std::string &why)
{
    put(indent_, "NOT MET: " + describe(c) + ": " + why);
    flush();
    return Outcome::Unmet;
}

void Engine::show_log_after_cursor(const std::string &indent)
{
    const auto &l = d_.log();
    if (log_cursor_ > 0)
        put(indent, "after the last line expected, " + q(l[log_cursor_ - 1].message) + ", came:");
    else if (!l.empty())
        put(indent, "the log from its start:");
    if (l.empty())
        put(indent, "nothing has been logged");
    else if (log_cursor_ >= l.size())
        put(indent + "  ", "(nothing)");
    for (size_t i = log_cursor_; i < l.size() && i < log_cursor_ + kShownLines; ++i)
        put(indent + "  ", q(l[i].message));
    if (l.size() > log_cursor_ + kShownLines)
        put(indent + "  ", "... and " + std::to_string(l.size() - log_cursor_ - kShownLines) + " more lines");
}

Outcome Engine::expect_log(const Command &c)
{
    auto t0 = Clock::now();
    auto matches = [&](const sim::LogEntry &e) {
        return c.pattern ? std::regex_match(e.message, *c.re) : e.message == c.a;
    };
    size_t next = log_cursor_;
    auto scan = [&] {
        const auto &l = d_.log();
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
                ended = !daemon_running();
            }
            return ended;
        },
        c.time, 10ms);
    if (ended && !found) {
        std::this_thread::sleep_for(200ms);
        found = scan();
    }
    if (found) {
        log_cursor_ = next + 1;
        return met(c, t0);
    }
    notice_daemon_end();
    unmet(c, ended ? "the daemon is not running" : "not within " + time_text(c.time));
    show_log_after_cursor(indent_ + "  ");
    flush();
    return Outcome::Unmet;
}

void Engine::show_writes_list(const std::string &indent)
{
    auto w = d_.property_writes();
    if (w.empty())
        put(indent, "(none)");
    for (auto &p : w)
        put(indent, "pid " + std::to_string(p.pid) + ": " + sim::printable(p.name) + " = " + q(p.value) +
                        (p.status ? " (refused: " + std::to_string(p.status) + ")" : ""));
}

Outcome Engine::expect_write(const Command &c)
{
    auto t0 = Clock::now();
    size_t next = write_cursor_;
    bool ended = false, found = false;
    auto scan = [&] {
        auto w = d_.property_writes();
        for (; next < w.size(); ++next)
            if (w[next].pid == d_.daemon_pid() && w[next].name == c.a && w[next].value == c.b)
                return true;
        return false;
    };
    sim::Device::wait_until(
        [&] {
            if ((found = scan()))
                return true;
            // A daemon that has ended writes nothing more; it may have just before.
            ended = !daemon_running();
            return ended && (found = scan(), true);
        },
        c.time, 20ms);
    if (found) {
        write_cursor_ = next + 1;
        return met(c, t0);
    }
    notice_daemon_end();
    unmet(c, ended ? "the daemon is not running" : "not within " + time_text(c.time));
    put(indent_ + "  ", "the daemon's writes after the last one expected:");
    auto w = d_.property_writes();
    bool any = false;
    for (size_t i = write_cursor_; i < w.size(); ++i)
        if (w[i].pid == d_.daemon_pid()) {
            put(indent_ + "    ", sim::printable(w[i].name) + "=" + sim::printable(w[i].value));
            any = true;
        }
    if (!any)
        put(indent_ + "    ", "(none)");
    flush();
    return Outcome::Unmet;
}

void Engine::show_events(const std::string &indent)
{
    auto ev = d_.service_events();
    if (ev.empty())
        put(indent, "(none)");
    auto t0 = ev.empty() ? Clock::time_point{} : ev.front().time.steady();
    for (auto &e : ev) {
        char when[32];
        snprintf(when, sizeof when, "+%8.3f s  ", std::chrono::duration<double>(e.time.steady() - t0).count());
        put(indent, when + e.service + " " + e.state + (e.pid ? " (pid " + std::to_string(e.pid) + ")" : ""));
    }
}

Outcome Engine::expect_service(const Command &c)
{
    auto t0 = Clock::now();
    std::string now;
    bool found = sim::Device::wait_until(
        [&] {
            now = d_.service(c.a).state;
            return now == c.b;
        },
        c.time, 20ms);
    if (found)
        return met(c, t0);
    unmet(c, "init.svc." + c.a + " is " + (now.empty() ? "unset" : now) + " after " + time_text(c.time));
    std::vector<std::string> changes;
    for (auto &e : d_.service_events())
        if (e.service == c.a)
            changes.push_back(e.state + (e.pid ? " (pid " + std::to_string(e.pid) + ")" : ""));
    std::string list;
    for (size_t i = changes.size() > 8 ? changes.size() - 8 : 0; i < changes.size(); ++i)
        list += (list.empty() ? "" : ", ") + changes[i];
    put(indent_ + "  ", "its last changes: " + (list.empty() ? "(none)" : list));
    flush();
    return Outcome::Unmet;
}

Outcome Engine::expect_exit(const Command &c)
{
    auto t0 = Clock::now();
    if (d_.daemon_pid() <= 0)
        return unmet(c, "the daemon has not been started");
    auto ex = d_.wait_daemon_exit(c.time);
    sim::ExitStatus want{!c.by_signal, c.by_signal ? 0 : c.number, c.by_signal ? c.number : 0};
    if (ex && *ex == want) {
        notice_daemon_end();
        return met(c, t0);
    }
    if (!ex)
        return unmet(c, "the daemon (pid " + std::to_string(d_.daemon_pid()) + ") is still running after " +
                            time_text(c.time));
    unmet(c, "it ended otherwise");
    notice_daemon_end();
    return Outcome::Unmet;
}

Outcome Engine::expect_quiet(const Command &c)
{
    auto t0 = Clock::now();
    bool more = sim::Device::wait_until([&] { return d_.log().size() > log_cursor_; }, c.time, 10ms);
    if (!more)
        return met(c, t0);
    // Let the burst arrive, so that the whole of it is shown.
    d_.wait_log_quiet(150ms, 1s);
    unmet(c, "the daemon logged more");
    show_log_after_cursor(indent_ + "  ");
    flush();
    return Outcome::Unmet;
}

Outcome Engine::run(const Command &c)
{
    try {
        switch (c.op) {
        case Op::Plug:
            d_.plug();
            say("cable attached: CONNECTED, then CONFIGURED");
            break;
        case Op::Unplug:
            d_.unplug();
            say("cable pulled: DISCONNECTED");
            break;
        case Op::Usb:
            d_.set_usb_state(c.a);
            say("the state file reads " + q(c.a + "\n") + "; uevent USB_STATE=" + sim::printable(c.a) + " sent");
            break;
        case Op::Ports:
            d_.set_ports(c.number);
            say("serial_port_num now reads " + std::to_string(c.number));
            break;
        case Op::Uevent:
            d_.send_uevent(c.a);
            say("uevent sent: " + std::to_string(c.a.size()) + " bytes");
            break;
        case Op::Setprop: try { d_.setprop(c.a, c.b);
            } catch (const sim::Error &e) {
                // The property service's own word: an invalid name, a read-only property...
                std::string why = e.what();
                size_t r = why.find("refused");
                return fail("setprop " + q(c.a) + " " + q(c.b) + ": " + (r == std::string::npos ? why : why.substr(r)));
            }
            say(sim::printable(c.a) + " = " + q(c.b));
            break;
        case Op::Getprop: {
            auto v = d_.getprop(c.a);
            put(indent_, v ? q(*v) : "(unset)");
            break;
        }
        case Op::Service:
            d_.service(c.a); // throws for an unknown service
            d_.set_service_options(c.a, {c.flag, false});
            say(c.a + (c.flag ? " ignores" : " obeys") + " SIGTERM from its next start");
            break;
        case Op::Spawn: {
            pid_t p = d_.spawn_named(c.a, c.flag);
            say("process " + sim::printable(c.a) + " started, pid " + std::to_string(p) +
                (c.flag ? ", ignoring SIGTERM" : ""));
            break;
        }
        case Op::Kill: {
            auto pids = d_.pids_named(c.a);
            if (pids.empty())
                return fail("no process is named " + q(c.a));
            std::string list;
            for (pid_t p : pids) {
                d_.kill(p, c.number);
                list += (list.empty() ? "" : ", ") + std::to_string(p);
            }
            say("sent " + signal_name(c.number) + " to " + sim::printable(c.a) + " (pid " + list + ")");
            break;
        }
        case Op::Signal:
        case Op::Restart:
        case Op::Stop: {
            if (!daemon_running())
                return fail("the daemon is not running ('start' starts it)");
            int sig = c.op == Op::Signal ? c.number : c.op == Op::Restart ? SIGUSR2 : SIGTERM;
            d_.signal_daemon(sig);
            say("sent " + signal_name(sig) + " to the daemon (pid " + std::to_string(d_.daemon_pid()) + ")");
            if (c.op == Op::Stop && !d_.wait_daemon_exit(kStopWait))
                put(indent_, "the daemon (pid " + std::to_string(d_.daemon_pid()) + ") is still running " +
                                 time_text(kStopWait) + " after SIGTERM");
            break;
        }
        case Op::Start: {
            if (daemon_running())
                return fail("the daemon is already running (pid " + std::to_string(d_.daemon_pid()) + ")");
            pid_t p = d_.start_daemon();
            say("daemon started, pid " + std::to_string(p) + " inside the device");
            // A cable event sent before its uevent socket is bound would be lost.
            sim::Device::wait_until(
                [&] {
                    for (auto l : d_.uevent_listeners())
                        if (l == p)
                            return true;
                    return !daemon_running();
                },
                kStartWait, 10ms);
            break;
        }
        case Op::Wait: std::this_thread::sleep_for(c.time); break;
        case Op::ExpectLog: return expect_log(c);
        case Op::ExpectWrite: return expect_write(c);
        case Op::ExpectService: return expect_service(c);
        case Op::ExpectExit: return expect_exit(c);
        case Op::ExpectQuiet: return expect_quiet(c);
        case Op::Log:
            if ((c.flag ? v_.show_all_log(indent_) : v_.show_log(indent_)) == 0)
                put(indent_, "(no new log lines)");
            break;
        case Op::Writes: show_writes_list(indent_); break;
        case Op::Events: show_events(indent_); break;
        case Op::Services: v_.show_services(indent_); break;
        case Op::Ps:
            put(indent_, "  PID  PPID S NAME");
            for (auto &p : d_.ps()) {
                char b[64];
                snprintf(b, sizeof b, "%5d %5d %c ", int(p.pid), int(p.ppid), p.state);
                put(indent_, b + sim::printable(p.name));
            }
            break;
        case Op::Status:
            if (!v_.show_daemon_end(indent_) && d_.daemon_pid() > 0)
                put(indent_, "the daemon is running, pid " + std::to_string(d_.daemon_pid()));
            else if (d_.daemon_pid() <= 0)
                put(indent_, "the daemon has not been started");
            break;
        case Op::Help: fputs(kLanguageHelp, stdout); break;
        case Op::Quit: return Outcome::Quit;
        case Op::Say: put(indent_, c.a); break;
        case Op::Step: put(indent_, "== " + c.a); break;
        case Op::BootUsb:
        case Op::BootPorts:
        case Op::BootSetprop:
        case Op::BootService:
        case Op::BootDaemon:
            return fail("boot lines set a device up before it boots: they belong at the top of a story");
        }
    } catch (const sim::Error &e) {
        if (!d_.alive())
            throw;
        return fail(e.what());
    }
    flush();
    return Outcome::Done;
}

} // namespace tool
