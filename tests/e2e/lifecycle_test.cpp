// The daemon's threads against peers that do not answer: a stop never waits
// for another thread's call, a stop signal is taken whatever every thread is
// doing, and a process allowed one thread beyond main spends it on the
// monitor.
#include "e2e.h"

#include <gmock/gmock.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kPropertySocket = "/dev/socket/property_service";
constexpr const char *kMovedSocket = "/dev/socket/property_service.served";

// A listening socket at the device's property service path, in place of
// the device's own, which is moved aside.
int listen_in_place_of_property_service(Device &d, int backlog)
{
    const std::string path = d.host_path(kPropertySocket);
    if (rename(path.c_str(), d.host_path(kMovedSocket).c_str()) != 0)
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || chmod(path.c_str(), 0666) != 0 ||
        listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool read_exactly(int fd, void *p, size_t n)
{
    auto *c = static_cast<char *>(p);
    while (n > 0) {
        ssize_t r = read(fd, c, n);
        if (r <= 0)
            return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// One length-prefixed text of a request, appended to `raw`.
bool read_text(int fd, std::string &raw, std::string &text)
{
    uint32_t len = 0;
    if (!read_exactly(fd, &len, 4) || len > 4096)
        return false;
    text.resize(len);
    if (len > 0 && !read_exactly(fd, text.data(), len))
        return false;
    raw.append(reinterpret_cast<const char *>(&len), 4).append(text);
    return true;
}

// Stands between the daemon and the device's property service and keeps
// chosen requests unanswered, for a while or for good, while it passes every
// other on at once: what a property service that is stuck on one request but
// not on the next would do. The device still records what reaches it.
class PropertyProxy {
public:
    explicit PropertyProxy(Device &d) : served_(d.host_path(kMovedSocket))
    {
        fd_ = listen_in_place_of_property_service(d, 64);
        EXPECT_GE(fd_, 0) << strerror(errno);
        accepting_ = std::thread([this] { accept_loop(); });
    }
    ~PropertyProxy()
    {
        {
            std::lock_guard lk(mu_);
            ending_ = true;
        }
        cv_.notify_all();
        accepting_.join();
        for (auto &t : serving_)
            t.join();
        close(fd_);
    }
    PropertyProxy(const PropertyProxy &) = delete;
    PropertyProxy &operator=(const PropertyProxy &) = delete;

    // Requests for this property (a read, or a write) are held for `hold`,
    // or until the proxy ends when that is zero.
    void hold(std::string name, bool write, Millis hold)
    {
        std::lock_guard lk(mu_);
        name_ = std::move(name);
        write_ = write;
        hold_ = hold;
    }
    // Waits until a request is held.
    bool wait_held(Millis timeout)
    {
        std::unique_lock lk(mu_);
        return cv_.wait_for(lk, timeout, [&] { return held_ > 0; });
    }

private:
    void accept_loop()
    {
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const bool ready = poll(&p, 1, 20) == 1;
            std::lock_guard lk(mu_);
            if (ending_)
                return;
            int c = ready ? accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (c >= 0)
                serving_.emplace_back([this, c] { serve(c); });
        }
    }

    void serve(int c)
    {
        uint32_t cmd = 0;
        std::string raw, name, value;
        bool ok = read_exactly(c, &cmd, 4) && read_text(c, raw, name);
        const bool write = cmd == 0x00020001;
        if (ok && write)
            ok = read_text(c, raw, value);
        if (ok && held(name, write))
            ok = forward(c, cmd, raw, write);
        close(c);
    }

    // Holds a request that matches; false when the proxy ends first.
    bool held(const std::string &name, bool write)
    {
        std::unique_lock lk(mu_);
        if (name != name_ || write != write_)
            return true;
        ++held_;
        cv_.notify_all();
        auto until = [&] { return ending_; };
        if (hold_ == 0ms)
            cv_.wait(lk, until);
        else
            cv_.wait_for(lk, hold_, until);
        return !ending_;
    }

    bool forward(int c, uint32_t cmd, const std::string &raw, bool write)
    {
        int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", served_.c_str());
        bool ok = connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
                  send(s, &cmd, 4, MSG_NOSIGNAL) == 4 &&
                  send(s, raw.data(), raw.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(raw.size());
        uint32_t head = 0;
        std::string reply;
        ok = ok && read_exactly(s, &head, 4);
        if (ok && !write) {
            reply.resize(head);
            ok = head == 0 || read_exactly(s, reply.data(), head);
        }
        close(s);
        return ok && send(c, &head, 4, MSG_NOSIGNAL) == 4 &&
               send(c, reply.data(), reply.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(reply.size());
    }

    const std::string served_;
    int fd_ = -1;
    std::mutex mu_;
    std::condition_variable cv_;
    bool ending_ = false;
    std::string name_;
    bool write_ = false;
    Millis hold_{0};
    int held_ = 0;
    std::thread accepting_;
    std::vector<std::thread> serving_;
};

// When the entry with this message was received, after t0.
Millis received_after(Device &d, size_t index, Clock::time_point t0)
{
    return std::chrono::duration_cast<Millis>(d.log()[index].received.steady() - t0);
}

TEST(Lifecycle, AStopDoesNotWaitForAnotherThreadsCall)
{
    // The monitor polls init.svc.mulgate after a CONFIGURED event while
    // mulgate runs; the property service never answers that read but
    // answers everything else. The stop says its first line within a second
    // and its two writes follow at once.
    {
        Device d(device_with("CONNECTED\n"));
        wait_start_up_over(d);
        d.setprop("ctl.start", "mulgate");
        ASSERT_TRUE(d.wait_service_state("mulgate", "running", 3s));
        PropertyProxy proxy(d);
        proxy.hold("init.svc.mulgate", false, 0ms);
        d.set_usb_state("CONFIGURED");
        ASSERT_TRUE(proxy.wait_held(kReact)) << "the monitor never read the service's state";
        const size_t from = d.wait_log_quiet(200ms, 3s);
        const size_t writes = d.property_writes().size();
        const auto t0 = Clock::now();
        d.signal_daemon(SIGTERM);
        auto status = d.wait_daemon_exit(reactions::kStopBound + 1s);
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, kExitZero) << status->describe();
        EXPECT_LT(Clock::now() - t0, 2s) << "the stop waited for the monitor's read";
        d.wait_log_quiet(100ms, 2s);
        const size_t first = wait_line(d, msg::signal(SIGTERM), from, 0ms);
        ASSERT_LT(first, d.log().size());
        EXPECT_LT(received_after(d, first, t0), 1s);
        expect_stop_lines(d, from, SIGTERM);
        const auto w = d.property_writes();
        ASSERT_EQ(writes_since(d, writes), as_writes(writes::stop()));
        EXPECT_LT(w.back().time.steady() - t0, 1s);
    }

    // The monitor's ctl.start is on its way when the stop begins: the stop
    // lets it arrive first, so that no start follows the stop's ctl.stop.
    {
        Device d(device_with("CONNECTED\n"));
        wait_start_up_over(d);
        PropertyProxy proxy(d);
        proxy.hold("ctl.start", true, 300ms);
        d.set_usb_state("CONFIGURED");
        ASSERT_TRUE(proxy.wait_held(kReact)) << "the monitor never asked for mulgate";
        const size_t writes = d.property_writes().size();
        d.signal_daemon(SIGTERM);
        auto status = d.wait_daemon_exit(reactions::kStopBound + 1s);
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, kExitZero) << status->describe();
        EXPECT_EQ(writes_since(d, writes),
                  as_writes({writes::kStartMulgate, writes::kStopSprue, writes::kStopMulgate}));
        EXPECT_TRUE(d.wait_service_state("mulgate", "stopped", 3s));
    }
}

// A SIGTERM to a daemon whose every thread is inside a call that does not
// come back: the stop is taken at once (its first line within a second),
// and the process ends with status 0 within the stop's bound.
void expect_stop_taken(Device &d, size_t from)
{
    const auto t0 = Clock::now();
    d.signal_daemon(SIGTERM);
    const size_t first = wait_line(d, msg::signal(SIGTERM), from, 3s);
    ASSERT_LT(first, d.log().size()) << "the stop signal was not taken";
    EXPECT_LT(received_after(d, first, t0), 1s);
    auto status = d.wait_daemon_exit(reactions::kStopBound + 2s);
    ASSERT_TRUE(status) << "alive after the stop's bound";
    EXPECT_EQ(*status, kExitZero) << status->describe();
    EXPECT_LT(Clock::now() - t0, reactions::kStopBound + 1500ms);
}

TEST(Lifecycle, AStopSignalIsTakenInEveryState)
{
    // A property service that takes each request and never answers:
    // start-up waits in its read of the switch; a restart request comes on
    // top, whose own calls wait as well.
    sim::Options silent = quiet_device();
    silent.property_delay = 60s;
    Device a(silent);
    const pid_t pid = a.start_daemon();
    wait_line(a, msg::pid(pid), 0);
    std::this_thread::sleep_for(200ms);
    a.signal_daemon(SIGUSR2);
    std::this_thread::sleep_for(300ms);

    // The same service once start-up is over: a restart waits in its write,
    // and the idle main thread takes the stop.
    Device b(device_with("CONNECTED\n"));
    wait_start_up_over(b);
    b.set_property_delay(60s);
    const size_t b_from = b.log().size();
    b.signal_daemon(SIGUSR2);
    wait_line(b, msg::mulgate_not_running(), b_from);
    std::this_thread::sleep_for(300ms);

    // A property service that never takes a connection: the first request
    // fills its queue, and the next one cannot even connect.
    Device c(quiet_device());
    const int never = listen_in_place_of_property_service(c, 0);
    ASSERT_GE(never, 0) << strerror(errno);
    const pid_t c_pid = c.start_daemon();
    wait_line(c, msg::pid(c_pid), 0);
    std::this_thread::sleep_for(200ms);
    c.signal_daemon(SIGUSR2);
    std::this_thread::sleep_for(300ms);

    for (Device *d : {&a, &b, &c}) {
        SCOPED_TRACE(d == &a ? "silent, during start-up" : d == &b ? "silent, during a restart" : "never accepts");
        expect_stop_taken(*d, d == &b ? b_from : 0);
    }
    close(never);

    // The state file and the port count file are FIFOs that nobody writes:
    // start-up waits in its open of the one, and a restart requested
    // meanwhile in its open of the other once its pause is over. Here the
    // peers answer, so the stop is whole and prompt.
    sim::Options o = quiet_device();
    Device f(o);
    for (auto file : {Device::kStateFile, Device::kPortsFile}) {
        const std::string path = f.host_path(std::string(file));
        ASSERT_EQ(unlink(path.c_str()), 0) << strerror(errno);
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << strerror(errno);
    }
    const pid_t f_pid = f.start_daemon();
    wait_line(f, msg::switch_done(), 0);
    f.signal_daemon(SIGUSR2);
    std::this_thread::sleep_for(reactions::kRestartGap + 500ms);
    const size_t from = f.log().size();
    const size_t writes = f.property_writes().size();
    const auto t0 = Clock::now();
    f.signal_daemon(SIGTERM);
    auto status = f.wait_daemon_exit(reactions::kStopBound + 2s);
    ASSERT_TRUE(status) << "alive after the stop's bound";
    EXPECT_EQ(*status, kExitZero) << status->describe();
    EXPECT_LT(Clock::now() - t0, 1500ms);
    f.wait_log_quiet(100ms, 2s);
    expect_stop_lines(f, from, SIGTERM);
    EXPECT_EQ(writes_since(f, writes), as_writes(writes::stop()));
    EXPECT_EQ(f.log()[from].pid, f_pid);
}

TEST(Lifecycle, TheMonitorGetsTheOneSpareThread)
{
    // An unprivileged user allowed one thread beyond main: the daemon
    // follows the cable without a signal thread, and still stops, even once
    // SIGUSR1 has ended its main thread: the monitor takes the stop.
    sim::Options o = device_with("CONNECTED\n");
    o.start_daemon = false;
    Device d(o);
    d.start_daemon(unprivileged(o, 2 + extra_threads(o)));
    ASSERT_TRUE(d.wait_daemon_listening(kReact)) << d.daemon_status().err;
    size_t n = d.wait_log_quiet(300ms, 5s);
    d.set_usb_state("CONFIGURED");
    n = expect_lines(d, n, configured_lines());
    EXPECT_EQ(daemon_writes(d), std::vector<std::string>{writes::kStartMulgate});
    d.signal_daemon(SIGUSR2);
    n = wait_line(d, msg::restart_end(), n) + 1;
    d.signal_daemon(SIGUSR1);
    n = expect_lines(d, n, {reactions::thread_end()});
    EXPECT_EQ(d.log()[n - 1].tid, d.daemon_pid() & 0xffff) << "not the main thread";
    const size_t writes = d.property_writes().size();
    const auto t0 = Clock::now();
    d.signal_daemon(SIGTERM);
    auto status = d.wait_daemon_exit(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe();
    EXPECT_LT(Clock::now() - t0, 1s);
    d.wait_log_quiet(100ms, 2s);
    expect_lines(d, n, reactions::stop_lines(SIGTERM));
    EXPECT_EQ(d.log().size(), n + reactions::stop_lines(SIGTERM).size());
    EXPECT_EQ(writes_since(d, writes), as_writes(writes::stop()));
}

} // namespace
} // namespace e2e
