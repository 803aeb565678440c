// Signals on the simulated device: the restart of mulgate, the orderly stop,
// and both under pressure.
#include "e2e.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <csignal>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace e2e {
namespace {

using testing::ElementsAreArray;

double ms_between(sim::Device &d, std::size_t a, std::size_t b)
{
    return e2e::ms_between(d.log()[a], d.log()[b]);
}

// One of the daemon's pauses, in milliseconds.
double ms(std::chrono::milliseconds t)
{
    return static_cast<double>(t.count());
}

// Sends sig and expects the daemon to have ended with status 0 within `within`.
void expect_stop(sim::Device &d, int sig, std::chrono::milliseconds within)
{
    const auto t0 = std::chrono::steady_clock::now();
    d.signal_daemon(sig);
    auto status = d.wait_daemon_exit(2s);
    ASSERT_TRUE(status.has_value()) << "signal " << sig;
    EXPECT_EQ(*status, kExitZero) << status->describe();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, within);
}

std::size_t end_of_restart(sim::Device &d, std::size_t from)
{
    auto end = d.wait_for_message(msg::restart_end(), 10s, from);
    EXPECT_TRUE(end.has_value()) << "the restart never ended";
    return end.value_or(from);
}

TEST(Restart, RunningMulgateIsTermedStoppedAndStartedAgain)
{
    sim::Device d(device_with("CONFIGURED\n"));
    wait_start_up_over(d);
    ASSERT_TRUE(d.wait_service_state("mulgate", "running", 2s));
    const pid_t old = d.service("mulgate").pid;
    const std::size_t from = d.log().size();
    const std::size_t writes = d.property_writes().size();

    d.signal_daemon(SIGUSR2);
    const std::size_t end = end_of_restart(d, from);
    EXPECT_THAT(messages(d, from, end + 1), ElementsAreArray(texts(reactions::restart_lines({.mulgate = old}))));
    EXPECT_EQ(writes_since(d, writes), as_writes({writes::kStopMulgate, writes::kStartMulgate}));
    // 2 s for the process to end, then 2 s between the stop and the start.
    EXPECT_GE(ms_between(d, from + 4, from + 5), ms(reactions::kTermWait));
    EXPECT_LT(ms_between(d, from + 4, from + 5), ms(reactions::kTermWait) + 400);
    EXPECT_GE(ms_between(d, from + 5, from + 6), ms(reactions::kRestartGap));
    EXPECT_LT(ms_between(d, from + 5, from + 6), ms(reactions::kRestartGap) + 400);
    ASSERT_TRUE(d.wait_service_state("mulgate", "running", 2s));
    EXPECT_NE(d.service("mulgate").pid, old);
}

TEST(Restart, MulgateIgnoringSigtermGetsSixChecksThenInitsStop)
{
    sim::Options o = device_with("CONFIGURED\n");
    o.services["mulgate"].ignore_sigterm = true;
    sim::Device d(o);
    wait_start_up_over(d);
    ASSERT_TRUE(d.wait_service_state("mulgate", "running", 2s));
    const pid_t old = d.service("mulgate").pid;
    const std::size_t from = d.log().size();

    d.signal_daemon(SIGUSR2);
    const std::size_t end = end_of_restart(d, from);
    // init's own stop ends it with SIGKILL within its grace period, so the
    // start 2 s later finds it stopped.
    EXPECT_EQ(messages(d, from, end + 1),
              texts(reactions::restart_lines({.mulgate = old, .mulgate_ignores_sigterm = true})));
    EXPECT_GE(ms_between(d, from + 4, from + 5), ms(reactions::kTermWait));
    for (std::size_t k = 0; k < std::size_t{reactions::kTermChecks}; ++k) {
        const auto gap = ms_between(d, from + 5 + 2 * k, from + 6 + 2 * k);
        EXPECT_GE(gap, ms(reactions::kCheckGap)) << "check " << k;
        EXPECT_LT(gap, 2 * ms(reactions::kCheckGap)) << "check " << k;
    }
    ASSERT_TRUE(d.wait_service_state("mulgate", "running", 2s));
    EXPECT_NE(d.service("mulgate").pid, old);
}

