// Signals at the edges of the daemon's life: before it has installed its
// handling, before its monitor thread exists, in the middle of its own stop,
// and in the last moments of a restart.
#include "e2e.h"

#include <gmock/gmock.h>

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

const sim::ExitStatus kExitZero{true, 0, 0};

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

bool is_banner(const std::string &m)
{
    return m.rfind("\n    drovik, version 1.0.0\n", 0) == 0;
}

// The host's ids of a process or thread that the device knows as `inner`.
std::optional<std::pair<pid_t, std::string>> host_task(const std::string &dir, pid_t inner, std::optional<pid_t> parent)
{
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        std::ifstream status(e.path() / "status");
        std::string line;
        pid_t ppid = -1, last = -1, host = -1;
        while (std::getline(status, line)) {
            std::istringstream in(line);
            std::string key;
            in >> key;
            if (key == "PPid:")
                in >> ppid;
            if (key == "NSpid:") {
                in >> host;
                for (pid_t id; in >> id;)
                    last = id;
            }
        }
        if (last == inner && (!parent || ppid == *parent))
            return std::pair{host, e.path().string()};
    }
    return std::nullopt;
}

// Sends sig to one thread of the daemon, named by the low 16 bits of its id
// as its log lines carry them.
void signal_thread_of_daemon(Device &d, uint16_t tid16, int sig)
{
    auto process = host_task("/proc", d.daemon_pid(), d.init_host_pid());
    ASSERT_TRUE(process) << "no daemon process seen from the host";
    for (const auto &e : std::filesystem::directory_iterator(process->second + "/task")) {
        std::ifstream status(e.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("NSpid:", 0) != 0)
                continue;
            std::istringstream in(line.substr(6));
            pid_t host = -1, inner = -1;
            in >> host;
            for (pid_t id; in >> id;)
                inner = id;
            if ((inner & 0xffff) == tid16) {
                ASSERT_EQ(syscall(SYS_tgkill, process->first, host, sig), 0) << strerror(errno);
                return;
            }
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
    wait_line(d, "PID of drovik: " + std::to_string(pid), 0);
    d.signal_daemon(SIGTERM);
    auto status = d.wait_daemon_exit(6s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe();
    d.wait_log_quiet(100ms, 2s);
    auto lines = lines_of(d, pid);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(is_banner(lines.front())) << quoted(lines.front());
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 1, lines.end()),
                testing::ElementsAre("PID of drovik: " + std::to_string(pid), "(drovik)receive signal: 15",
                                     "stopService() return: 0", "manager_stop exit."));
    EXPECT_EQ(daemon_writes(d), (std::vector<std::string>{"ctl.stop=sprue", "ctl.stop=mulgate"}));
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
        wait_line(startup, "PID of drovik: " + std::to_string(pid), 0);
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
    sim::Options o = unstarted("CONNECTED\n");
    o.start_daemon = true;
    Device d(o);
    start_and_listen(d);
    size_t n = d.wait_log_quiet(300ms, 5s);
    d.signal_daemon(SIGUSR1);
    n = expect_lines(d, n, {R("thread -?[0-9]+ will be end")});
    ASSERT_TRUE(d.daemon_status().running);
    d.unplug();
    n = expect_lines(d, n, disconnect_lines("0", false));
    signal_thread_of_daemon(d, d.log()[n - 1].tid, SIGUSR1);
    auto status = d.wait_daemon_exit(2s);
    ASSERT_TRUE(status) << "alive with neither its main thread nor its monitor";
    EXPECT_EQ(*status, kExitZero) << status->describe();
    d.wait_log_quiet(100ms, 2s);
    expect_lines(d, n, {R("thread -?[0-9]+ will be end")});
    EXPECT_EQ(d.log()[n].tid, d.log()[n - 1].tid) << "not the monitor";
    EXPECT_EQ(daemon_writes(d), std::vector<std::string>{"ctl.stop=mulgate"});
}

