// Cable stories: what the daemon does as the USB gadget changes state.
#include <signal.h>

#include <thread>

#include "e2e.h"

namespace e2e {
namespace {

TEST(Usb, UnplugReplugAndTheEventLogSwitch)
{
    Device d;
    size_t n = wait_line(d, msg::start_service(), 0) + 1;
    start_and_listen(d);
    size_t w = daemon_writes(d).size();

    // Unplugged with the switch off: mulgate stops, sprue stays off.
    d.unplug();
    n = expect_lines(d, n, disconnect_lines("0", false));
    EXPECT_EQ(daemon_writes(d).size(), w + 1);
    EXPECT_EQ(daemon_writes(d).back(), writes::kStopMulgate);
    EXPECT_TRUE(d.wait_service_state("mulgate", "stopped", 2s));
    EXPECT_EQ(d.getprop("init.svc.sprue"), std::nullopt);

    // Replugged: CONNECTED is only noted, CONFIGURED starts mulgate.
    d.plug();
    n = expect_lines(d, n, reactions::plug_lines());
    EXPECT_EQ(daemon_writes(d).back(), writes::kStartMulgate);
    EXPECT_EQ(d.service("mulgate").state, "running");

    // Switch on: the next unplug finds no sprue and starts it.
    d.setprop(reactions::kSwitch, "1");
    w = daemon_writes(d).size();
    d.unplug();
    n = expect_lines(d, n, disconnect_lines("1", true));
    EXPECT_EQ(daemon_writes(d, w), (std::vector<std::string>{writes::kStopMulgate, writes::kStartSprue}));
    EXPECT_EQ(d.service("sprue").state, "running");
    pid_t sprue = d.service("sprue").pid;

    // With sprue running, an unplug leaves it alone.
    d.plug();
    n = expect_lines(d, n, reactions::plug_lines());
    w = daemon_writes(d).size();
    d.unplug();
    n = expect_lines(d, n, reactions::disconnect_sprue_running_lines({sprue}));
    EXPECT_EQ(daemon_writes(d, w), std::vector<std::string>{writes::kStopMulgate});

    // Two sprue processes are both reported; a second DISCONNECTED in a row
    // stops the already stopped mulgate again.
    pid_t extra = d.spawn_named("sprue");
    d.unplug();
    n = expect_lines(d, n, reactions::disconnect_sprue_running_lines({sprue, extra}));

    // A process whose name only begins with sprue is not sprue.
    d.setprop("ctl.stop", "sprue");
    d.kill(extra, SIGKILL);
    ASSERT_TRUE(d.wait_service_state("sprue", "stopped", 2s));
    ASSERT_TRUE(Device::wait_until([&] { return d.pids_named("sprue").empty(); }, 2s));
    d.spawn_named("sprue2");
    w = daemon_writes(d).size();
    d.unplug();
    n = expect_lines(d, n, disconnect_lines("1", true));
    EXPECT_EQ(daemon_writes(d, w), (std::vector<std::string>{writes::kStopMulgate, writes::kStartSprue}));
    expect_no_more(d, n);
}

TEST(Usb, StartServiceWaitsForStoppedAndGivesUpAfterTwoSeconds)
{
    Device d;
    size_t n = wait_line(d, msg::start_service(), 0) + 1;
    start_and_listen(d);
    ASSERT_EQ(d.service("mulgate").state, "running");

    // A second CONFIGURED while mulgate runs: ten polls 200 ms apart, then it gives up.
    size_t w = daemon_writes(d).size();
    size_t r0 = d.property_reads().size();
    d.set_usb_state("CONFIGURED");
    const auto want = reactions::configured_while_running_lines();
    size_t first_poll = n + 3;
    n = expect_lines(d, n, want);
    const auto &log = d.log();
    double gave_up = ms_between(log[first_poll], log[first_poll + reactions::kPolls]);
    const auto poll_span = static_cast<double>((reactions::kPollGap * reactions::kPolls).count());
    EXPECT_GE(gave_up, poll_span - 10);
    EXPECT_LE(gave_up, poll_span + 600);
    EXPECT_EQ(daemon_writes(d).size(), w) << "no ctl.start";
    std::vector<int64_t> polls;
    auto reads = d.property_reads();
    for (size_t i = r0; i < reads.size(); ++i)
        if (reads[i].pid == d.daemon_pid() && reads[i].name == "init.svc.mulgate")
            polls.push_back(reads[i].time.monotonic_ns);
    ASSERT_EQ(polls.size(), size_t{reactions::kPolls});
    const int64_t gap = std::chrono::nanoseconds(reactions::kPollGap).count();
    for (size_t i = 1; i < polls.size(); ++i) {
        EXPECT_GE(polls[i] - polls[i - 1], gap - 1'000'000);
        EXPECT_LE(polls[i] - polls[i - 1], 2 * gap);
    }
    EXPECT_EQ(d.service("mulgate").state, "running");

    // "stopping" is not "stopped": a mulgate that takes a second to die
    // stays stopping, and the start waits for it.
    d.set_service_options("mulgate", {.dies_after = 1s});
    d.setprop("ctl.stop", "mulgate");
    ASSERT_TRUE(d.wait_service_state("mulgate", "stopped", 2s));
    d.setprop("ctl.start", "mulgate");
    d.unplug();
    n = expect_lines(d, n, disconnect_lines("0", false));
    ASSERT_EQ(d.service("mulgate").state, "stopping");
    w = daemon_writes(d).size();
    d.set_usb_state("CONFIGURED");
    n = wait_line(d, msg::start_service(), n) + 1;
    std::vector<std::string> states;
    const auto &all = d.log();
    const std::string poll = msg::poll("");
    for (size_t i = n - 1; i-- > 0;) {
        const std::string &m = all[i].message;
        if (m.rfind(poll, 0) != 0)
            break;
        states.insert(states.begin(), m.substr(poll.size()));
    }
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states.back(), "stopped");
    for (size_t i = 0; i + 1 < states.size(); ++i)
        EXPECT_EQ(states[i], "stopping");
    EXPECT_EQ(daemon_writes(d, w), std::vector<std::string>{writes::kStartMulgate});
    EXPECT_EQ(d.service("mulgate").state, "running");
    expect_no_more(d, n);
}

} // namespace
} // namespace e2e
