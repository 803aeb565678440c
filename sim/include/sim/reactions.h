// What the daemon does in answer to each thing that happens to it, as seen
// from outside: its log lines in order, its property writes and its pauses.
// The one statement of them for the end-to-end tests and the drovik-sim
// tool alike; a change of the daemon's behaviour is a change here.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::reactions {

// One expected log line: its exact message, or a regular expression over
// the whole message (for the parts that vary: build time, thread ids).
struct Line {
    std::string text;
    bool pattern = false;
    bool matches(std::string_view message) const;
};
Line exact(std::string text);
Line pattern(std::string regex);
using Lines = std::vector<Line>;

// The event-log switch the daemon reads: sprue is to run when it is 1.
constexpr const char *kSwitch = "persist.sys.v3.sprue.state";
// The daemon's threads: main, USB monitor, signal thread.
constexpr int kThreads = 3;

// Every line of the daemon's carries this tag, at debug priority.
constexpr std::string_view kTag = "MULGATE";
constexpr int kPriority = 3;
constexpr char kPriorityLetter = 'D'; // as logcat shows it

// ---- single messages

namespace msg {
std::string pid(pid_t daemon);                // "PID of drovik: ..."
std::string switch_value(std::string_view v); // the event-log switch as read
std::string sprue_start();                    // the switch asks for sprue
std::string switch_done();                    // the switch's handling is over
std::string state_read(std::string_view content);
std::string stop_service();  // ctl.stop of mulgate asked for
std::string start_service(); // startService is over, whatever it did
std::string serial_count(int ports);
std::string not_serial();                 // no port: mulgate is not started
std::string poll(std::string_view state); // init.svc.mulgate as the start reads it
std::string poll_gave_up(std::string_view state);
std::string usb_status(std::string_view field); // the USB_STATE field of a uevent
std::string disconnect_event();
std::string configured_event();
std::string other_event();
std::string no_sprue();
std::string sprue_running();
std::string sprue_pid(pid_t pid, int index);   // a disconnect's lookup of sprue
std::string mulgate_pid(pid_t pid, int index); // a restart's lookup of mulgate
std::string signal(int sig);                   // the daemon took a stop or restart signal
std::string mulgate_running();
std::string mulgate_not_running();
std::string mulgate_termed(pid_t pid);
std::string mulgate_still_running(int check);
std::string restart_busy(); // a second restart request, dropped
std::string restart_end();
std::string stop_end();                  // the orderly stop's last line
std::string proc_unreadable();           // the monitor's lookup without /proc
std::string proc_lookup_failed();        // the monitor's lookup, after it
std::string restart_lookup_failed();     // a restart's lookup without /proc
std::string proc_unreadable_on_stdout(); // what the restart's lookup prints instead
} // namespace msg

// The line a thread logs as it ends (its id varies).
Line thread_end();

// ---- sequences

// Start-up: the banner, the pid, the event-log switch as read and whether
// it starts sprue.
Lines start_up(pid_t daemon, const std::string &switch_value = "0", bool starts_sprue = false);
// The state file read at start-up: its content, or why it could not be.
Lines state_read(const std::string &content);
Lines state_missing();
Lines state_unreadable();
// Start-up on a device whose cable is attached (CONFIGURED, one port):
// mulgate stopped and started.
Lines configured_start_up(pid_t daemon, const std::string &switch_value = "0", bool starts_sprue = false);

// startService with mulgate stopped: at once, or nothing without a port.
Lines start_lines(int ports = 1);
// startService while mulgate runs: it polls, then gives up.
Lines start_gives_up_lines();

// Uevents.
Lines other_state_lines(std::string_view field);
Lines configured_lines(int ports = 1);
Lines configured_while_running_lines();
Lines plug_lines(); // CONNECTED, then CONFIGURED with mulgate stopped
// A disconnect that finds no sprue: with the switch's value as logged, and
// whether that starts sprue; without /proc the lookup's failure comes first.
Lines disconnect_lines(const std::string &switch_value, bool starts_sprue, bool proc_readable = true);
// A disconnect that finds sprue running (its processes, in /proc's order).
Lines disconnect_sprue_running_lines(const std::vector<pid_t> &sprue);

// A restart request (SIGUSR2) from its first line to its last.
struct Restart {
    pid_t mulgate = 0; // the running mulgate's pid; 0 when none runs
    bool mulgate_ignores_sigterm = false;
    int ports = 1;
    bool proc_readable = true;
};
Lines restart_lines(const Restart &r);

// The orderly stop on this signal.
Lines stop_lines(int sig);
// Start-up when the monitor thread cannot be created; the daemon then exits 21.
Lines monitor_refused_lines();
constexpr int kMonitorRefusedStatus = 21;

// ---- property writes, as "name=value"

namespace writes {
extern const std::string kStartMulgate, kStopMulgate, kStartSprue, kStopSprue;
// The stop's writes, in order.
std::vector<std::string> stop();
} // namespace writes

// ---- the daemon's own pauses and bounds

using namespace std::chrono_literals;
constexpr std::chrono::milliseconds kSettle = 10ms;    // after the switch, between a stop and a start
constexpr std::chrono::milliseconds kPollGap = 200ms;  // between two reads of init.svc.mulgate
constexpr int kPolls = 10;                             // then startService gives up
constexpr std::chrono::milliseconds kTermWait = 2s;    // a restart's wait for mulgate to end at SIGTERM
constexpr int kTermChecks = 6;                         // a restart's checks of a mulgate that does not,
constexpr std::chrono::milliseconds kCheckGap = 200ms; // each after this pause
constexpr std::chrono::milliseconds kRestartGap = 2s;  // a restart's pause between stop and start
constexpr std::chrono::milliseconds kStopBound = 8s;   // a stop ends the process at the latest

} // namespace sim::reactions
