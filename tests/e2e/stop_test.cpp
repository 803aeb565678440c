// The orderly stop at any instant: once it has begun nothing else speaks to
// the property service or carries on an event or a restart; it waits for
// peers that answer and ends within its bound when they do not; and the
// daemon's threads are the three it should have.
#include "e2e.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <thread>

namespace e2e {
namespace {

using Devices = std::vector<std::unique_ptr<Device>>;

int thread_count(Device &d)
{
    auto status = d.read_file("/proc/" + std::to_string(d.daemon_pid()) + "/status");
    if (!status)
        return -1;
    auto at = status->find("\nThreads:");
    return at == std::string::npos ? -1 : atoi(status->c_str() + at + 9);
}

std::optional<sim::ExitStatus> stop(Device &d, int sig, Millis limit, Millis *took = nullptr)
{
    auto t0 = std::chrono::steady_clock::now();
    d.signal_daemon(sig);
    auto status = d.wait_daemon_exit(limit);
    if (took)
        *took = std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - t0);
    d.wait_log_quiet(100ms, 2s);
    return status;
}

// A SIGTERM has been sent: the daemon exits 0, its stop's lines (from the
// log index `from`) and its two writes (from the write index `writes`) are
// the last it makes, whatever the monitor or a restart wrote before them, and
// nothing starts mulgate again.
void expect_stop_was_the_last_word(Device &d, size_t from, size_t writes)
{
    auto status = d.wait_daemon_exit(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe();
    d.wait_log_quiet(100ms, 2s);
    expect_stop_lines(d, from, SIGTERM);
    auto w = daemon_writes(d, writes);
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(w.end() - 2, w.end()), writes::stop()) << testing::PrintToString(w);
    EXPECT_EQ(std::count(w.begin(), w.end(), writes::kStopSprue), 1);
    EXPECT_TRUE(d.wait_service_state("mulgate", "stopped", 3s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(d.service("mulgate").state, "stopped");
    EXPECT_TRUE(d.pids_named("mulgate").empty());
}

TEST(StopAtAnyInstant, DuringTheStartPollNoStartFollowsTheStop)
{
    // mulgate runs, so a CONFIGURED event has the monitor poll its state every
    // 200 ms; the stop's own ctl.stop makes the next poll read "stopped".
    const Millis gap = reactions::kPollGap;
    const std::vector<Millis> offsets{0ms, gap / 4, gap / 2, gap * 3 / 4, gap - 10ms};
    Devices devs;
    for (size_t i = 0; i < offsets.size(); ++i)
        devs.push_back(std::make_unique<Device>(device_with("CONNECTED\n")));
    std::vector<size_t> from(devs.size()), writes(devs.size());
    for (auto &d : devs) {
        wait_start_up_over(*d);
        d->setprop("ctl.start", "mulgate");
        d->set_usb_state("CONFIGURED");
    }
    for (size_t i = 0; i < devs.size(); ++i) {
        Device &d = *devs[i];
        from[i] = wait_line(d, msg::poll("running"), 0);
        std::this_thread::sleep_for(offsets[i]);
        writes[i] = d.property_writes().size();
        d.signal_daemon(SIGTERM);
    }
    for (size_t i = 0; i < devs.size(); ++i) {
        SCOPED_TRACE("SIGTERM " + std::to_string(offsets[i].count()) + " ms into a poll");
        Device &d = *devs[i];
        expect_stop_was_the_last_word(d, from[i], writes[i]);
    }
}

TEST(StopAtAnyInstant, JustBeforeARestartStartsMulgateTheRestartIsAbandoned)
{
    // The restart has asked init to stop mulgate and waits 2 s before it
    // starts it again; the stop comes a few ms before that start.
    const std::vector<Millis> before{15ms, 8ms, 3ms};
    Devices devs;
    for (size_t i = 0; i < before.size(); ++i)
        devs.push_back(std::make_unique<Device>(device_with("CONFIGURED\n")));
    std::vector<size_t> from(devs.size()), writes(devs.size());
    for (size_t i = 0; i < devs.size(); ++i) {
        from[i] = wait_start_up_over(*devs[i]);
        writes[i] = devs[i]->property_writes().size();
        devs[i]->signal_daemon(SIGUSR2);
    }
    for (size_t i = 0; i < devs.size(); ++i) {
        Device &d = *devs[i];
        size_t stopped = wait_line(d, msg::stop_service(), from[i]);
        ASSERT_LT(stopped, d.log().size());
        std::this_thread::sleep_until(d.log()[stopped].received.steady() + reactions::kRestartGap - before[i]);
        d.signal_daemon(SIGTERM);
    }
    for (size_t i = 0; i < devs.size(); ++i) {
        SCOPED_TRACE("SIGTERM " + std::to_string(before[i].count()) + " ms before the restart's start");
        Device &d = *devs[i];
        expect_stop_was_the_last_word(d, from[i], writes[i]);
    }
}

TEST(StopAtAnyInstant, ThreeThreadsAndAThreadLimitOfThreeIsEnough)
{
    Device d(device_with("CONFIGURED\n"));
    wait_start_up_over(d);
    const int extra = extra_threads(d.options());
    // The main thread, the USB monitor and the signal thread; a restart
    // runs on the thread that took it and adds none.
    EXPECT_EQ(thread_count(d), reactions::kThreads + extra);
    const size_t from = d.log().size();
    d.signal_daemon(SIGUSR2);
    ASSERT_TRUE(d.wait_for_message(msg::mulgate_running(), kReact, from));
    EXPECT_EQ(thread_count(d), reactions::kThreads + extra);
    wait_line(d, msg::restart_end(), from);

    // An unprivileged user allowed exactly that many threads.
    sim::Options o = device_with("CONNECTED\n");
    o.start_daemon = false;
    Device limited(o);
    limited.start_daemon(unprivileged(o, reactions::kThreads + extra));
    ASSERT_TRUE(limited.wait_daemon_listening(kReact)) << limited.daemon_status().err;
    const size_t n = limited.wait_log_quiet(300ms, 5s);
    limited.set_usb_state("CONFIGURED");
    expect_lines(limited, n, configured_lines());
    EXPECT_EQ(daemon_writes(limited), std::vector<std::string>{writes::kStartMulgate});
}

TEST(StopAtAnyInstant, Usr1ToTheProcessEndsTheIdleMainThreadAndTheMonitorGoesOn)
{
    Device d(device_with("CONFIGURED\n"));
    size_t n = wait_start_up_over(d);
    d.signal_daemon(SIGUSR1);
    n = expect_lines(d, n, {reactions::thread_end()});
    EXPECT_EQ(d.log()[n - 1].tid, d.daemon_pid() & 0xffff) << "not the main thread";
    ASSERT_TRUE(d.daemon_status().running);

    d.unplug();
    n = expect_lines(d, n, disconnect_lines("0", false));
    Millis took{};
    auto status = stop(d, SIGTERM, 5s, &took);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe();
    EXPECT_LT(took, 1s);
    expect_stop_lines(d, n, SIGTERM);
}

TEST(StopAtAnyInstant, StandardErrorThatNobodyReadsOrThatHasGone)
{
    // No logd: the daemon's lines go to standard error, here a one-page
    // pipe that nobody reads (filled while the daemon runs, or already full
    // when it starts) or whose reader has gone, with standard output gone too.
    sim::Options o = device_with("CONNECTED\n");
    o.logd = false;
    o.start_daemon = false;
    o.properties[reactions::kSwitch] = "1";
    Device filling(o), full(o);
    o.daemon_without_dac = true;
    Device gone(o);
    auto with_pipes = [&](const char *out, const char *err) {
        std::vector<std::string> argv{"pipes", out, err};
        for (const auto &a : o.daemon_command)
            argv.push_back(a);
        return helper(argv);
    };
    filling.start_daemon(with_pipes("keep", "unread"));
    full.start_daemon(with_pipes("keep", "full"));
    gone.start_daemon(with_pipes("closed", "closed"));

    // Every line fails, and the daemon goes on: it starts sprue, follows
    // the cable, restarts mulgate, and its exit flushes "cannot open /proc"
    // into a pipe nobody reads any more.
    ASSERT_TRUE(gone.wait_daemon_listening(kReact)) << gone.daemon_status().err;
    gone.hide_proc(true);
    gone.unplug();
    ASSERT_TRUE(Device::wait_until([&] { return daemon_writes(gone).size() >= 3; }, kReact));
    gone.signal_daemon(SIGUSR2);
    ASSERT_TRUE(Device::wait_until([&] { return daemon_writes(gone).size() >= 5; }, kReact));
    EXPECT_EQ(daemon_writes(gone),
              (std::vector<std::string>{writes::kStartSprue, writes::kStopMulgate, writes::kStartSprue,
                                        writes::kStopMulgate, writes::kStartMulgate}));
    auto status = stop(gone, SIGTERM, 5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe();

    // About 8 KB of lines for a 4 KB pipe: the monitor blocks in a write.
    ASSERT_TRUE(filling.wait_daemon_listening(kReact));
    for (int i = 0; i < 16; ++i) {
        filling.unplug();
        std::this_thread::sleep_for(30ms);
    }
    // A stop that cannot say a word still ends, within its bound, with the
    // status of a stop. One that comes while the banner cannot be written
    // finds the signal's default action still in place.
    std::this_thread::sleep_for(200ms);
    auto t0 = std::chrono::steady_clock::now();
    filling.signal_daemon(SIGTERM);
    full.signal_daemon(SIGTERM);
    auto ended = filling.wait_daemon_exit(12s);
    ASSERT_TRUE(ended) << "the stop hangs";
    EXPECT_EQ(*ended, kExitZero) << ended->describe();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, reactions::kStopBound + 1500ms);
    ended = full.wait_daemon_exit(2s);
    ASSERT_TRUE(ended) << "alive after a SIGTERM during its banner";
    EXPECT_EQ(*ended, (sim::ExitStatus{false, 0, SIGTERM})) << ended->describe();
}

TEST(StopAtAnyInstant, PeersThatAnswerSlowlyAreWaitedFor)
{
    // A property service that answers each call in 0.6 s: the stop is not cut
    // short, and a state read before a start is not taken for "stopped".
    Device d(device_with("CONFIGURED\n"));
    Device poll(device_with("CONNECTED\n"));
    wait_start_up_over(d);
    wait_start_up_over(poll);
    poll.setprop("ctl.start", "mulgate");
    poll.set_property_delay(1200ms);
    size_t n = poll.log().size();
    poll.set_usb_state("CONFIGURED");

    const Millis per_call = 600ms;
    d.set_property_delay(per_call);
    const size_t from = d.log().size();
    const size_t writes = d.property_writes().size();
    Millis took{};
    auto status = stop(d, SIGTERM, 10s, &took);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe();
    EXPECT_GE(took, per_call * static_cast<int>(writes::stop().size()));
    expect_stop_lines(d, from, SIGTERM);
    EXPECT_EQ(writes_since(d, writes), as_writes(writes::stop()));
    EXPECT_TRUE(d.wait_service_state("mulgate", "stopped", 3s));

    const auto want = reactions::configured_while_running_lines();
    n = expect_lines(poll, n, {want.begin(), want.begin() + 4});
    poll.set_property_delay(0ms);
    wait_line(poll, msg::start_service(), n);
    EXPECT_TRUE(daemon_writes(poll).empty());

    // A logd that stalls for 0.7 s with room for two lines in its queue:
    // the lines wait for it, none is lost or goes to standard error, and a
    // stop waits for it as well (but for the monitor's last one, below).
    sim::Options o = device_with("CONNECTED\n");
    o.logd_queue = 1;
    Device slow(o);
    n = wait_start_up_over(slow);
    slow.pause_logd(true);
    slow.unplug();
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(slow.log().size(), n);
    slow.pause_logd(false);
    n = expect_lines(slow, n, disconnect_lines("0", false));
    slow.pause_logd(true);
    slow.signal_daemon(SIGTERM);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(slow.daemon_status().running);
    slow.pause_logd(false);
    status = slow.wait_daemon_exit(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, kExitZero) << status->describe();
    slow.wait_log_quiet(100ms, 2s);
    // The monitor's last line has the stop's 10 ms pause to reach a logd
    // that is still catching up; the stop does not wait for it, so on a
    // busy machine the exit can come first. It is never written twice.
    EXPECT_LE(expect_stop_lines(slow, n, SIGTERM), 1u);
    EXPECT_EQ(slow.daemon_status().err, "");
}

} // namespace
} // namespace e2e
