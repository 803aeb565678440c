#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

#include <host_wire.h>
#include <unistd.h>

#include "e2e.h"

namespace e2e {

std::string quoted(const std::string &s)
{
    return "\"" + sim::printable(s, true) + "\"";
}

std::vector<std::string> texts(const std::vector<Line> &lines)
{
    std::vector<std::string> out;
    for (auto &l : lines) {
        EXPECT_FALSE(l.pattern) << "a pattern where an exact line is needed: " << quoted(l.text);
        out.push_back(l.text);
    }
    return out;
}

namespace {

std::string dump(const std::vector<sim::LogEntry> &log, size_t from)
{
    std::string o;
    for (size_t i = from; i < log.size(); ++i)
        o += "  [" + std::to_string(i) + "] " + log[i].tag + "/" + std::to_string(log[i].priority) + " " +
             quoted(log[i].message) + "\n";
    return o;
}

// How the daemon ended, when it has: lines it has not written by then never
// come, and the failure says why.
std::string ending(Device &d)
{
    auto st = d.daemon_status();
    if (d.daemon_pid() <= 0 || st.running || !st.exit)
        return "";
    return "the daemon has ended: " + st.exit->describe() + "\nits standard error:\n" + st.err;
}

// Waits for cond, or for the daemon's end and the last of its lines.
void wait_or_end(Device &d, const std::function<bool()> &cond, Millis timeout)
{
    bool ended = false;
    Device::wait_until(
        [&] {
            if (cond())
                return true;
            ended = d.daemon_pid() > 0 && !d.daemon_status().running;
            return ended;
        },
        timeout);
    if (ended)
        d.wait_log_quiet(100ms, 2s);
}

} // namespace

size_t expect_lines(Device &d, size_t from, const std::vector<Line> &want, Millis timeout)
{
    wait_or_end(
        d, [&] { return d.log().size() >= from + want.size(); }, timeout);
    const auto &log = d.log();
    std::string expected;
    for (auto &w : want)
        expected += std::string("  ") + (w.pattern ? "~ " : "") + quoted(w.text) + "\n";
    if (log.size() < from + want.size()) {
        ADD_FAILURE() << "log ended early; expected from [" << from << "]:\n"
                      << expected << "got:\n"
                      << dump(log, from) << ending(d);
        return log.size();
    }
    for (size_t i = 0; i < want.size(); ++i) {
        const auto &e = log[from + i];
        if (!want[i].matches(e.message) || e.tag != reactions::kTag || e.priority != reactions::kPriority ||
            !e.well_formed) {
            ADD_FAILURE() << "log line [" << from + i << "] differs; expected from [" << from << "]:\n"
                          << expected << "got:\n"
                          << dump(log, from) << ending(d);
            return from + want.size();
        }
    }
    return from + want.size();
}

void expect_no_more(Device &d, size_t n, Millis quiet)
{
    std::this_thread::sleep_for(quiet);
    const auto &log = d.log();
    EXPECT_EQ(log.size(), n) << "unexpected lines:\n" << dump(log, n);
}

size_t wait_line(Device &d, std::string_view text, size_t from, Millis timeout)
{
    std::optional<size_t> i;
    wait_or_end(
        d,
        [&] {
            i = d.wait_for_message(text, 0ms, from);
            return i.has_value();
        },
        timeout);
    if (!i)
        i = d.wait_for_message(text, 0ms, from);
    if (!i) {
        ADD_FAILURE() << "no line " << quoted(std::string(text)) << " from [" << from << "]; log:\n"
                      << dump(d.log(), from) << ending(d);
        return d.log().size();
    }
    return *i;
}

std::vector<std::string> daemon_writes(Device &d, size_t from)
{
    std::vector<std::string> out;
    auto w = d.property_writes();
    for (size_t i = from; i < w.size(); ++i)
        if (w[i].pid == d.daemon_pid())
            out.push_back(w[i].name + "=" + w[i].value);
    return out;
}

std::vector<std::string> messages(Device &d, size_t from, size_t to)
{
    const auto &log = d.log();
    std::vector<std::string> out;
    for (size_t i = from; i < to && i < log.size(); ++i)
        out.push_back(log[i].message);
    return out;
}

Writes writes_since(Device &d, size_t from)
{
    Writes out;
    auto all = d.property_writes();
    for (size_t i = from; i < all.size(); ++i)
        out.emplace_back(all[i].name, all[i].value);
    return out;
}

Writes as_writes(const std::vector<std::string> &name_values)
{
    Writes out;
    for (auto &nv : name_values) {
        size_t eq = nv.find('=');
        out.emplace_back(nv.substr(0, eq), nv.substr(eq + 1));
    }
    return out;
}

bool daemon_under_tsan()
{
    const char *env = getenv("DROVIK_E2E_TSAN");
    return env != nullptr && std::string(env) == "1";
}

int extra_threads(const sim::Options &o)
{
    const bool emulated = o.daemon_command.front().find("qemu") != std::string::npos;
    return (emulated ? 1 : 0) + (daemon_under_tsan() ? 1 : 0);
}

size_t expect_stop_lines(Device &d, size_t from, int sig)
{
    const Line thread_end = reactions::thread_end();
    const auto want = reactions::stop_lines(sig);
    auto lines = messages(d, from, d.log().size());
    auto first = std::find(lines.begin(), lines.end(), want.front().text);
    if (first == lines.end()) {
        ADD_FAILURE() << "no stop from [" << from << "]:\n" << dump(d.log(), from);
        return 0;
    }
    std::vector<std::string> stop{*first};
    size_t ends = 0;
    for (auto it = first + 1; it != lines.end(); ++it) {
        if (thread_end.matches(*it) && stop.size() > 1)
            ++ends;
        else
            stop.push_back(*it);
    }
    EXPECT_EQ(stop, texts(want)) << dump(d.log(), from);
    return ends;
}

double ms_between(const sim::LogEntry &a, const sim::LogEntry &b)
{
    return static_cast<double>(b.sent_ns() - a.sent_ns()) / 1e6;
}

void start_and_listen(Device &d)
{
    if (d.daemon_pid() == 0)
        d.start_daemon();
    ASSERT_TRUE(d.wait_daemon_listening(kReact)) << "the daemon never bound its uevent socket";
}

size_t wait_start_up_over(Device &d)
{
    start_and_listen(d);
    return d.wait_log_quiet(300ms, 5s);
}

std::string u32(uint32_t v)
{
    return std::string(reinterpret_cast<const char *>(&v), 4);
}
std::string set_msg(const std::string &n, const std::string &v)
{
    return u32(PROP_MSG_SETPROP2) + u32(uint32_t(n.size())) + n + u32(uint32_t(v.size())) + v;
}

// One connection to the device's property service from outside: sends the
// bytes, then reads everything until the service closes.
std::string prop_call(Device &d, const std::string &bytes)
{
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string path = d.host_path(PROPERTY_SOCKET);
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << strerror(errno);
    EXPECT_EQ(send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    shutdown(s, SHUT_WR);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(s, buf, sizeof buf)) > 0;)
        out.append(buf, size_t(n));
    close(s);
    return out;
}

std::string rc_file(const std::string &name, const std::string &text)
{
    const std::string path = testing::TempDir() + std::to_string(getpid()) + "-" + name;
    std::ofstream(path) << text;
    return path;
}

std::vector<std::string> unprivileged(const sim::Options &o, int threads)
{
    // A user of its own for each test program, so that no other process
    // counts against the limit.
    const std::string uid = std::to_string(40000 + getpid() % 20000);
    std::vector<std::string> argv = {"prlimit",        "--nproc=" + std::to_string(threads),
                                     "setpriv",        "--reuid=" + uid,
                                     "--regid=" + uid, "--clear-groups"};
    argv.insert(argv.end(), o.daemon_command.begin(), o.daemon_command.end());
    return argv;
}

} // namespace e2e
