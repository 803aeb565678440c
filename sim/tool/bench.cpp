// `drovik-sim bench`: how fast the daemon reacts and what it costs, measured
// on fresh devices; and `--device-helper lookup`, the part of it that runs
// inside a device.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <set>
#include <sstream>
#include <thread>

#include "tool.h"
#include "util/proc_lookup.h"

extern char **environ;

namespace tool {

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double ms_since(int64_t from_ns, int64_t to_ns)
{
    return static_cast<double>(to_ns - from_ns) / 1e6;
}

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

sim::Options bench_device(const Settings &s)
{
    sim::Options o;
    o.usb_state = "CONFIGURED\n";
    o.serial_port_num = "1\n";
    o.daemon_command = s.daemon;
    // As on Android: a service that ends by itself is started again after
    // about 5 s, so a restart sees its own SIGTERM end mulgate.
    o.restart_delay = 5s;
    return o;
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
    const std::string first = "zel_handle_monitor_usb_loop usb_status:[USB_STATE=DISCONNECTED]";
    const std::string last = "sprue_start_by_prop return:0.";
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
            if (w[k].pid == d.daemon_pid() && w[k].name == "ctl.stop" && w[k].value == "mulgate") {
                r.stop_write_ms.push_back(ms_since(t0, w[k].time.monotonic_ns));
                break;
            }
        need(r.first_line_ms.size() == static_cast<size_t>(i + 1) && r.stop_write_ms.size() == r.first_line_ms.size(),
             "DISCONNECTED number " + std::to_string(i + 1) + " did not give its first line and its ctl.stop");
        std::this_thread::sleep_for(20ms);
    }
    return r;
}

// SIGUSR2 to "restart_service end.", with mulgate running or stopped.
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
    auto end = wait_message(d, "restart_service end.", from, 15s);
    need(d, end.has_value(), "a restart did not end");
    const std::string path = mulgate_running ? "mulgate is running." : "mulgate is not run.";
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

// Medians of one lookup's wall-clock and CPU time.
struct Cost {
    double wall_ms = 0;
    double cpu_ms = 0;
};

struct Lookup {
    int processes = 0;
    int reps = 0;
    Cost monitor; // isProcessRunningEx, as a DISCONNECTED calls it
    Cost restart; // isProgramRunning, as a restart calls it
    Cost pidof;
    double kernel_share = 0; // of the daemon lookups' CPU time
};

std::string self_exe()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        throw sim::Error("cannot find the tool's own program");
    return std::string(buf, static_cast<size_t>(n));
}

