// Shared helpers of the end-to-end tests: devices, expected log lines, timings.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/reactions.h"

namespace e2e {

using namespace std::chrono_literals;
using sim::Device;
using sim::Millis;

// The path of this test program, which also serves as a helper run inside
// devices (see main.cpp).
const std::string &self_exe();

// A helper mode of this program, as a command to run inside a device.
std::vector<std::string> helper(std::vector<std::string> args);

// Options for a device whose daemon is not started by the boot.
inline sim::Options quiet_device()
{
    sim::Options o;
    o.start_daemon = false;
    return o;
}

// A device booted with this state file and port count whose init restarts a
// service that ended by itself after Android's delay, so that a restart
// request sees its own SIGTERM end mulgate for good.
inline sim::Options device_with(const char *usb_state, const char *ports = "1\n")
{
    sim::Options o;
    o.usb_state = usb_state;
    o.serial_port_num = ports;
    o.restart_delay = sim::kAndroidRestartDelay;
    return o;
}

// How the daemon ends on a stop, whatever ends the stop.
inline const sim::ExitStatus kExitZero{true, 0, 0};

// How long a daemon may take to react; generous, since the daemon may run
// under emulation and the suite runs devices in parallel.
constexpr Millis kReact = 10s;

// Set (DROVIK_E2E_TSAN=1) when the daemon under test is built with
// ThreadSanitizer, which adds a thread of its own and hands a signal to the
// daemon's handler only at the thread's next library call: the monitor then
// notices a stop's request up to one 100 ms wake-up late, after the exit.
bool daemon_under_tsan();

// Threads that the command running the daemon adds of its own: qemu's helper
// thread, ThreadSanitizer's background thread.
int extra_threads(const sim::Options &o);

// The daemon's expected reactions (sim/reactions.h), as the tests write them.
namespace reactions = sim::reactions;
namespace msg = sim::reactions::msg;
namespace writes = sim::reactions::writes;
using reactions::configured_lines;
using reactions::disconnect_lines;
using reactions::Line;
using reactions::start_lines;

// The texts of lines that are all exact.
std::vector<std::string> texts(const std::vector<Line> &lines);

std::string quoted(const std::string &s);

// Waits until the log holds want.size() entries from index `from` on and
// checks them in order (tag MULGATE, priority debug, the texts); returns the
// index after them. A mismatch is a test failure showing the whole log.
size_t expect_lines(Device &d, size_t from, const std::vector<Line> &want, Millis timeout = kReact);

// Checks that no entry arrives after index `n` for `quiet`.
void expect_no_more(Device &d, size_t n, Millis quiet = 300ms);

// Waits for the entry with exactly this message at or after `from`; its index
// (a failure and the log size when it does not come).
size_t wait_line(Device &d, std::string_view text, size_t from, Millis timeout = kReact);

// The writes the daemon made as "name=value", from index `from`.
std::vector<std::string> daemon_writes(Device &d, size_t from = 0);

// The messages of the entries [from, to).
std::vector<std::string> messages(Device &d, size_t from, size_t to);

// Every property write from index `from` on, whoever made it.
using Writes = std::vector<std::pair<std::string, std::string>>;
Writes writes_since(Device &d, size_t from);
// Writes written as "name=value" (the catalogue's way).
Writes as_writes(const std::vector<std::string> &name_values);

// Checks that from the stop's first line on the log holds the stop's lines
// and nothing of any event or restart; the monitor's end may come anywhere
// after the stop's ctl.stop of mulgate. Returns how many such ends it saw.
size_t expect_stop_lines(Device &d, size_t from, int sig);

// The daemon's send stamps of two entries, in milliseconds apart.
double ms_between(const sim::LogEntry &a, const sim::LogEntry &b);

// A device with the daemon started and its uevent socket bound.
void start_and_listen(Device &d);

// The daemon (started first when it has not been) is past its start-up: it
// listens for uevents and has logged nothing more for 300 ms. Returns the
// log's size.
size_t wait_start_up_over(Device &d);

// Four bytes of the property service's wire; a SETPROP2 message.
std::string u32(uint32_t v);
std::string set_msg(const std::string &n, const std::string &v);
// One connection to the device's property service, as a process of the device
// makes it: sends the bytes, then reads everything until the service closes.
std::string prop_call(Device &d, const std::string &bytes);

// A .rc file of a test's own with this text, for Options::rc_files; its path.
std::string rc_file(const std::string &name, const std::string &text);

// The daemon's command run as a fresh unprivileged user allowed `threads`
// threads in all.
std::vector<std::string> unprivileged(const sim::Options &o, int threads);

} // namespace e2e
