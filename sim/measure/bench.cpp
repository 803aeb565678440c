// `drovik-sim bench`: how fast the daemon reacts and what it costs, measured
// on fresh devices (its process lookup: lookup.cpp).
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>

#include "figures.h"
#include "lookup.h"
#include "sim/reactions.h"
#include "tool/commands.h"
#include "tool/guard.h"

namespace tool {

using namespace std::chrono_literals;

namespace {

namespace msg = sim::reactions::msg;

void progress(const std::string &what)
{
    fprintf(stderr, "bench: %s\n", what.c_str());
}

// Nearest-rank percentiles: p99 of 300 samples is the 297th smallest.
struct Spread {
    size_t n = 0;
    double p50 = 0, p99 = 0, max = 0;
};

Spread spread(std::vector<double> v)
{
    Spread s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    auto rank = [&](double p) {
        size_t k = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())));
        return v[std::clamp<size_t>(k, 1, v.size()) - 1];
    };
    s.n = v.size();
    s.p50 = rank(0.50);
    s.p99 = rank(0.99);
    s.max = v.back();
    return s;
}

// Polls the log every millisecond for a line with this text at or after `from`.
std::optional<size_t> wait_message(sim::Device &d, const std::string &text, size_t from, sim::Millis timeout)
{
    std::optional<size_t> found;
    sim::Device::wait_until(
        [&] {
            const auto &log = d.log();
            for (size_t i = from; i < log.size(); ++i)
                if (log[i].message == text) {
                    found = i;
                    return true;
                }
            return false;
        },
        timeout, 1ms);
    return found;
}

void need(bool ok, const std::string &what)
{
    if (!ok)
        throw sim::Error(what);
}

// The same for what the daemon should have done, saying so when it has ended.
void need(sim::Device &d, bool ok, const std::string &what)
{
    if (ok)
        return;
    auto st = d.daemon_status();
    if (!st.running && st.exit)
        throw sim::Error(what + ": the daemon has ended, " + st.exit->describe());
    throw sim::Error(what);
}

struct Reaction {
    std::vector<double> first_line_ms, stop_write_ms;
};

// DISCONNECTED, one at a time: from the moment the tool hands the uevent to
// the device's init to logd's receipt of the daemon's first line, and to the
// property service's receipt of its ctl.stop. Each waits for the reaction's
// last line and the daemon's 10 ms pause after it, so that no datagram waits
// in its 1024-byte receive buffer.
Reaction time_disconnects(sim::Device &d, int samples)
{
    const std::string first = msg::usb_status("USB_STATE=DISCONNECTED");
    const std::string last = msg::switch_done();
    Reaction r;
    unsigned seqnum = 5000;
    for (int i = 0; i < samples; ++i) {
        const size_t from = d.log().size();
        const size_t writes_from = d.property_writes().size();
        const int64_t t0 = now_ns();
        d.send_uevent(sim::Device::usb_uevent("DISCONNECTED", seqnum++));
        auto end = wait_message(d, last, from, 10s);
        need(d, end.has_value(), "no reaction to DISCONNECTED number " + std::to_string(i + 1));
        const auto &log = d.log();
        for (size_t k = from; k <= *end; ++k)
            if (log[k].message == first) {
                r.first_line_ms.push_back(ms_since(t0, log[k].received.monotonic_ns));
                break;
            }
        auto w = d.property_writes();
        for (size_t k = writes_from; k < w.size(); ++k)
            if (w[k].pid == d.daemon_pid() && w[k].name + "=" + w[k].value == sim::reactions::writes::kStopMulgate) {
                r.stop_write_ms.push_back(ms_since(t0, w[k].time.monotonic_ns));
                break;
            }
        need(r.first_line_ms.size() == static_cast<size_t>(i + 1) && r.stop_write_ms.size() == r.first_line_ms.size(),
             "DISCONNECTED number " + std::to_string(i + 1) + " did not give its first line and its ctl.stop");
        std::this_thread::sleep_for(20ms);
    }
    return r;
}