TEST(Restart, WithoutMulgateOrPortsAndOverlappingRequests)
{
    sim::Device d(device_with("CONNECTED\n", "0\n"));
    std::size_t from = wait_start_up_over(d);
    std::size_t writes = d.property_writes().size();

    // No ports: the stop is asked for, the start declined.
    d.signal_daemon(SIGUSR2);
    std::size_t end = end_of_restart(d, from);
    EXPECT_THAT(messages(d, from, end + 1), ElementsAreArray(texts(reactions::restart_lines({.ports = 0}))));
    EXPECT_EQ(writes_since(d, writes), as_writes({writes::kStopMulgate}));

    // A second request while one runs is dropped at once, with its message.
    d.set_ports(1);
    from = d.log().size();
    writes = d.property_writes().size();
    d.signal_daemon(SIGUSR2);
    ASSERT_TRUE(d.wait_for_message(msg::mulgate_not_running(), 2s, from));
    d.signal_daemon(SIGUSR2);
    auto dropped = d.wait_for_message(msg::restart_busy(), 1s, from);
    ASSERT_TRUE(dropped);
    // The dropped request's two lines, with whatever the restart's own
    // thread logs between them.
    auto taken = d.wait_for_message(msg::signal(SIGUSR2), 0ms, from + 1);
    ASSERT_TRUE(taken);
    ASSERT_LT(*taken, *dropped);
    end = end_of_restart(d, from);
    std::vector<std::string> story = messages(d, from, end + 1);
    story.erase(story.begin() + static_cast<long>(*dropped - from));
    story.erase(story.begin() + static_cast<long>(*taken - from));
    EXPECT_THAT(story, ElementsAreArray(texts(reactions::restart_lines({}))));
    EXPECT_EQ(writes_since(d, writes), as_writes({writes::kStopMulgate, writes::kStartMulgate}));

    // The flag is clear again: the next request runs.
    from = d.log().size();
    d.signal_daemon(SIGUSR2);
    EXPECT_TRUE(d.wait_for_message(msg::mulgate_running(), 2s, from));
    end_of_restart(d, from);
}

class StopSignal : public testing::TestWithParam<int> {};

TEST_P(StopSignal, StopsBothServicesAndExitsZeroAtOnce)
{
    const int sig = GetParam();
    sim::Device d(device_with("CONFIGURED\n"));
    wait_start_up_over(d);
    ASSERT_TRUE(d.wait_service_state("mulgate", "running", 2s));
    const std::size_t from = d.log().size();
    const std::size_t writes = d.property_writes().size();

    expect_stop(d, sig, 500ms);

    EXPECT_EQ(d.log()[from].message, msg::signal(sig));
    // The monitor thread was idle: it logs its end as soon as the stop asks
    // (within the stop's 10 ms pause).
    const size_t ends = expect_stop_lines(d, from, sig);
    if (!daemon_under_tsan()) {
        EXPECT_EQ(ends, 1u);
    }
    EXPECT_EQ(writes_since(d, writes), as_writes(writes::stop()));
    EXPECT_TRUE(d.wait_service_state("mulgate", "stopped", 3s));
}

INSTANTIATE_TEST_SUITE_P(Each, StopSignal, testing::Values(SIGINT, SIGTERM, SIGSEGV, SIGBUS),
                         [](const testing::TestParamInfo<int> &p) { return std::string(sigabbrev_np(p.param)); });

TEST(Stop, AbandonsARestartAndAPollAtOnce)
{
    // During the restart's 2 s wait for mulgate to end.
    {
        sim::Device d(device_with("CONFIGURED\n"));
        const std::size_t from = wait_start_up_over(d);
        const pid_t mulgate = d.service("mulgate").pid;
        d.signal_daemon(SIGUSR2);
        ASSERT_TRUE(d.wait_for_message(msg::mulgate_termed(mulgate), 3s, from));
        expect_stop(d, SIGTERM, 500ms);
        auto lines = messages(d, from, d.log().size());
        EXPECT_EQ(std::count(lines.begin(), lines.end(), msg::restart_end()), 0);
        EXPECT_EQ(lines.back(), msg::stop_end());
    }
    // During the monitor's 2 s poll of a service init still reports running.
    {
        sim::Device d(device_with("CONNECTED\n"));
        wait_start_up_over(d);
        d.setprop("init.svc.mulgate", "running");
        const std::size_t from = d.log().size();
        d.set_usb_state("CONFIGURED");
        ASSERT_TRUE(d.wait_for_message(msg::poll("running"), 2s, from));
        expect_stop(d, SIGINT, 500ms);
        auto lines = messages(d, from, d.log().size());
        EXPECT_EQ(std::count(lines.begin(), lines.end(), msg::start_service()), 0);
        EXPECT_EQ(lines.back(), msg::stop_end());
    }
}

