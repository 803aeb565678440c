// `drovik-sim soak [N]`: N uevents of every kind and restarts now and then,
// one at a time, every line the daemon should write counted, and the daemon's
// descriptors, threads, RSS and CPU compared between start and end.
#include <algorithm>
#include <csignal>
#include <cstring>
#include <random>
#include <sstream>

#include "figures.h"
#include "sim/reactions.h"
#include "tool/commands.h"
#include "tool/guard.h"

namespace tool {

using namespace std::chrono_literals;

namespace {

// VmRSS may grow this much (four pages) between the start and the end
// figures. The daemon allocates nothing of its own, and by the start every
// path has run once, so its RSS holds still; the room is for a page of libc
// state touched late. A leak of a few bytes per event over thousands of
// events is past it.
constexpr long kRssToleranceKb = 16;
// Every so many uevents a CONFIGURED comes while mulgate runs (the daemon
// polls its state for 2 s), and half-way between two of them a restart.
constexpr long kPeriod = 250;

enum class Kind {
    Disconnected,
    Configured,             // mulgate stopped: started at once
    ConfiguredWhileRunning, // the 2 s poll, then it gives up
    Connected,
    StateX,  // USB_STATE_X=1: a field that only begins with USB_STATE
    NoState, // another device's event, no USB_STATE at all
    Garbage, // bytes without USB_STATE
    RestartRunning,
    RestartStopped,
};
constexpr int kKinds = 9;

const char *kind_name(Kind k)
{
    switch (k) {
    case Kind::Disconnected: return "DISCONNECTED";
    case Kind::Configured: return "CONFIGURED, mulgate stopped";
    case Kind::ConfiguredWhileRunning: return "CONFIGURED, mulgate running";
    case Kind::Connected: return "CONNECTED";
    case Kind::StateX: return "USB_STATE_X=1";
    case Kind::NoState: return "no USB_STATE";
    case Kind::Garbage: return "garbage";
    case Kind::RestartRunning: return "SIGUSR2, mulgate running";
    case Kind::RestartStopped: return "SIGUSR2, mulgate stopped";
    }
    return "?";
}

// The i-th uevent of the run.
Kind uevent_kind(long i)
{
    static const Kind cycle[] = {Kind::Disconnected, Kind::Configured, Kind::Connected, Kind::Disconnected,
                                 Kind::StateX,       Kind::Configured, Kind::NoState,   Kind::Disconnected,
                                 Kind::Garbage,      Kind::Configured};
    if (i % kPeriod == kPeriod - 1)
        return Kind::ConfiguredWhileRunning;
    return cycle[i % 10];
}

// What the daemon logs for an event of this kind, with mulgate's pid.
sim::reactions::Lines lines_of(Kind k, pid_t mulgate)
{
    namespace r = sim::reactions;
    switch (k) {
    case Kind::Disconnected: return r::disconnect_lines("0", false);
    case Kind::Configured: return r::configured_lines();
    case Kind::ConfiguredWhileRunning: return r::configured_while_running_lines();
    case Kind::Connected: return r::other_state_lines("USB_STATE=CONNECTED");
    case Kind::StateX: return r::other_state_lines("USB_STATE_X=1");
    case Kind::NoState:
    case Kind::Garbage: return {};
    case Kind::RestartRunning: return r::restart_lines({.mulgate = mulgate});
    case Kind::RestartStopped: return r::restart_lines({});
    }
    return {};
}

// The daemon's uevent socket as the device's /proc/net/netlink shows it.
struct Socket {
    bool found = false;
    long rmem = 0;  // bytes waiting to be read
    long drops = 0; // datagrams the kernel dropped for want of room
};

Socket daemon_socket(sim::Device &d)
{
    Socket s;
    auto text = d.read_file("/proc/1/net/netlink");
    if (!text)
        return s;
    std::istringstream in(*text);
    std::string line;
    std::getline(in, line); // the heading
    while (std::getline(in, line)) {
        char sk[32];
        int proto = 0, dump = 0, locks = 0;
        unsigned long port = 0, groups = 0, wmem = 0, drops = 0;
        long rmem = 0;
        if (sscanf(line.c_str(), "%31s %d %lu %lx %ld %lu %d %d %lu", sk, &proto, &port, &groups, &rmem, &wmem, &dump,
                   &locks, &drops) != 9)
            continue;
        if (proto == 15 && (groups & 1) && static_cast<pid_t>(port) == d.daemon_pid())
            return {true, rmem, static_cast<long>(drops)};
    }
    return s;
}

class Soak {
public:
    explicit Soak(sim::Device &d) : d_(d), rng_(20240611) {}