// SIGUSR2 to the restart's last line, with mulgate running or stopped.
double time_restart(sim::Device &d, bool mulgate_running)
{
    const std::string want = mulgate_running ? "running" : "stopped";
    if (d.service("mulgate").state != want) {
        d.setprop(mulgate_running ? "ctl.start" : "ctl.stop", "mulgate");
        need(d.wait_service_state("mulgate", want, 5s), "mulgate did not become " + want);
    }
    d.wait_log_quiet(200ms, 3s);
    const size_t from = d.log().size();
    const int64_t t0 = now_ns();
    d.signal_daemon(SIGUSR2);
    auto end = wait_message(d, msg::restart_end(), from, 15s);
    need(d, end.has_value(), "a restart did not end");
    const std::string path = mulgate_running ? msg::mulgate_running() : msg::mulgate_not_running();
    need(wait_message(d, path, from, 0ms).has_value(), "the restart did not say \"" + path + "\"");
    return ms_since(t0, d.log()[*end].received.monotonic_ns);
}

struct Idle {
    double seconds = 0;
    double cpu_ticks_percent = 0;
    double on_cpu_percent = 0;
    double runs_per_second = 0;
    DaemonFigures at_end;
};

Idle time_idle(sim::Device &d, std::chrono::seconds span)
{
    DaemonFigures a = daemon_figures(d);
    std::this_thread::sleep_for(span);
    DaemonFigures b = daemon_figures(d);
    Idle i;
    i.seconds = std::chrono::duration<double>(b.at - a.at).count();
    i.cpu_ticks_percent = (b.cpu_ticks_ms - a.cpu_ticks_ms) / (i.seconds * 10.0);
    i.on_cpu_percent = (b.on_cpu_ms - a.on_cpu_ms) / (i.seconds * 10.0);
    i.runs_per_second = static_cast<double>(b.runs - a.runs) / i.seconds;
    i.at_end = b;
    return i;
}

std::string fixed(double v, int decimals)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string spread_json(const Spread &s)
{
    return "{\"p50\": " + fixed(s.p50, 3) + ", \"p99\": " + fixed(s.p99, 3) + ", \"max\": " + fixed(s.max, 3) +
           ", \"samples\": " + std::to_string(s.n) + "}";
}

} // namespace

