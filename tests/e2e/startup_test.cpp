// The daemon's start-up on devices in different USB states.
#include <memory>
#include <regex>
#include <sstream>

#include "e2e.h"

namespace e2e {
namespace {

const Line kBanner = R("\n    drovik, version 1\\.0\\.0\n"
                       "    Build time: (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-9]{4} "
                       "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n");

constexpr char kState[] = "/sys/class/android_usb/android0/state";

// Start-up with the gadget configured and one port: the banner, the switch's
// lines, the state file, then mulgate stopped and started.
std::vector<Line> configured_start(Device &d, bool switch_on)
{
    std::vector<Line> want{kBanner, L("PID of drovik: " + std::to_string(d.daemon_pid())),
                           L(std::string("current persist.sys.v3.sprue.state: ") + (switch_on ? "1" : "0"))};
    if (switch_on)
        want.push_back(L("property_set ctl.start sprue"));
    for (auto &l : {L("sprue_start_by_prop return:0."), L("read content: CONFIGURED\n"),
                    L(std::string("readed success from file(") + kState + "). value: CONFIGURED\n."),
                    L("stopService() return: 0")})
        want.push_back(l);
    for (auto &l : start_lines())
        want.push_back(l);
    return want;
}

TEST(Startup, ConfiguredWithOnePortStopsAndStartsMulgate)
{
    Device d; // cable attached: CONFIGURED, one serial port
    pid_t pid = d.daemon_pid();
    size_t n = expect_lines(d, 0, configured_start(d, false));
    ASSERT_TRUE(d.wait_daemon_listening(kReact));
    expect_no_more(d, n);

    const auto &log = d.log();
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(log[i].pid, pid);
        EXPECT_EQ(log[i].tid, pid & 0xffff) << "start-up runs on the main thread";
    }
    // The 10 ms pauses: after sprue_start_by_prop, and between the stop and the start.
    EXPECT_GE(ms_between(log[3], log[4]), 9.5);
    EXPECT_GE(ms_between(log[6], log[7]), 9.5);
    EXPECT_LT(ms_between(log[3], log[4]), 500);
    EXPECT_LT(ms_between(log[6], log[7]), 500);

    EXPECT_EQ(daemon_writes(d), (std::vector<std::string>{"ctl.stop=mulgate", "ctl.start=mulgate"}));
    EXPECT_EQ(d.service("mulgate").state, "running");
    EXPECT_EQ(d.getprop("init.svc.sprue"), std::nullopt);
    auto st = d.daemon_status();
    EXPECT_TRUE(st.running);
    EXPECT_EQ(st.out, "");
    EXPECT_EQ(st.err, "");
}

TEST(Startup, SwitchOnStartsSprueBeforeTheUsbState)
{
    sim::Options o;
    o.properties["persist.sys.v3.sprue.state"] = "1";
    Device d(o);
    expect_lines(d, 0, configured_start(d, true));
    EXPECT_EQ(daemon_writes(d), (std::vector<std::string>{"ctl.start=sprue", "ctl.stop=mulgate", "ctl.start=mulgate"}));
    EXPECT_EQ(d.service("sprue").state, "running");
    EXPECT_EQ(d.pids_named("sprue").size(), 1u);
}

// Devices whose gadget is not configured at start: no action on mulgate, and
// the monitor still starts and handles the next plug.
TEST(Startup, OtherStatesTakeNoActionAndTheMonitorStillStarts)
{
    struct Case {
        std::optional<std::string> state;
        std::vector<Line> lines; // after the two lines of sprue_start_by_prop
    };
    std::vector<Case> cases{
        {"CONNECTED\n",
         {L("read content: CONNECTED\n"),
          L(std::string("readed success from file(") + kState + "). value: CONNECTED\n.")}},
        {"DISCONNECTED\n",
         {L("read content: DISCONNECTED\n"),
          L(std::string("readed success from file(") + kState + "). value: DISCONNECTED\n.")}},
        {std::nullopt, {L(std::string("open(\"") + kState + "\") fail: 2 - No such file or directory")}},
        {"", {R("read fail: -?[0-9]+ - .*")}},
    };
    // All devices boot at once: each waits mostly on the daemon.
    std::vector<std::unique_ptr<Device>> devs;
    for (auto &c : cases) {
        sim::Options o;
        o.usb_state = c.state;
        devs.push_back(std::make_unique<Device>(o));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("state file " + (cases[i].state ? e2e::quoted(*cases[i].state) : "absent"));
        Device &d = *devs[i];
        std::vector<Line> want{kBanner, L("PID of drovik: " + std::to_string(d.daemon_pid())),
                               L("current persist.sys.v3.sprue.state: 0"), L("sprue_start_by_prop return:0.")};
        for (auto &l : cases[i].lines)
            want.push_back(l);
        size_t n = expect_lines(d, 0, want);
        start_and_listen(d);
        expect_no_more(d, n, 100ms);
        EXPECT_TRUE(daemon_writes(d).empty());
        EXPECT_EQ(d.getprop("init.svc.mulgate"), std::nullopt);

        d.set_usb_state("CONFIGURED");
        expect_lines(d, n, configured_lines());
        EXPECT_EQ(daemon_writes(d), std::vector<std::string>{"ctl.start=mulgate"});
    }
}

TEST(Startup, WithoutLogdTheLinesGoToStandardError)
{
    sim::Options o;
    o.logd = false;
    Device d(o);
    ASSERT_TRUE(Device::wait_until(
        [&] { return d.daemon_status().err.find("startService() return: 0\n") != std::string::npos; }, kReact))
        << d.daemon_status().err;
    std::string err = d.daemon_status().err;
    std::vector<std::string> lines, texts;
    std::istringstream in(err);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    std::string p = std::to_string(d.daemon_pid());
    // printf("%s.%03d %5d %5d %c %-8s: %s\n", ...) with the main thread's id.
    std::regex layout("[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} " +
                      std::string(5 - std::min<size_t>(5, p.size()), ' ') + p + " " +
                      std::string(5 - std::min<size_t>(5, p.size()), ' ') + p + " D MULGATE : (.*)");
    for (auto &l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, layout)) << e2e::quoted(l);
        texts.push_back(m[1]);
    }
    ASSERT_EQ(texts.size(), 13u) << err;
    EXPECT_EQ(texts[0], "");
    EXPECT_EQ(texts[1], "    drovik, version 1.0.0");
    EXPECT_EQ(texts[2].rfind("    Build time: ", 0), 0u);
    EXPECT_EQ(texts[3], "PID of drovik: " + p);
    EXPECT_EQ(texts[6], "read content: CONFIGURED");
    EXPECT_EQ(texts[7], std::string("readed success from file(") + kState + "). value: CONFIGURED");
    EXPECT_EQ(texts[8], ".");
    EXPECT_EQ(texts[12], "startService() return: 0");
    EXPECT_EQ(daemon_writes(d), (std::vector<std::string>{"ctl.stop=mulgate", "ctl.start=mulgate"}));
}

} // namespace
} // namespace e2e
