// What the daemon's own /proc entries say of it, read from the host through
// the device's /proc.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "figures.h"

#include "sim/reactions.h"

namespace tool {
namespace {

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw sim::Error("cannot read " + path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The names in a folder of /proc, without . and ..
std::vector<std::string> entries(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        throw sim::Error("cannot list " + path);
    std::vector<std::string> out;
    while (const dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            out.emplace_back(e->d_name);
    closedir(dir);
    return out;
}

long status_field(const std::string &status, const std::string &key)
{
    size_t at = status.find("\n" + key + ":");
    if (at == std::string::npos)
        throw sim::Error("no " + key + " in the daemon's status");
    return strtol(status.c_str() + at + key.size() + 2, nullptr, 10);
}

} // namespace

DaemonFigures daemon_figures(sim::Device &d)
{
    const pid_t pid = d.daemon_pid();
    if (pid <= 0 || !d.daemon_status().running)
        throw sim::Error("the daemon is not running");
    const std::string dir = d.host_path("/proc/" + std::to_string(pid));
    DaemonFigures f;
    f.at = std::chrono::steady_clock::now();
    f.fds = static_cast<int>(entries(dir + "/fd").size());

    const std::string status = slurp(dir + "/status");
    f.threads = static_cast<int>(status_field(status, "Threads"));
    f.rss_kb = status_field(status, "VmRSS");

    // utime and stime are the 14th and 15th fields; the name before them may
    // hold spaces, so the count starts after its closing parenthesis.
    const std::string stat = slurp(dir + "/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    f.cpu_ticks_ms = static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));

    // The scheduler's run time is kept per thread, to the nanosecond.
    for (auto &tid : entries(dir + "/task")) {
        unsigned long long run_ns = 0, wait_ns = 0, slices = 0;
        std::istringstream s(slurp(dir + "/task/" + tid + "/schedstat"));
        if (s >> run_ns >> wait_ns >> slices) {
            f.on_cpu_ms += static_cast<double>(run_ns) / 1e6;
            f.runs += static_cast<long long>(slices);
        }
    }
    return f;
}

void wait_start_up(sim::Device &d)
{
    using namespace std::chrono_literals;
    bool started = false;
    sim::Device::wait_until(
        [&] {
            started = d.wait_for_message(sim::reactions::msg::start_service(), 0ms).has_value() &&
                      d.wait_daemon_listening(0ms);
            return started || !d.daemon_status().running;
        },
        10s);
    if (!started) {
        auto st = d.daemon_status();
        if (!st.running)
            throw sim::Error("the daemon has ended: " + (st.exit ? st.exit->describe() : std::string("?")) +
                             (st.err.empty() ? "" : "; its standard error:\n" + st.err));
        throw sim::Error("the daemon did not start mulgate and listen for uevents within 10 s");
    }
    d.wait_log_quiet(300ms, 5s);
}

} // namespace tool