TEST(Stop, BurstOfSignalsAndUsbEventsLeavesADaemonThatAnswersAndStops)
{
    sim::Options o = device_with("CONFIGURED\n");
    o.restart_delay = 1000ms;
    sim::Device d(o);
    const std::size_t from = wait_start_up_over(d);
    std::mt19937 rng(7);
    for (int i = 0; i < 40; ++i) {
        switch (rng() % 4) {
        case 0: d.signal_daemon(SIGUSR2); break;
        case 1: d.plug(); break;
        case 2: d.unplug(); break;
        default: d.set_ports(static_cast<int>(rng() % 3)); break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 30));
    }
    d.set_ports(1);
    // Restarts and 2 s polls in flight all come to an end.
    d.wait_log_quiet(2500ms, 30s);
    ASSERT_TRUE(d.daemon_status().running);

    // Never two restarts at once: each start of one is followed by its end
    // before the next start.
    bool in_restart = false;
    for (const auto &m : messages(d, from, d.log().size())) {
        if (m == msg::mulgate_running() || m == msg::mulgate_not_running()) {
            EXPECT_FALSE(in_restart) << "two restarts overlapped";
            in_restart = true;
        } else if (m == msg::restart_end()) {
            EXPECT_TRUE(in_restart);
            in_restart = false;
        }
    }
    EXPECT_FALSE(in_restart);

    const std::size_t after = d.log().size();
    d.unplug();
    EXPECT_TRUE(d.wait_for_message(msg::disconnect_event(), 2s, after));
    d.wait_log_quiet(300ms, 5s);
    expect_stop(d, SIGTERM, 2s);
}

TEST(Stop, ARealFaultTakesTheOrderlyStopAndAHungStopStillEnds)
{
    // The daemon's signal handling in a program that then faults in its own
    // code: the kernel raises the signal on the faulting thread.
    for (auto [kind, sig] : {std::pair{"segv", SIGSEGV}, std::pair{"bus", SIGBUS}}) {
        sim::Options o = device_with("CONNECTED\n");
        o.start_daemon = false;
        sim::Device d(o);
        d.start_daemon(helper({"fault", kind}));
        auto status = d.wait_daemon_exit(5s);
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, kExitZero) << kind << ": " << status->describe();
        EXPECT_THAT(messages(d, 0, d.log().size()), ElementsAreArray(texts(reactions::stop_lines(sig))));
        EXPECT_EQ(writes_since(d, 0), as_writes(writes::stop()));
    }
    // A property service that never answers: the stop's bound ends the
    // process after 8 s, still with status 0.
    sim::Options o = device_with("CONNECTED\n");
    o.start_daemon = false;
    o.property_delay = 60s;
    sim::Device d(o);
    d.start_daemon(helper({"fault", "segv"}));
    const auto t0 = std::chrono::steady_clock::now();
    auto status = d.wait_daemon_exit(12s);
    ASSERT_TRUE(status);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(*status, kExitZero) << status->describe();
    EXPECT_GE(took, reactions::kStopBound - 100ms);
    EXPECT_LT(took, reactions::kStopBound + 1500ms);
    EXPECT_THAT(messages(d, 0, d.log().size()), ElementsAreArray({msg::signal(SIGSEGV)}));
}

TEST(Startup, RefusedMonitorThreadEndsWithStatus21)
{
    sim::Options o = device_with("CONNECTED\n");
    o.start_daemon = false;
    sim::Device d(o);
    // An unprivileged user allowed no thread beyond main (and the
    // emulator's own helper, when the daemon runs under emulation).
    d.start_daemon(unprivileged(o, 1 + extra_threads(o)));
    auto status = d.wait_daemon_exit(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, (sim::ExitStatus{true, reactions::kMonitorRefusedStatus, 0})) << status->describe() << "\n"
                                                                                     << d.daemon_status().err;
    // Its last lines may still be on their way to logd.
    d.wait_log_quiet(200ms, 3s);

    // Its log goes wherever the unprivileged daemon can reach.
    std::vector<std::string> lines;
    for (const auto &e : d.log())
        lines.push_back(e.message);
    if (lines.empty()) {
        std::istringstream err(d.daemon_status().err);
        for (std::string l; std::getline(err, l);)
            lines.push_back(l.substr(l.find(" : ") + 3));
    }
    const auto want = texts(reactions::monitor_refused_lines());
    ASSERT_GE(lines.size(), want.size());
    EXPECT_THAT(std::vector<std::string>(lines.end() - static_cast<long>(want.size()), lines.end()),
                ElementsAreArray(want));
}

} // namespace
} // namespace e2e