// A device without logd or daemon, with one sleep and `fillers` processes
// more; this tool's helper times the daemon's lookups of "sleep" there, and
// pidof's, each its median of `reps`. The sleep is a program of its own: the
// pidof of Debian 12 (sysvinit-utils) goes by a process's command line first,
// and the device's stand-ins carry the name of the program they were forked
// from there.
Lookup time_lookup(const Settings &s, int fillers, int reps)
{
    sim::Options o = bench_device(s);
    o.start_daemon = false;
    o.logd = false;
    sim::Device d(o);
    DeviceGuard guard(d);
    const pid_t sleeper = d.start_job({"/bin/sleep", "100000"});
    for (int i = 0; i < fillers; ++i)
        d.spawn_named("filler");
    Lookup l;
    l.processes = static_cast<int>(d.ps().size());
    l.reps = reps;
    pid_t job = d.start_job({self_exe(), "--device-helper", "lookup", "sleep", std::to_string(reps)});
    auto st = d.wait_job(job, 300s);
    need(st.has_value(), "the lookup helper did not end");
    need(st->exit && st->exit->exited && st->exit->code == 0,
         "the lookup helper failed (" + (st->exit ? st->exit->describe() : "?") + "): " + st->out + st->err);
    std::istringstream out(st->out);
    std::string key;
    std::map<std::string, std::string> found;
    while (out >> key) {
        std::string rest;
        std::getline(out, rest);
        if (key == "ms") {
            std::istringstream r(rest);
            std::string what;
            Cost c;
            r >> what >> c.wall_ms >> c.cpu_ms;
            (what == "isProcessRunningEx" ? l.monitor : what == "isProgramRunning" ? l.restart : l.pidof) = c;
        } else if (key == "kernel") {
            l.kernel_share = std::stod(rest);
        } else if (key == "found") {
            std::istringstream r(rest);
            std::string who;
            r >> who;
            std::set<int> pids;
            for (int p; r >> p;)
                pids.insert(p);
            std::string list;
            for (int p : pids)
                list += std::to_string(p) + " ";
            found[who] = list;
        }
    }
    const std::string want = std::to_string(sleeper) + " ";
    for (const char *who : {"find_pid_by_name", "findPidByNameEx", "pidof"})
        need(found[who] == want, std::string(who) + " found \"" + found[who] + "\", not the sleep's " + want);
    return l;
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
        sim::Device d(bench_device(s));
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

// ---- inside the device

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double tv_ms(const timeval &tv)
{
    return static_cast<double>(tv.tv_sec) * 1e3 + static_cast<double>(tv.tv_usec) / 1e3;
}

int64_t thread_cpu_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Runs pidof NAME with its output into fd; its exit status, and the CPU
// time it took.
int run_pidof(const char *name, int out_fd, double *cpu_ms = nullptr)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    char *argv[] = {const_cast<char *>("pidof"), const_cast<char *>(name), nullptr};
    pid_t pid = 0;
    int r = posix_spawnp(&pid, "pidof", &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (r != 0)
        return -1;
    int status = 0;
    rusage ru{};
    while (wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
    }
    if (cpu_ms)
        *cpu_ms = tv_ms(ru.ru_utime) + tv_ms(ru.ru_stime);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// lookup NAME REPS: the pids each lookup finds ("found WHO PID..."), then
// the median wall-clock and CPU time of each ("ms WHO WALL CPU"), the three
// taking turns.
int lookup_helper(const char *name, int reps)
{
    // Without logd the daemon's log goes to standard error: nowhere, here.
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0 || dup2(null_fd, 2) < 0)
        return 3;

    int pids[128] = {};
    find_pid_by_name(name, pids, 128);
    printf("found find_pid_by_name");
    for (int i = 0; i < 128 && pids[i] != 0; ++i)
        printf(" %d", pids[i]);
    int ex[32] = {};
    findPidByNameEx(name, ex, 32);
    printf("\nfound findPidByNameEx");
    for (int i = 0; i < 32 && ex[i] != 0; ++i)
        printf(" %d", ex[i]);
    printf("\nfound pidof ");
    fflush(stdout);
    if (run_pidof(name, 1) != 0)
        return 4;

    std::vector<double> wall[3], cpu[3];
    double user_ms = 0, system_ms = 0;
    for (int i = 0; i < reps; ++i) {
        rusage r0{}, r1{};
        getrusage(RUSAGE_THREAD, &r0);
        int64_t t0 = now_ns(), c0 = thread_cpu_ns();
        int found[32];
        if (isProcessRunningEx(name, found, 32) != 0)
            return 5;
        int64_t t1 = now_ns(), c1 = thread_cpu_ns();
        if (isProgramRunning(name) != 0)
            return 5;
        int64_t t2 = now_ns(), c2 = thread_cpu_ns();
        getrusage(RUSAGE_THREAD, &r1);
        user_ms += tv_ms(r1.ru_utime) - tv_ms(r0.ru_utime);
        system_ms += tv_ms(r1.ru_stime) - tv_ms(r0.ru_stime);
        double pidof_cpu = 0;
        if (run_pidof(name, null_fd, &pidof_cpu) != 0)
            return 4;
        int64_t t3 = now_ns();
        wall[0].push_back(ms_since(t0, t1));
        wall[1].push_back(ms_since(t1, t2));
        wall[2].push_back(ms_since(t2, t3));
        cpu[0].push_back(ms_since(c0, c1));
        cpu[1].push_back(ms_since(c1, c2));
        cpu[2].push_back(pidof_cpu);
    }
    const char *names[] = {"isProcessRunningEx", "isProgramRunning", "pidof"};
    for (int k = 0; k < 3; ++k)
        printf("ms %s %.4f %.4f\n", names[k], median(wall[k]), median(cpu[k]));
    printf("kernel %.4f\n", system_ms / (user_ms + system_ms));
    return fflush(stdout) == 0 ? 0 : 3;
}

} // namespace

int device_helper(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[0], "lookup") == 0 && atoi(argv[2]) > 0)
        return lookup_helper(argv[1], atoi(argv[2]));
    fprintf(stderr, "drovik-sim --device-helper: lookup NAME REPS\n");
    return 2;
}

} // namespace tool