    // One event, paced: it returns once the daemon has written every line
    // the event calls for (or, for an event that calls for none, has taken
    // the datagram from its socket) and mulgate is where it left it.
    void send(Kind k)
    {
        prepare(k);
        const pid_t mulgate = d_.service("mulgate").pid;
        const auto want = lines_of(k, mulgate);
        const size_t from = cursor_;
        switch (k) {
        case Kind::Disconnected: uevent("DISCONNECTED"); break;
        case Kind::Configured:
        case Kind::ConfiguredWhileRunning: uevent("CONFIGURED"); break;
        case Kind::Connected: uevent("CONNECTED"); break;
        case Kind::StateX:
            d_.send_uevent(
                numbered({"change@" + std::string(sim::Device::kUsbDevpath), "ACTION=change", "USB_STATE_X=1"}));
            break;
        case Kind::NoState:
            d_.send_uevent(numbered({"add@/devices/platform/leds", "ACTION=add", "SUBSYSTEM=leds"}));
            break;
        case Kind::Garbage: d_.send_uevent(garbage()); break;
        case Kind::RestartRunning:
        case Kind::RestartStopped: d_.signal_daemon(SIGUSR2); break;
        }
        ++sent_[static_cast<int>(k)];
        expected_ += static_cast<long>(want.size());
        if (want.empty()) {
            // Nothing to wait for but the datagram leaving the socket's queue.
            if (!sim::Device::wait_until([&] { return daemon_socket(d_).rmem == 0; }, 10s, 1ms))
                problem(std::string(kind_name(k)) + ": the daemon did not take the datagram within 10 s");
            return;
        }
        const auto timeout = k == Kind::RestartRunning || k == Kind::RestartStopped ? 15s : 10s;
        sim::Device::wait_until([&] { return d_.log().size() >= from + want.size(); }, timeout, 1ms);
        const auto &log = d_.log();
        const size_t got = std::min(log.size() - from, want.size());
        for (size_t i = 0; i < got; ++i)
            if (!want[i].matches(log[from + i].message) && wrong_++ < 5)
                problem(std::string(kind_name(k)) + ": line " + std::to_string(i + 1) + " is \"" +
                        sim::printable(log[from + i].message, true) + "\", not \"" +
                        sim::printable(want[i].text, true) + "\"");
        if (got < want.size()) {
            // Lines went missing: later events are counted from what came.
            problem(std::string(kind_name(k)) + ": " + std::to_string(want.size() - got) + " of " +
                    std::to_string(want.size()) + " lines did not come");
            d_.wait_log_quiet(500ms, 5s);
            cursor_ = d_.log().size();
        } else {
            cursor_ = from + want.size();
        }
    }

    long expected() const { return expected_; }
    long sent(Kind k) const { return sent_[static_cast<int>(k)]; }
    long wrong() const { return wrong_; }
    const std::vector<std::string> &problems() const { return problems_; }
    void start_counting() { cursor_ = d_.log().size(); }

private:
    void uevent(const char *state) { d_.send_uevent(sim::Device::usb_uevent(state, seqnum_++)); }

    // A uevent of these fields and a sequence number.
    std::string numbered(std::initializer_list<std::string_view> f)
    {
        return sim::Device::uevent_datagram(f) + sim::Device::uevent_datagram({"SEQNUM=" + std::to_string(seqnum_++)});
    }

    // Bytes with no USB_STATE in them, 1 to 300 of them.
    std::string garbage()
    {
        std::uniform_int_distribution<int> len(1, 300), byte(0, 255);
        for (;;) {
            std::string s(static_cast<size_t>(len(rng_)), '\0');
            for (auto &c : s)
                c = static_cast<char>(byte(rng_));
            if (s.find("USB_STATE") == std::string::npos)
                return s;
        }
    }

    // Puts mulgate in the state the event's lines assume.
    void prepare(Kind k)
    {
        bool running;
        switch (k) {
        case Kind::Configured:
        case Kind::RestartStopped: running = false; break;
        case Kind::ConfiguredWhileRunning:
        case Kind::RestartRunning: running = true; break;
        default: return;
        }
        // A stop under way (the stand-in ends at its SIGTERM) is let finish.
        if (d_.service("mulgate").state == "stopping")
            d_.wait_service_state("mulgate", "stopped", 5s);
        const std::string state = d_.service("mulgate").state;
        if (running && state != "running") {
            d_.setprop("ctl.start", "mulgate");
            if (!d_.wait_service_state("mulgate", "running", 5s))
                throw sim::Error("mulgate did not start");
        } else if (!running && state != "stopped") {
            d_.setprop("ctl.stop", "mulgate");
            if (!d_.wait_service_state("mulgate", "stopped", 5s))
                throw sim::Error("mulgate did not stop");
        }
    }

    void problem(const std::string &what)
    {
        if (problems_.size() < 20)
            problems_.push_back(what);
        if (!d_.daemon_status().running)
            throw sim::Error("the daemon has ended: " + d_.daemon_status().exit.value_or(sim::ExitStatus{}).describe());
    }

