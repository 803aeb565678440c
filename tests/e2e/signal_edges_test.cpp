// Signals at the edges of the daemon's life: before it has installed its
// handling, before its monitor thread exists, in the middle of its own stop,
// and in the last moments of a restart.
#include "e2e.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace e2e {
namespace {

using Devices = std::vector<std::unique_ptr<Device>>;

// A device with the gadget in this state, booted without its daemon.
sim::Options unstarted(const char *usb_state)
{
    sim::Options o = quiet_device();
    o.usb_state = usb_state;
    return o;
}

sim::ExitStatus killed_by(int sig)
{
    return {false, 0, sig};
}

// logd takes nothing and its queue is full: the daemon's first line waits in
// its send for as long as logd stays paused.
void block_logd(Device &d)
{
    d.pause_logd(true);
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    snprintf(to.sun_path, sizeof to.sun_path, "%s", d.host_path("/dev/socket/logdw").c_str());
    ASSERT_EQ(sendto(s, "x", 1, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&to), sizeof to), 1) << strerror(errno);
    close(s);
}

// Waits until the daemon's main thread sits in a send to logd.
void wait_in_first_send(Device &d)
{
    const std::string syscall = "/proc/" + std::to_string(d.daemon_pid()) + "/syscall";
    ASSERT_TRUE(Device::wait_until(
        [&] {
            auto call = d.read_file(syscall);
            return call && atoi(call->c_str()) == SYS_sendmsg;
        },
        kReact, 1ms))
        << "the daemon never blocked in its first line";
}

std::vector<std::string> lines_of(Device &d, pid_t pid)
{
    std::vector<std::string> out;
    for (const auto &e : d.log())
        if (e.pid == pid)
            out.push_back(e.message);
    return out;
}

// A task's ids as its status file gives them: the host's id, the innermost
// namespace's, and the parent's.
struct TaskIds {
    pid_t host = -1, inner = -1, parent = -1;
};

TaskIds task_ids(const std::filesystem::path &dir)
{
    TaskIds ids;
    std::ifstream status(dir / "status");
    for (std::string line; std::getline(status, line);) {
        std::istringstream in(line);
        std::string key;
        in >> key;
        if (key == "PPid:")
            in >> ids.parent;
        if (key == "NSpid:") {
            in >> ids.host;
            ids.inner = ids.host;
            for (pid_t id; in >> id;)
                ids.inner = id;
        }
    }
    return ids;
}

// Sends sig to one thread of the daemon, named by the low 16 bits of its id
// as its log lines carry them.
void signal_thread_of_daemon(Device &d, uint16_t tid16, int sig)
{
    for (const auto &p : std::filesystem::directory_iterator("/proc")) {
        const TaskIds process = task_ids(p.path());
        if (process.inner != d.daemon_pid() || process.parent != d.init_host_pid())
            continue;
        for (const auto &t : std::filesystem::directory_iterator(p.path() / "task")) {
            const TaskIds thread = task_ids(t.path());
            if ((thread.inner & 0xffff) != tid16)
                continue;
            ASSERT_EQ(syscall(SYS_tgkill, process.host, thread.host, sig), 0) << strerror(errno);
            return;
        }
    }
    FAIL() << "no thread " << tid16 << " in the daemon";
}