TEST(SignalEdges, AFaultDuringTheStopCompletesIt)
{
    // A property service that takes 0.4 s a call keeps the stop in its first
    // write when SIGSEGV comes; the fault's stop runs in full and ends the
    // process promptly, with the status of a stop.
    sim::Options o = unstarted("CONFIGURED\n");
    o.start_daemon = true;
    Device d(o);
    start_and_listen(d);
    const size_t from = d.wait_log_quiet(300ms, 5s);
    const size_t writes = d.property_writes().size();
    d.set_property_delay(400ms);
    const auto t0 = std::chrono::steady_clock::now();
    d.signal_daemon(SIGTERM);
    std::this_thread::sleep_for(100ms);
    d.signal_daemon(SIGSEGV);
    auto status = d.wait_daemon_exit(9s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms) << "the stop waited for its bound";
    d.wait_log_quiet(100ms, 2s);
    auto lines = messages(d, from, d.log().size());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "(drovik)receive signal: 15");
    EXPECT_EQ(lines[1], "(drovik)receive signal: 11");
    expect_stop_lines(d, from, SIGSEGV);
    EXPECT_EQ(writes_since(d, writes), (Writes{{"ctl.stop", "sprue"}, {"ctl.stop", "sprue"}, {"ctl.stop", "mulgate"}}));

    // A real fault in the stop's own code: a program with the daemon's signal
    // handling stops on SIGTERM and faults 150 ms into it, in the middle of
    // its first property write.
    o = unstarted("CONNECTED\n");
    o.property_delay = 400ms;
    Device f(o);
    const auto t1 = std::chrono::steady_clock::now();
    f.start_daemon(helper({"fault-in-stop"}));
    status = f.wait_daemon_exit(9s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe() << "\n" << f.daemon_status().err;
    EXPECT_LT(std::chrono::steady_clock::now() - t1, 2500ms) << "the stop waited for its bound";
    f.wait_log_quiet(100ms, 2s);
    EXPECT_THAT(messages(f, 0, f.log().size()),
                testing::ElementsAre("(drovik)receive signal: 15", "(drovik)receive signal: 11",
                                     "stopService() return: 0", "manager_stop exit."));
    EXPECT_EQ(writes_since(f, 0), (Writes{{"ctl.stop", "sprue"}, {"ctl.stop", "sprue"}, {"ctl.stop", "mulgate"}}));
}

TEST(SignalEdges, ARestartRequestInTheRestartsTailIsDropped)
{
    // After its last pause the restart reads the port count. Here that read
    // waits on a FIFO put in the file's place, so a request sent then meets
    // the restart still under way: it is dropped with its message, and no
    // second restart follows the first.
    sim::Options o = unstarted("CONNECTED\n");
    o.start_daemon = true;
    o.serial_port_num = "0\n";
    Device d(o);
    start_and_listen(d);
    const size_t from = d.wait_log_quiet(300ms, 5s);
    const size_t writes = d.property_writes().size();
    d.signal_daemon(SIGUSR2);
    const size_t stopped = wait_line(d, "stopService() return: 0", from);
    ASSERT_LT(stopped, d.log().size());
    const std::string ports = d.host_path(std::string(Device::kPortsFile));
    ASSERT_EQ(unlink(ports.c_str()), 0) << strerror(errno);
    ASSERT_EQ(mkfifo(ports.c_str(), 0644), 0) << strerror(errno);
    std::this_thread::sleep_until(d.log()[stopped].received.steady() + 2300ms);
    EXPECT_EQ(d.log().size(), stopped + 1) << "the restart went past its read of the port count";

    d.signal_daemon(SIGUSR2);
    const size_t dropped = wait_line(d, " service-restart is processing, do not do again.", stopped);
    int fd = open(ports.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(write(fd, "0\n", 2), 2);
    close(fd);
    unlink(ports.c_str());
    d.write_file(Device::kPortsFile, "0\n");

    const size_t end = wait_line(d, "restart_service end.", stopped);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(
        messages(d, stopped + 1, dropped + 1),
        (std::vector<std::string>{"(drovik)receive signal: 12", " service-restart is processing, do not do again."}));
    EXPECT_EQ(
        messages(d, from, d.log().size()),
        (std::vector<std::string>{"(drovik)receive signal: 12", "mulgate is not run.", "stopService() return: 0",
                                  "(drovik)receive signal: 12", " service-restart is processing, do not do again.",
                                  "read_usb_serial_number : [0]", "usb_config_now not serial", "restart_service end."}))
        << "a second restart after the first, from line " << end;
    EXPECT_EQ(writes_since(d, writes), (Writes{{"ctl.stop", "mulgate"}}));
}

} // namespace
} // namespace e2e
