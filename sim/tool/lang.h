// The command language of drovik-sim: one line, one command, shared by the
// shell and by story files (docs/stories.md).
#pragma once

#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim/device.h"

namespace tool {

enum class Op {
    // the device
    Plug,
    Unplug,
    Usb,     // a: state word
    Ports,   // number
    Uevent,  // a: raw bytes
    Setprop, // a = b
    Getprop, // a
    Service, // a: service, flag: ignores SIGTERM
    Spawn,   // a: process name, flag: ignores SIGTERM
    Kill,    // a: process name, number: signal
    Signal,  // number: signal to the daemon
    Restart, // SIGUSR2 to the daemon
    Stop,    // SIGTERM to the daemon, then wait for its end
    Start,
    Wait, // time
    // expectations; `time` is how long to wait for them
    ExpectLog,     // a: exact message, or re when pattern
    ExpectWrite,   // a = b, by the daemon
    ExpectService, // a: service, b: state ("" for unset)
    ExpectExit,    // number: exit code, or signal when by_signal
    ExpectQuiet,   // nothing more logged for `time`
    // views
    Log, // flag: all
    Writes,
    Events,
    Services,
    Ps,
    Status,
    Help,
    Quit,
    // narration
    Step, // a: title
    Say,  // a: text
    // set-up before the device boots ("boot ..."); absent: the file is left out
    BootUsb,
    BootPorts,
    BootSetprop,
    BootService,
    BootDaemon, // flag: started at boot
};

struct Command {
    Op op = Op::Help;
    std::string a, b;
    int number = 0;
    bool flag = false;
    bool pattern = false;   // ExpectLog: `a` is a regular expression
    bool by_signal = false; // ExpectExit
    bool absent = false;    // BootUsb, BootPorts
    sim::Millis time{0};
    std::shared_ptr<const std::regex> re;

    bool is_expectation() const { return op >= Op::ExpectLog && op <= Op::ExpectQuiet; }
    bool is_boot() const { return op >= Op::BootUsb; }
};

struct ParseError {
    size_t column = 1; // 1-based, in bytes
    std::string message;
};

// How long an expectation waits when its line names no time: enough for the
// daemon's 2-second pauses and for a daemon run under qemu-aarch64 emulation.
constexpr sim::Millis kDefaultWithin{10000};

// One line of the language. A blank or comment line gives std::monostate.
using Parsed = std::variant<std::monostate, Command, ParseError>;
Parsed parse_line(std::string_view line);

// A whole story: its boot lines, then its steps with their line numbers.
struct StoryLine {
    int number = 0;
    std::string text;
    Command cmd;
};
struct Story {
    std::vector<StoryLine> boot;
    std::vector<StoryLine> body;
};
struct StoryError {
    int line = 0;
    size_t column = 1;
    std::string message;
    std::string text; // the line itself
};
std::variant<Story, StoryError> parse_story(std::string_view text);

// What the shell's help shows: every command of the language.
extern const char kLanguageHelp[];

// Signal numbers by name ("TERM", "SIGTERM", "15"); nullopt when unknown.
std::optional<int> signal_number(std::string_view name);
std::string signal_name(int sig); // "SIGTERM", or the number

// Bytes shown on one line, escaped, cut after `max` bytes with the full size.
std::string shown(std::string_view bytes, size_t max = 48);
// A line as written, with only its control bytes escaped.
std::string visible(std::string_view line);
// A time as the language writes it ("500ms", "2s", "1.5s").
std::string time_text(sim::Millis t);

} // namespace tool
