// The daemon as the device's init runs it from drovik.rc, and the services
// as the device's own .rc defines them.
#include <gmock/gmock.h>
#include <signal.h>

#include <host_wire.h>

#include "e2e.h"

namespace e2e {
namespace {

using testing::HasSubstr;

constexpr uid_t kNobody = 9999;
constexpr gid_t kReadproc = 3009;

sim::Process process(Device &d, pid_t pid)
{
    for (auto &p : d.ps())
        if (p.pid == pid)
            return p;
    ADD_FAILURE() << "no process " << pid;
    return {};
}

TEST(Init, TheDaemonRunsWithWhatDrovikRcGrants)
{
    Device d(device_with("CONFIGURED\n"));
    wait_start_up_over(d);
    const sim::Process daemon = process(d, d.daemon_pid());
    EXPECT_EQ(daemon.uid, kNobody) << "user nobody";
    EXPECT_EQ(daemon.gid, kReadproc) << "group readproc, the primary gid";
    EXPECT_TRUE(daemon.groups.empty()) << "no supplementary group";
    EXPECT_EQ(daemon.ppid, 1);
    // capabilities KILL, given as init gives them to a service that is not root.
    const auto status = d.read_file("/proc/" + std::to_string(d.daemon_pid()) + "/status").value_or("");
    for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
        const std::string line = std::string("\n") + set + ":\t";
        const size_t at = status.find(line);
        EXPECT_EQ(at == std::string::npos ? "" : status.substr(at + line.size(), 16), "0000000000000020") << set;
    }
    ASSERT_EQ(d.service("mulgate").state, "running");
    const sim::Process mulgate = process(d, d.service("mulgate").pid);
    EXPECT_NE(mulgate.uid, kNobody) << "mulgate under a uid of its own";
    EXPECT_NE(mulgate.uid, 0u);
}

// stop drovik, as a shell on the device writes it: the daemon and both
// services end, and none comes back.
TEST(Init, StopDrovikLeavesBothServicesStopped)
{
    sim::Options o = device_with("CONFIGURED\n");
    o.properties[reactions::kSwitch] = "1";
    Device d(o);
    wait_start_up_over(d);
    ASSERT_EQ(d.service("mulgate").state, "running");
    ASSERT_EQ(d.service("sprue").state, "running");

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(prop_call(d, set_msg("ctl.stop", "drovik")), u32(PROP_SUCCESS));
    EXPECT_TRUE(d.wait_daemon_exit(2s)) << "the daemon still runs";
    EXPECT_TRUE(d.wait_service_state("drovik", "stopped", 2s));
    for (const char *s : {"mulgate", "sprue"}) {
        EXPECT_TRUE(d.wait_service_state(s, "stopped", 2s)) << s << " is " << d.service(s).state;
        EXPECT_TRUE(d.pids_named(s).empty()) << s;
    }
    EXPECT_LE(std::chrono::steady_clock::now() - t0, 1s);
    std::this_thread::sleep_for(300ms);
    for (const char *s : {"drovik", "mulgate", "sprue"})
        EXPECT_EQ(d.service(s).state, "stopped") << s;

    // start drovik: the daemon's start-up starts mulgate again.
    d.start_daemon();
    EXPECT_EQ(d.service("drovik").state, "running");
    EXPECT_TRUE(d.wait_service_state("mulgate", "running", kReact));
}

// Neither disabled nor oneshot: init starts it at boot (the device above) and
// again when it ends.
TEST(Init, TheDaemonIsStartedAgainWhenItEnds)
{
    sim::Options o = quiet_device();
    o.start_daemon = true;
    o.daemon_restarts = true;
    Device d(o);
    const pid_t first = d.daemon_pid();
    wait_start_up_over(d);
    d.signal_daemon(SIGTERM);
    EXPECT_EQ(d.wait_daemon_exit(kReact), kExitZero);
    EXPECT_TRUE(Device::wait_until([&] { return d.follow_daemon() != first && d.follow_daemon() > 0; }, 5s))
        << "init.svc.drovik is " << d.service("drovik").state;
    EXPECT_EQ(d.service("drovik").state, "running");
}

TEST(Init, ALineTheDeviceDoesNotHonourFailsTheBootNamingIt)
{
    sim::Options o = quiet_device();
    o.rc_files.push_back(rc_file("odd.rc", "service odd /vendor/bin/odd\n    class main\n    critical\n"));
    try {
        Device d(o);
        ADD_FAILURE() << "booted";
    } catch (const sim::Error &e) {
        EXPECT_THAT(e.what(), HasSubstr("odd.rc:3: service option 'critical' is not honoured"));
    }
}

} // namespace
} // namespace e2e
