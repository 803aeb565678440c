// The executor of drovik-sim's language: carries one command out on a
// device through its verb, for the shell and for stories alike.
#include "engine.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <thread>

namespace tool {

using namespace std::chrono_literals;

namespace {

constexpr sim::Millis kStartWait = 10s; // until a started daemon listens for uevents
constexpr sim::Millis kStopWait = 10s;  // until a stopped daemon has ended

void put(const std::string &indent, const std::string &text)
{
    printf("%s%s\n", indent.c_str(), text.c_str());
}

std::string seconds(Engine::Clock::duration d)
{
    char b[32];
    snprintf(b, sizeof b, "%.2f s", std::chrono::duration<double>(d).count());
    return b;
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
    : on_step([this](const std::string &title) { put("== " + title); }), d_(d), v_(d), verbose_(verbose),
      indent_(std::move(indent))
{
}

Outcome Engine::run(const Command &c)
{
    current_ = &c;
    Outcome o;
    try {
        // Boot lines run before the device boots; on a running one they fail.
        o = c.verb->run ? c.verb->run(*this, c.args)
                        : fail("boot lines set a device up before it boots: they belong at the top of a story");
    } catch (const sim::Error &e) {
        if (!d_.alive())
            throw;
        o = fail(e.what());
    }
    current_ = nullptr;
    flush();
    return o;
}

Outcome Engine::start_daemon()
{
    if (daemon_running())
        return fail("the daemon is already running (pid " + std::to_string(d_.daemon_pid()) + ")");
    pid_t p = d_.start_daemon();
    say("daemon started, pid " + std::to_string(p) + " inside the device");
    // A cable event sent before its uevent socket is bound would be lost.
    sim::Device::wait_until([&] { return d_.wait_daemon_listening(0ms) || !daemon_running(); }, kStartWait, 10ms);
    return Outcome::Done;
}

Outcome Engine::start_service(const std::string &name)
{
    if (name == d_.options().daemon_service)
        return start_daemon();
    try {
        d_.setprop("ctl.start", name);
    } catch (const sim::Error &) {
        return fail("init has no service " + quoted_text(name));
    }
    say("init started " + name + ": " + d_.service(name).state + ", pid " + std::to_string(d_.service(name).pid));
    return Outcome::Done;
}

Outcome Engine::stop_service(const std::string &name)
{
    const bool daemon = name == d_.options().daemon_service;
    try {
        d_.setprop("ctl.stop", name);
    } catch (const sim::Error &) {
        return fail("init has no service " + quoted_text(name));
    }
    say("init stopped " + name);
    if (daemon && d_.daemon_pid() > 0 && !d_.wait_daemon_exit(kStopWait))
        put("the daemon (pid " + std::to_string(d_.daemon_pid()) + ") is still running " + time_text(kStopWait) +
            " after init's stop");
    return Outcome::Done;
}

bool Engine::daemon_running()
{
    return d_.daemon_pid() > 0 && d_.daemon_status().running;
}

bool Engine::notice_daemon_end()
{
    return v_.show_daemon_end(indent_);
}

void Engine::put(const std::string &text)
{
    tool::put(indent_, text);
}

void Engine::say(const std::string &text)
{
    if (verbose_) {
        put(text);
        flush();
    }
}

Outcome Engine::fail(const std::string &text)
{
    put("error: " + text);
    flush();
    return Outcome::Failed;
}

Outcome Engine::met(Clock::time_point t0)
{
    say("ok: " + current_->text() + " (" + seconds(Clock::now() - t0) + ")");
    return Outcome::Done;
}

Outcome Engine::unmet(const std::string &why)
{
    put("NOT MET: " + current_->text() + ": " + why);
    flush();
    return Outcome::Unmet;
}

} // namespace tool