    sim::Device &d_;
    std::mt19937 rng_;
    unsigned seqnum_ = 5000;
    size_t cursor_ = 0;
    long expected_ = 0;
    long wrong_ = 0;
    long sent_[kKinds] = {};
    std::vector<std::string> problems_;
};

double us_per_event(const DaemonFigures &a, const DaemonFigures &b, long events)
{
    return events > 0 ? (b.on_cpu_ms - a.on_cpu_ms) * 1000.0 / static_cast<double>(events) : 0;
}

} // namespace

int run_soak(const Settings &s, long n)
{
    // With Android's restart delay, as the restart's lines assume: its own
    // SIGTERM ends mulgate for good until it starts mulgate again.
    sim::Device d(tool_device(s));
    DeviceGuard guard(d);
    const auto t_begin = std::chrono::steady_clock::now();
    wait_start_up(d);

    Soak soak(d);
    const size_t log_at_start = d.log().size();
    soak.start_counting();
    // A first round of every kind, so that the start figures are taken
    // once every path has run at least once.
    for (Kind k : {Kind::Disconnected, Kind::Configured, Kind::ConfiguredWhileRunning, Kind::Connected, Kind::StateX,
                   Kind::NoState, Kind::Garbage, Kind::RestartRunning, Kind::RestartStopped})
        soak.send(k);
    d.wait_log_quiet(100ms, 2s);

    // CPU per event over the first and the last stretch of events, each one
    // period long (or half the run when it is shorter).
    const long window = std::max(1L, std::min(kPeriod, n / 2));
    DaemonFigures start = daemon_figures(d), start_window_end{}, end_window_start{};
    long restarts = 0;
    printf("drovik-sim soak: %ld uevents, with a restart every %ld (after a first round of every kind)\n", n, kPeriod);
    flush();
    for (long i = 0; i < n; ++i) {
        if (i == n - window)
            end_window_start = daemon_figures(d);
        soak.send(uevent_kind(i));
        if (i % kPeriod == kPeriod / 2 - 1)
            soak.send(restarts++ % 2 == 0 ? Kind::RestartRunning : Kind::RestartStopped);
        if (i + 1 == window)
            start_window_end = daemon_figures(d);
        if ((i + 1) % 500 == 0 && i + 1 < n)
            fprintf(stderr, "soak: %ld of %ld uevents\n", i + 1, n);
    }
    d.wait_log_quiet(300ms, 5s);
    const DaemonFigures end = daemon_figures(d);
    const long received = static_cast<long>(d.log().size() - log_at_start);
    const long lost = soak.expected() - received;
    const Socket sock = daemon_socket(d);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t_begin).count();

    printf("\n  %-34s %12s %12s\n", "", "start", "end");
    printf("  %-34s %12d %12d\n", "open descriptors", start.fds, end.fds);
    printf("  %-34s %12d %12d\n", "threads", start.threads, end.threads);
    printf("  %-34s %12ld %12ld\n", "VmRSS (kB)", start.rss_kb, end.rss_kb);
    printf("  %-34s %12.1f %12.1f\n", ("CPU per event (us), " + std::to_string(window) + " events").c_str(),
           us_per_event(start, start_window_end, window), us_per_event(end_window_start, end, window));
    printf("\n  events sent:\n");
    for (int k = 0; k < kKinds; ++k)
        printf("    %-32s %8ld\n", kind_name(static_cast<Kind>(k)), soak.sent(static_cast<Kind>(k)));
    printf("  lines expected %ld, received %ld, lost %ld, not as expected %ld\n", soak.expected(), received,
           std::max(0L, lost), soak.wrong());
    printf("  datagrams the kernel dropped for the daemon: %ld\n", sock.found ? sock.drops : -1);
    printf("  CPU, utime+stime over the whole run: %.0f ms; %.0f s in all\n", end.cpu_ticks_ms, seconds);

    std::vector<std::string> failures = soak.problems();
    if (end.fds > start.fds)
        failures.push_back("open descriptors grew from " + std::to_string(start.fds) + " to " +
                           std::to_string(end.fds));
    if (end.threads > start.threads)
        failures.push_back("threads grew from " + std::to_string(start.threads) + " to " + std::to_string(end.threads));
    if (end.rss_kb - start.rss_kb > kRssToleranceKb)
        failures.push_back("VmRSS grew by " + std::to_string(end.rss_kb - start.rss_kb) + " kB (tolerance " +
                           std::to_string(kRssToleranceKb) + " kB)");
    if (lost != 0)
        failures.push_back(lost > 0 ? "lines lost: " + std::to_string(lost)
                                    : "lines beyond what the events call for: " + std::to_string(-lost));
    if (soak.wrong() > 0)
        failures.push_back("lines not as expected: " + std::to_string(soak.wrong()));
    if (!sock.found || sock.drops != 0)
        failures.push_back(sock.found ? "the kernel dropped uevents for the daemon" : "the daemon's socket is gone");
    if (failures.empty()) {
        printf("\nsoak: passed (VmRSS tolerance %ld kB)\n", kRssToleranceKb);
        flush();
        return 0;
    }
    printf("\nsoak: FAILED\n");
    for (auto &f : failures)
        printf("  %s\n", f.c_str());
    flush();
    return 1;
}

} // namespace tool
