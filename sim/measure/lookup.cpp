// The bench's process lookup, on the host side (a crowded device, the
// helper's figures read back) and inside the device (the helper itself).
#include "lookup.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "tool/guard.h"
#include "util/proc_lookup.h"

extern char **environ;

namespace tool {

using namespace std::chrono_literals;

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double ms_since(int64_t from_ns, int64_t to_ns)
{
    return static_cast<double>(to_ns - from_ns) / 1e6;
}

namespace {

void need(bool ok, const std::string &what)
{
    if (!ok)
        throw sim::Error(what);
}

std::string self_exe()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        throw sim::Error("cannot find the tool's own program");
    return std::string(buf, static_cast<size_t>(n));
}

} // namespace

// A device without logd or daemon, with one sleep and `fillers` processes
// more; this tool's helper times the daemon's lookups of "sleep" there, and
// pidof's, each its median of `reps`. The sleep is a program of its own: the
// pidof of Debian 12 (sysvinit-utils) goes by a process's command line first,
// and the device's stand-ins carry the name of the program they were forked
// from there.
Lookup time_lookup(const Settings &s, int fillers, int reps)
{
    sim::Options o = tool_device(s);
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