int run_bench(const Settings &s, const BenchSettings &b)
{
    Spread first, stop, with, without;
    Idle idle;
    Lookup lookup;
    {
        progress("booting a device with the cable configured");
        sim::Device d(tool_device(s));
        DeviceGuard guard(d);
        wait_start_up(d);
        progress("idle for 5 s");
        idle = time_idle(d, 5s);
        progress(std::to_string(b.samples) + " DISCONNECTED uevents");
        Reaction r = time_disconnects(d, b.samples);
        first = spread(r.first_line_ms);
        stop = spread(r.stop_write_ms);
        progress("restarts (SIGUSR2), three with mulgate running and three without");
        std::vector<double> w, wo;
        for (int i = 0; i < 3; ++i) {
            w.push_back(time_restart(d, true));
            wo.push_back(time_restart(d, false));
        }
        with = spread(w);
        without = spread(wo);
    }
    progress("the process lookup at " + std::to_string(b.fillers) + " extra processes");
    lookup = time_lookup(s, b.fillers, 51);

    const DaemonFigures &f = idle.at_end;
    const Lookup &l = lookup;
    auto cost_json = [&](const Cost &c, bool ratio) {
        std::string j = "{\"wall_ms\": " + fixed(c.wall_ms, 3) + ", \"cpu_ms\": " + fixed(c.cpu_ms, 3);
        if (ratio)
            j += ", \"wall_ratio\": " + fixed(c.wall_ms / l.pidof.wall_ms, 3) +
                 ", \"cpu_ratio\": " + fixed(c.cpu_ms / l.pidof.cpu_ms, 3);
        return j + "}";
    };
    if (b.json) {
        printf("{\n"
               "  \"uevent_to_first_line_ms\": %s,\n"
               "  \"uevent_to_ctl_stop_ms\": %s,\n"
               "  \"restart_with_mulgate_ms\": %s,\n"
               "  \"restart_without_mulgate_ms\": %s,\n"
               "  \"idle\": {\"seconds\": %.2f, \"cpu_percent_utime_stime\": %.3f, \"cpu_percent_schedstat\": %.4f, "
               "\"runs_per_second\": %.1f},\n"
               "  \"rss_kb\": %ld,\n"
               "  \"threads\": %d,\n"
               "  \"descriptors\": %d,\n"
               "  \"lookup\": {\"processes\": %d, \"repetitions\": %d,\n"
               "    \"isProcessRunningEx\": %s,\n"
               "    \"isProgramRunning\": %s,\n"
               "    \"pidof\": %s,\n"
               "    \"kernel_share\": %.3f}\n"
               "}\n",
               spread_json(first).c_str(), spread_json(stop).c_str(), spread_json(with).c_str(),
               spread_json(without).c_str(), idle.seconds, idle.cpu_ticks_percent, idle.on_cpu_percent,
               idle.runs_per_second, f.rss_kb, f.threads, f.fds, l.processes, l.reps,
               cost_json(l.monitor, true).c_str(), cost_json(l.restart, true).c_str(),
               cost_json(l.pidof, false).c_str(), l.kernel_share);
    } else {
        auto row = [](const char *what, const Spread &s, int decimals) {
            printf("  %-38s %9s %9s %9s %7zu\n", what, fixed(s.p50, decimals).c_str(), fixed(s.p99, decimals).c_str(),
                   fixed(s.max, decimals).c_str(), s.n);
        };
        printf("drovik-sim bench\n\n");
        printf("  %-38s %9s %9s %9s %7s\n", "reaction (ms)", "p50", "p99", "max", "samples");
        row("uevent to first log line", first, 3);
        row("uevent to ctl.stop write", stop, 3);
        row("restart (SIGUSR2), mulgate running", with, 0);
        row("restart (SIGUSR2), mulgate stopped", without, 0);
        printf("\n  idle, over %.1f s\n", idle.seconds);
        printf("  %-38s %9.3f %%\n", "CPU, utime+stime", idle.cpu_ticks_percent);
        printf("  %-38s %9.4f %%\n", "CPU, schedstat run time", idle.on_cpu_percent);
        printf("  %-38s %9.1f\n", "times on a CPU per second", idle.runs_per_second);
        printf("  %-38s %9ld kB\n", "VmRSS", f.rss_kb);
        printf("  %-38s %9d\n", "threads", f.threads);
        printf("  %-38s %9d\n", "open descriptors", f.fds);
        printf("\n  process lookup, %d processes in the device, median of %d\n", l.processes, l.reps);
        printf("  %-38s %9s %9s %9s %9s\n", "", "wall ms", "x pidof", "CPU ms", "x pidof");
        auto lookup_row = [&](const char *what, const Cost &c) {
            printf("  %-38s %9.3f %9.3f %9.3f %9.3f\n", what, c.wall_ms, c.wall_ms / l.pidof.wall_ms, c.cpu_ms,
                   c.cpu_ms / l.pidof.cpu_ms);
        };
        lookup_row("isProcessRunningEx (USB monitor)", l.monitor);
        lookup_row("isProgramRunning (restart)", l.restart);
        printf("  %-38s %9.3f %9s %9.3f\n", "pidof", l.pidof.wall_ms, "", l.pidof.cpu_ms);
        printf("  %-38s %9.1f %%\n", "the lookups' CPU time in the kernel", l.kernel_share * 100);
    }
    flush();
    return 0;
}

} // namespace tool
