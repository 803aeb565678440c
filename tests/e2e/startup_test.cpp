// The daemon's start-up on devices in different USB states.
#include <memory>
#include <regex>
#include <sstream>

#include "e2e.h"

namespace e2e {
namespace {

TEST(Startup, ConfiguredWithOnePortStopsAndStartsMulgate)
{
    Device d; // cable attached: CONFIGURED, one serial port
    pid_t pid = d.daemon_pid();
    size_t n = expect_lines(d, 0, reactions::configured_start_up(pid));
    ASSERT_TRUE(d.wait_daemon_listening(kReact));
    expect_no_more(d, n);

    const auto &log = d.log();
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(log[i].pid, pid);
        EXPECT_EQ(log[i].tid, pid & 0xffff) << "start-up runs on the main thread";
    }
    // The 10 ms pauses: after sprue_start_by_prop, and between the stop and the start.
    const double settle = static_cast<double>(reactions::kSettle.count()) - 0.5;
    EXPECT_GE(ms_between(log[3], log[4]), settle);
    EXPECT_GE(ms_between(log[6], log[7]), settle);
    EXPECT_LT(ms_between(log[3], log[4]), 500);
    EXPECT_LT(ms_between(log[6], log[7]), 500);

    EXPECT_EQ(daemon_writes(d), (std::vector<std::string>{writes::kStopMulgate, writes::kStartMulgate}));
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
    o.properties[reactions::kSwitch] = "1";
    Device d(o);
    expect_lines(d, 0, reactions::configured_start_up(d.daemon_pid(), "1", true));
    EXPECT_EQ(daemon_writes(d),
              (std::vector<std::string>{writes::kStartSprue, writes::kStopMulgate, writes::kStartMulgate}));
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
        {"CONNECTED\n", reactions::state_read("CONNECTED\n")},
        {"DISCONNECTED\n", reactions::state_read("DISCONNECTED\n")},
        {std::nullopt, reactions::state_missing()},
        {"", reactions::state_unreadable()},
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
        std::vector<Line> want = reactions::start_up(d.daemon_pid());
        for (auto &l : cases[i].lines)
            want.push_back(l);
        size_t n = expect_lines(d, 0, want);
        start_and_listen(d);
        expect_no_more(d, n, 100ms);
        EXPECT_TRUE(daemon_writes(d).empty());
        EXPECT_EQ(d.getprop("init.svc.mulgate"), std::nullopt);

        d.set_usb_state("CONFIGURED");
        expect_lines(d, n, configured_lines());
        EXPECT_EQ(daemon_writes(d), std::vector<std::string>{writes::kStartMulgate});
    }
}

// The lines logcat shows for these messages: one per line feed, and none
// for a trailing one. A pattern's lines are patterns too.
std::vector<Line> logcat_lines(const std::vector<Line> &messages)
{
    std::vector<Line> out;
    for (const auto &m : messages) {
        std::string_view t = m.text;
        if (!t.empty() && t.back() == '\n')
            t.remove_suffix(1);
        for (;;) {
            size_t nl = t.find('\n');
            out.push_back({std::string(t.substr(0, nl)), m.pattern});
            if (nl == std::string_view::npos)
                break;
            t.remove_prefix(nl + 1);
        }
    }
    return out;
}

TEST(Startup, WithoutLogdTheLinesGoToStandardError)
{
    sim::Options o;
    o.logd = false;
    Device d(o);
    const std::string last = msg::start_service() + "\n";
    ASSERT_TRUE(Device::wait_until([&] { return d.daemon_status().err.find(last) != std::string::npos; }, kReact))
        << d.daemon_status().err;
    std::string err = d.daemon_status().err;
    std::vector<std::string> lines, texts;
    std::istringstream in(err);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    std::string p = std::to_string(d.daemon_pid());
    std::string tag(reactions::kTag);
    tag.resize(std::max<size_t>(8, tag.size()), ' ');
    // printf("%s.%03d %5d %5d %c %-8s: %s\n", ...) with the main thread's id.
    std::regex layout("[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} " +
                      std::string(5 - std::min<size_t>(5, p.size()), ' ') + p + " " +
                      std::string(5 - std::min<size_t>(5, p.size()), ' ') + p + " " + reactions::kPriorityLetter + " " +
                      tag + ": (.*)");
    for (auto &l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, layout)) << e2e::quoted(l);
        texts.push_back(m[1]);
    }
    const auto want = logcat_lines(reactions::configured_start_up(d.daemon_pid()));
    ASSERT_EQ(texts.size(), want.size()) << err;
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(want[i].matches(texts[i]))
            << i << ": " << e2e::quoted(texts[i]) << " is not " << e2e::quoted(want[i].text);
    EXPECT_EQ(daemon_writes(d), (std::vector<std::string>{writes::kStopMulgate, writes::kStartMulgate}));
}

} // namespace
} // namespace e2e