TEST(SignalEdges, RequestsBeforeTheHandlingIsInstalledTakeTheirDefaultAction)
{
    // Sent while the banner waits on logd: the process ends at once, killed
    // by the signal, having written nothing.
    const std::vector<int> early{SIGTERM, SIGINT, SIGUSR2};
    Devices devs;
    for (size_t i = 0; i < early.size(); ++i) {
        sim::Options o = unstarted("CONFIGURED\n");
        o.logd_queue = 0;
        devs.push_back(std::make_unique<Device>(o));
    }
    for (size_t i = 0; i < early.size(); ++i) {
        Device &d = *devs[i];
        block_logd(d);
        d.start_daemon();
        wait_in_first_send(d);
        d.signal_daemon(early[i]);
    }
    for (size_t i = 0; i < early.size(); ++i) {
        SCOPED_TRACE(sigabbrev_np(early[i]));
        Device &d = *devs[i];
        auto status = d.wait_daemon_exit(2s);
        ASSERT_TRUE(status) << "still running";
        EXPECT_EQ(*status, killed_by(early[i])) << status->describe();
        d.pause_logd(false);
        d.wait_log_quiet(200ms, 2s);
        EXPECT_THAT(lines_of(d, d.daemon_pid()), testing::IsEmpty());
        EXPECT_THAT(daemon_writes(d), testing::IsEmpty());
    }

    // Once the handling is in place, the same stop is taken in full even
    // while start-up waits on a slow property service: the read of the
    // switch in flight ends, and nothing of start-up follows the stop.
    sim::Options o = unstarted("CONFIGURED\n");
    o.property_delay = 600ms;
    Device d(o);
    const pid_t pid = d.start_daemon();
    wait_line(d, msg::pid(pid), 0);
    d.signal_daemon(SIGTERM);
    auto status = d.wait_daemon_exit(6s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe();
    d.wait_log_quiet(100ms, 2s);
    auto want = reactions::start_up(pid);
    want.resize(2); // the banner and the pid line
    for (const auto &l : reactions::stop_lines(SIGTERM))
        want.push_back(l);
    expect_lines(d, 0, want);
    EXPECT_EQ(d.log().size(), want.size());
    EXPECT_EQ(daemon_writes(d), writes::stop());
}

TEST(SignalEdges, Usr1NeverLeavesTheDaemonAliveAndDeaf)
{
    // During the banner, and during start-up while the switch is read from a
    // slow property service: the process ends, killed by SIGUSR1.
    {
        sim::Options o = unstarted("CONFIGURED\n");
        o.logd_queue = 0;
        Device banner(o);
        o = unstarted("CONFIGURED\n");
        o.property_delay = 600ms;
        Device startup(o);
        block_logd(banner);
        banner.start_daemon();
        wait_in_first_send(banner);
        banner.signal_daemon(SIGUSR1);
        const pid_t pid = startup.start_daemon();
        wait_line(startup, msg::pid(pid), 0);
        startup.signal_daemon(SIGUSR1);
        for (Device *d : {&banner, &startup}) {
            auto status = d->wait_daemon_exit(3s);
            ASSERT_TRUE(status) << "alive after SIGUSR1 before its monitor ran";
            EXPECT_EQ(*status, killed_by(SIGUSR1)) << status->describe();
            EXPECT_THAT(daemon_writes(*d), testing::IsEmpty());
        }
    }

    // At any instant of start-up: the daemon either ends or keeps a monitor
    // that follows the cable. It is never left running and deaf.
    constexpr int kTrials = 12;
    Devices devs;
    for (int i = 0; i < kTrials; ++i)
        devs.push_back(std::make_unique<Device>(unstarted("CONNECTED\n")));
    std::mt19937 rng(15);
    std::vector<int> after_ms(kTrials);
    for (int i = 0; i < kTrials; ++i) {
        after_ms[i] = static_cast<int>(rng() % 31);
        devs[i]->start_daemon();
        std::this_thread::sleep_for(Millis(after_ms[i]));
        devs[i]->signal_daemon(SIGUSR1);
    }
    std::this_thread::sleep_for(500ms);
    int ended = 0;
    for (int i = 0; i < kTrials; ++i) {
        SCOPED_TRACE("SIGUSR1 " + std::to_string(after_ms[i]) + " ms after the start");
        Device &d = *devs[i];
        auto status = d.daemon_status().exit;
        if (status) {
            ++ended;
            EXPECT_TRUE(*status == killed_by(SIGUSR1) || *status == kExitZero) << status->describe();
            continue;
        }
        ASSERT_TRUE(d.wait_daemon_listening(kReact)) << "alive, but its monitor never listens";
        const size_t n = d.wait_log_quiet(300ms, 5s);
        d.unplug();
        expect_lines(d, n, disconnect_lines("0", false));
    }
    // Start-up is a few milliseconds long: most of the trials find it over.
    std::cout << ended << " of " << kTrials << " trials ended the process\n";

    // Once the main thread has ended, a SIGUSR1 that ends the monitor, the
    // last of the two, ends the process with it, as a process ends with its
    // last thread. (Sent to the monitor itself: the kernel would pick it for
    // one sent to the process, but qemu's user emulation may leave such a
    // signal with a thread that blocks it.)
    Device d(unstarted("CONNECTED\n"));
    size_t n = wait_start_up_over(d);
    d.signal_daemon(SIGUSR1);
    n = expect_lines(d, n, {reactions::thread_end()});
    ASSERT_TRUE(d.daemon_status().running);
    d.unplug();
    n = expect_lines(d, n, disconnect_lines("0", false));
    signal_thread_of_daemon(d, d.log()[n - 1].tid, SIGUSR1);
    auto status = d.wait_daemon_exit(2s);
    ASSERT_TRUE(status) << "alive with neither its main thread nor its monitor";
    EXPECT_EQ(*status, kExitZero) << status->describe();
    d.wait_log_quiet(100ms, 2s);
    expect_lines(d, n, {reactions::thread_end()});
    EXPECT_EQ(d.log()[n].tid, d.log()[n - 1].tid) << "not the monitor";
    EXPECT_EQ(daemon_writes(d), std::vector<std::string>{writes::kStopMulgate});
}

TEST(SignalEdges, AFaultDuringTheStopCompletesIt)
{
    // A property service that takes 0.4 s a call keeps the stop in its first
    // write when SIGSEGV comes; the fault's stop runs in full and ends the
    // process promptly, with the status of a stop.
    Device d(unstarted("CONFIGURED\n"));
    const size_t from = wait_start_up_over(d);
    const size_t writes = d.property_writes().size();
    d.set_property_delay(400ms);
    const auto t0 = std::chrono::steady_clock::now();
    d.signal_daemon(SIGTERM);
    std::this_thread::sleep_for(100ms);
    d.signal_daemon(SIGSEGV);
    auto status = d.wait_daemon_exit(reactions::kStopBound + 1s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms) << "the stop waited for its bound";
    d.wait_log_quiet(100ms, 2s);
    expect_lines(d, from, {reactions::exact(msg::signal(SIGTERM))});
    expect_stop_lines(d, from + 1, SIGSEGV);
    const Writes stopped_again = as_writes({writes::kStopSprue, writes::kStopSprue, writes::kStopMulgate});
    EXPECT_EQ(writes_since(d, writes), stopped_again);

    // A real fault in the stop's own code: a program with the daemon's signal
    // handling stops on SIGTERM and faults 150 ms into it, in the middle of
    // its first property write.
    sim::Options o = unstarted("CONNECTED\n");
    o.property_delay = 400ms;
    Device f(o);
    const auto t1 = std::chrono::steady_clock::now();
    f.start_daemon(helper({"fault-in-stop"}));
    status = f.wait_daemon_exit(reactions::kStopBound + 1s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe() << "\n" << f.daemon_status().err;
    EXPECT_LT(std::chrono::steady_clock::now() - t1, 2500ms) << "the stop waited for its bound";
    f.wait_log_quiet(100ms, 2s);
    std::vector<std::string> want{msg::signal(SIGTERM)};
    for (const auto &l : texts(reactions::stop_lines(SIGSEGV)))
        want.push_back(l);
    EXPECT_EQ(messages(f, 0, f.log().size()), want);
    EXPECT_EQ(writes_since(f, 0), stopped_again);
}

TEST(SignalEdges, ARestartRequestInTheRestartsTailIsDropped)
{
    // After its last pause the restart reads the port count. Here that read
    // waits on a FIFO put in the file's place, so a request sent then meets
    // the restart still under way: it is dropped with its message, and no
    // second restart follows the first.
    sim::Options o = unstarted("CONNECTED\n");
    o.serial_port_num = "0\n";
    Device d(o);
    const size_t from = wait_start_up_over(d);
    const size_t writes = d.property_writes().size();
    d.signal_daemon(SIGUSR2);
    const size_t stopped = wait_line(d, msg::stop_service(), from);
    ASSERT_LT(stopped, d.log().size());
    const std::string ports = d.host_path(std::string(Device::kPortsFile));
    ASSERT_EQ(unlink(ports.c_str()), 0) << strerror(errno);
    ASSERT_EQ(mkfifo(ports.c_str(), 0644), 0) << strerror(errno);
    std::this_thread::sleep_until(d.log()[stopped].received.steady() + reactions::kRestartGap + 300ms);
    EXPECT_EQ(d.log().size(), stopped + 1) << "the restart went past its read of the port count";

    d.signal_daemon(SIGUSR2);
    const size_t dropped = wait_line(d, msg::restart_busy(), stopped);
    int fd = open(ports.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(write(fd, "0\n", 2), 2);
    close(fd);
    unlink(ports.c_str());
    d.write_file(Device::kPortsFile, "0\n");

    const size_t end = wait_line(d, msg::restart_end(), stopped);
    std::this_thread::sleep_for(reactions::kRestartGap + 500ms);
    const std::vector<std::string> busy{msg::signal(SIGUSR2), msg::restart_busy()};
    EXPECT_EQ(messages(d, stopped + 1, dropped + 1), busy);
    // The restart's own lines, with the dropped request's after its stop.
    auto want = texts(reactions::restart_lines({.mulgate = 0, .ports = 0}));
    want.insert(std::find(want.begin(), want.end(), msg::stop_service()) + 1, busy.begin(), busy.end());
    EXPECT_EQ(messages(d, from, d.log().size()), want) << "a second restart after the first, from line " << end;
    EXPECT_EQ(daemon_writes(d, writes), std::vector<std::string>{writes::kStopMulgate});
}

} // namespace
} // namespace e2e
