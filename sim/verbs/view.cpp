// The verbs that show what happened in the device, and the shell's help and quit.
#include <cstdio>

#include "lang/engine.h"

namespace tool {
namespace {

Outcome show_log_lines(Engine &e, const Values &v)
{
    Viewer &view = e.viewer();
    if ((v[0].given ? view.show_all_log(e.indent()) : view.show_log(e.indent())) == 0)
        e.put("(no new log lines)");
    return Outcome::Done;
}

Outcome show_writes(Engine &e, const Values &)
{
    auto w = e.device().property_writes();
    if (w.empty())
        e.put("(none)");
    for (auto &p : w)
        e.put("pid " + std::to_string(p.pid) + ": " + sim::printable(p.name) + " = " + quoted_text(p.value) +
              (p.status ? " (refused: " + std::to_string(p.status) + ")" : ""));
    return Outcome::Done;
}

Outcome show_events(Engine &e, const Values &)
{
    auto ev = e.device().service_events();
    if (ev.empty())
        e.put("(none)");
    auto t0 = ev.empty() ? Engine::Clock::time_point{} : ev.front().time.steady();
    for (auto &x : ev) {
        char when[32];
        snprintf(when, sizeof when, "+%8.3f s  ", std::chrono::duration<double>(x.time.steady() - t0).count());
        e.put(when + x.service + " " + x.state + (x.pid ? " (pid " + std::to_string(x.pid) + ")" : ""));
    }
    return Outcome::Done;
}

Outcome show_processes(Engine &e, const Values &)
{
    e.put("  PID  PPID S   UID   GID GROUPS     NAME");
    for (auto &p : e.device().ps()) {
        std::string groups;
        for (gid_t g : p.groups)
            groups += (groups.empty() ? "" : ",") + std::to_string(g);
        char b[96];
        snprintf(b, sizeof b, "%5d %5d %c %5u %5u %-10s ", int(p.pid), int(p.ppid), p.state, unsigned(p.uid),
                 unsigned(p.gid), groups.empty() ? "-" : groups.c_str());
        e.put(b + sim::printable(p.name));
    }
    return Outcome::Done;
}

Outcome show_status(Engine &e, const Values &)
{
    sim::Device &d = e.device();
    d.follow_daemon();
    if (d.daemon_pid() <= 0) {
        e.put("the daemon has not been started");
        return Outcome::Done;
    }
    auto st = d.daemon_status();
    if (st.running)
        e.put("the daemon is running, pid " + std::to_string(d.daemon_pid()));
    else if (e.viewer().end_shown() == d.daemon_pid()) // told once with its output; now its end alone
        e.put("the daemon (pid " + std::to_string(d.daemon_pid()) +
              ") has ended: " + (st.exit ? st.exit->describe() : "?"));
    else
        e.viewer().show_daemon_end(e.indent());
    return Outcome::Done;
}

Outcome show_services(Engine &e, const Values &)
{
    e.viewer().show_services(e.indent());
    return Outcome::Done;
}

Outcome help(Engine &, const Values &)
{
    fputs(language_help().c_str(), stdout);
    return Outcome::Done;
}

Outcome quit(Engine &, const Values &)
{
    return Outcome::Quit;
}

const Verb kVerbs[] = {
    {"log",
     Section::View,
     {arg::flag("all")},
     "log [all]",
     "the log lines since the last 'log' (or all of them)",
     show_log_lines},
    {"writes", Section::View, {}, "writes", "every property write made inside the device", show_writes},
    {"events", Section::View, {}, "events", "every change of the services' states", show_events},
    {"services", Section::View, {}, "services", "the services' states now (init.svc.*)", show_services},
    {"ps", Section::View, {}, "ps", "the device's processes", show_processes},
    {"status", Section::View, {}, "status", "is the daemon running, or how did it end", show_status},
    {"help", Section::View, {}, "help", "this text", help, nullptr, false},
    {"quit", Section::View, {}, "quit", "tear the device down and leave (also end of input, Ctrl-C)", quit},
    {"exit", Section::View, {}, "exit", "", quit},
};

} // namespace

std::span<const Verb> view_verbs()
{
    return kVerbs;
}

} // namespace tool
