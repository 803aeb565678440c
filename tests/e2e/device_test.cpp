// The simulated device itself, before any daemon: what the daemon relies on.
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <host_wire.h>

#include "e2e.h"

namespace e2e {
namespace {

std::string get_msg(const std::string &n)
{
    return u32(PROP_MSG_GETPROP) + u32(uint32_t(n.size())) + n;
}

uint32_t status_of(const std::string &reply)
{
    EXPECT_EQ(reply.size(), 4u);
    uint32_t v = 0xffffffff;
    if (reply.size() == 4)
        memcpy(&v, reply.data(), 4);
    return v;
}

TEST(Device, PropertyServiceSpeaksTheWireProtocol)
{
    sim::Options o = quiet_device();
    o.properties["ro.build.type"] = "user";
    Device d(o);
    EXPECT_EQ(status_of(prop_call(d, set_msg("sys.a", "v1"))), PROP_SUCCESS);
    EXPECT_EQ(prop_call(d, get_msg("sys.a")), u32(2) + "v1");
    EXPECT_EQ(prop_call(d, get_msg("sys.never.set")), u32(0)) << "unset reads L=0 and nothing more";

    std::string longest(PROP_VALUE_LEN_MAX, 'x'), too_long(PROP_VALUE_LEN_MAX + 1, 'y');
    EXPECT_EQ(status_of(prop_call(d, set_msg("sys.long", longest))), PROP_SUCCESS);
    EXPECT_EQ(prop_call(d, get_msg("sys.long")), u32(PROP_VALUE_LEN_MAX) + longest);
    EXPECT_NE(status_of(prop_call(d, set_msg("sys.long", too_long))), PROP_SUCCESS)
        << "longer than PROP_VALUE_MAX allows";
    EXPECT_EQ(prop_call(d, get_msg("sys.long")), u32(PROP_VALUE_LEN_MAX) + longest)
        << "a refused write changes nothing";

    EXPECT_EQ(status_of(prop_call(d, set_msg("sys.a", ""))), PROP_SUCCESS);
    EXPECT_EQ(prop_call(d, get_msg("sys.a")), u32(0));
    EXPECT_EQ(d.getprop("sys.a"), std::optional<std::string>(""));

    // Bad requests get a failure or nothing, and the service goes on.
    EXPECT_NE(status_of(prop_call(d, u32(0x12345) + u32(0))), PROP_SUCCESS);
    EXPECT_EQ(prop_call(d, u32(PROP_MSG_SETPROP2) + u32(5) + "ab"), u32(1)) << "a cut-short SET is refused";
    EXPECT_NE(status_of(prop_call(d, set_msg("", "x"))), PROP_SUCCESS);
    EXPECT_NE(status_of(prop_call(d, set_msg("ctl.start", "nosuchservice"))), PROP_SUCCESS);

    // Names as Android takes them: letters, digits and "._-@:" between dots, of any length.
    EXPECT_EQ(status_of(prop_call(d, set_msg("vendor.a-b_c@1:X9", "1"))), PROP_SUCCESS);
    EXPECT_EQ(status_of(prop_call(d, set_msg("sys." + std::string(300, 'n'), "1"))), PROP_SUCCESS);
    for (const std::string &bad : std::vector<std::string>{"a b", "a/b", "a=b", "sys.\xc3\xa9", std::string("a\0b", 3),
                                                           "a..b", ".a", "a.", "."}) {
        EXPECT_NE(status_of(prop_call(d, set_msg(bad, "1"))), PROP_SUCCESS) << sim::printable(bad);
        EXPECT_EQ(d.getprop(bad), std::nullopt) << sim::printable(bad);
    }
    sim::Options bad_boot = quiet_device();
    bad_boot.properties["a b"] = "1";
    EXPECT_THROW(Device refused(bad_boot), sim::Error) << "a boot property of a name Android refuses";

    // ro.* are written once: at boot or by the first SET.
    EXPECT_NE(status_of(prop_call(d, set_msg("ro.build.type", "eng"))), PROP_SUCCESS);
    EXPECT_EQ(status_of(prop_call(d, set_msg("ro.sim.once", "1"))), PROP_SUCCESS);
    EXPECT_NE(status_of(prop_call(d, set_msg("ro.sim.once", "2"))), PROP_SUCCESS);
    EXPECT_THROW(d.setprop("ro.sim.once", "3"), sim::Error);
    EXPECT_EQ(d.getprop("ro.build.type"), std::optional<std::string>("user"));
    EXPECT_EQ(prop_call(d, get_msg("ro.sim.once")), u32(1) + "1");

    // ctl.* act on services and are not stored; the rest is.
    EXPECT_EQ(status_of(prop_call(d, set_msg("ctl.start", "sprue"))), PROP_SUCCESS);
    EXPECT_EQ(d.getprop("ctl.start"), std::nullopt);
    EXPECT_EQ(d.getprop("init.svc.sprue"), std::optional<std::string>("running"));
}

TEST(Device, PersistentPropertiesSurviveAReboot)
{
    char tmpl[] = "/tmp/drovik-e2e.XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    std::string dir = tmpl;
    sim::Options o = quiet_device();
    o.persist_file = dir + "/sub/persist.props";
    {
        Device d(o);
        EXPECT_EQ(d.getprop("persist.sys.v3.sprue.state"), std::nullopt);
        d.setprop("persist.sys.v3.sprue.state", "1");
        d.setprop("persist.odd", "a\nb=c\\d\x01\r");
        d.setprop("sys.volatile", "gone");
        d.reboot();
        EXPECT_EQ(d.getprop("persist.sys.v3.sprue.state"), std::optional<std::string>("1"));
        EXPECT_EQ(d.getprop("persist.odd"), std::optional<std::string>("a\nb=c\\d\x01\r"));
        EXPECT_EQ(d.getprop("sys.volatile"), std::nullopt);
        d.setprop("persist.sys.v3.sprue.state", "0");
    }
    Device again(o);
    EXPECT_EQ(again.getprop("persist.sys.v3.sprue.state"), std::optional<std::string>("0"));
    std::ifstream f(o.persist_file);
    std::stringstream text;
    text << f.rdbuf();
    EXPECT_NE(text.str().find("persist.sys.v3.sprue.state=0\n"), std::string::npos) << text.str();
    std::filesystem::remove_all(dir);
}

TEST(Device, ServicesFollowCtlStartAndCtlStopAsInit)
{
    sim::Options o = quiet_device();
    o.rc_files.push_back(rc_file("gentle.rc",
                                 "service gentle /vendor/bin/gentle\n    disabled\n    gentle_kill\n"
                                 "service stubborn /vendor/bin/stubborn\n    disabled\n    gentle_kill\n"));
    o.services["stubborn"].ignore_sigterm = true;
    Device d(o);
    EXPECT_EQ(d.getprop("init.svc.mulgate"), std::nullopt) << "never started: unset";

    d.setprop("ctl.stop", "mulgate");
    EXPECT_EQ(d.getprop("init.svc.mulgate"), std::optional<std::string>("stopped")) << "a stop without a process";

    d.setprop("ctl.start", "mulgate");
    EXPECT_EQ(d.getprop("init.svc.mulgate"), std::optional<std::string>("running")) << "set before the reply";
    pid_t pid = d.service("mulgate").pid;
    ASSERT_GT(pid, 1);
    bool found = false;
    for (auto &p : d.ps())
        if (p.pid == pid)
            found = p.name == "mulgate" && p.ppid == 1 && p.uid == 1001 && p.gid == 1001 &&
                    p.groups == std::vector<gid_t>{1007};
    EXPECT_TRUE(found) << "a process named mulgate, child of init, user radio, group radio, log";
    d.setprop("ctl.start", "mulgate");
    EXPECT_EQ(d.service("mulgate").pid, pid) << "starting a running service changes nothing";

    // Without gentle_kill: SIGKILL at once.
    auto t0 = std::chrono::steady_clock::now();
    d.setprop("ctl.stop", "mulgate");
    EXPECT_TRUE(d.wait_service_state("mulgate", "stopped", 100ms));
    EXPECT_TRUE(d.pids_named("mulgate").empty());

    // With it: SIGTERM, and 200 ms on init's loop while the group lives, then
    // SIGKILL; the writer is answered after. (One that obeys SIGTERM may be
    // gone before init looks: no pause then.)
    for (const char *name : {"gentle", "stubborn"}) {
        d.setprop("ctl.start", name);
        t0 = std::chrono::steady_clock::now();
        d.setprop("ctl.stop", name);
        auto took = std::chrono::steady_clock::now() - t0;
        if (std::string(name) == "stubborn") {
            EXPECT_GE(took, 200ms);
        }
        EXPECT_LE(took, 600ms) << name;
        EXPECT_TRUE(d.wait_service_state(name, "stopped", 1s)) << name;
    }

    std::vector<std::string> seen;
    for (auto &e : d.service_events())
        seen.push_back(e.service + ":" + e.state);
    EXPECT_EQ(seen, (std::vector<std::string>{"mulgate:stopped", "mulgate:running", "mulgate:stopping",
                                              "mulgate:stopped", "gentle:running", "gentle:stopping", "gentle:stopped",
                                              "stubborn:running", "stubborn:stopping", "stubborn:stopped"}));
}

// A ctl.* write waits on init's main loop, which a gentle stop holds for
// 200 ms; a read does not.
TEST(Device, CtlWritesAreAnsweredByInitsLoop)
{
    sim::Options o = quiet_device();
    o.rc_files.push_back(
        rc_file("stubborn.rc", "service stubborn /vendor/bin/stubborn\n    disabled\n    gentle_kill\n"));
    o.services["stubborn"].ignore_sigterm = true;
    Device d(o);
    d.setprop("ctl.start", "stubborn");
    std::thread stop([&] { EXPECT_EQ(prop_call(d, set_msg("ctl.stop", "stubborn")), u32(PROP_SUCCESS)); });
    std::this_thread::sleep_for(50ms);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(prop_call(d, get_msg("init.svc.stubborn")), u32(7) + "running") << "read during the pause";
    EXPECT_LE(std::chrono::steady_clock::now() - t0, 100ms);
    EXPECT_EQ(prop_call(d, set_msg("ctl.start", "mulgate")), u32(PROP_SUCCESS));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 100ms) << "answered before the pause was over";
    EXPECT_EQ(d.service("mulgate").state, "running") << "answered before it was handled";
    stop.join();
    EXPECT_TRUE(d.wait_service_state("stubborn", "stopped", 1s));
}

TEST(Device, AServiceThatEndsByItselfIsRestarted)
{
    sim::Options o = quiet_device();
    o.rc_files.push_back(rc_file("once.rc", "service once /vendor/bin/once\n    disabled\n    oneshot\n"));
    Device d(o);
    const Millis delay = d.options().restart_delay;
    d.setprop("ctl.start", "mulgate");
    auto started = std::chrono::steady_clock::now();
    pid_t first = d.service("mulgate").pid;
    d.kill(first, SIGKILL);
    EXPECT_TRUE(d.wait_service_state("mulgate", "restarting", 1s));
    // The restart period counts from the start.
    EXPECT_TRUE(d.wait_service_state("mulgate", "running", 3s));
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, delay - 150ms);
    EXPECT_LE(took, delay + 500ms);
    pid_t second = d.service("mulgate").pid;
    EXPECT_NE(second, first);
    EXPECT_EQ(d.pids_named("mulgate"), std::vector<pid_t>{second});

    // A ctl.stop while it waits to restart cancels the restart.
    d.kill(second, SIGTERM);
    EXPECT_TRUE(d.wait_service_state("mulgate", "restarting", 1s));
    d.setprop("ctl.stop", "mulgate");
    EXPECT_EQ(d.service("mulgate").state, "stopped");
    std::this_thread::sleep_for(delay + 300ms);
    EXPECT_EQ(d.service("mulgate").state, "stopped");
    EXPECT_TRUE(d.pids_named("mulgate").empty());

    // A oneshot service reads stopped when it ends.
    d.setprop("ctl.start", "once");
    d.kill(d.service("once").pid, SIGKILL);
    EXPECT_TRUE(d.wait_service_state("once", "stopped", 1s));
}

TEST(Device, DevicesAreIndependentAndLeaveNothingBehind)
{
    std::vector<pid_t> inits;
    {
        Device a(quiet_device()), b(quiet_device());
        a.setprop("sys.only.a", "1");
        a.setprop("ctl.start", "mulgate");
        EXPECT_EQ(b.getprop("sys.only.a"), std::nullopt);
        EXPECT_EQ(b.getprop("init.svc.mulgate"), std::nullopt);
        EXPECT_EQ(a.ps().front().pid, 1);
        EXPECT_EQ(a.ps().front().name, "init");
        EXPECT_TRUE(b.pids_named("mulgate").empty());
        inits = {a.init_host_pid(), b.init_host_pid()};
        // The host keeps its own /dev and /sys/class.
        struct stat st;
        EXPECT_NE(stat(PROPERTY_SOCKET, &st), 0);
        EXPECT_NE(stat("/sys/class/android_usb", &st), 0);
    }
    for (pid_t p : inits)
        EXPECT_EQ(kill(p, 0), -1) << "init " << p << " still exists";
}

} // namespace
} // namespace e2e
