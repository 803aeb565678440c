// One executor of the language for the shell and the stories: it carries a
// command out on a device through its verb, and keeps what the verbs share
// (the cursors of expectations, what has been shown, how to speak).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

#include "sim/device.h"
#include "tool/guard.h"
#include "verb.h"

namespace tool {

// What the person has already been shown, so that each look shows only what is new.
class Viewer {
public:
    explicit Viewer(sim::Device &d) : d_(d) {}
    // New log lines in logcat's threadtime layout; returns how many entries.
    size_t show_log(const std::string &indent);
    size_t show_all_log(const std::string &indent);
    // New property writes made inside the device.
    void show_writes(const std::string &indent);
    void show_services(const std::string &indent);
    // Reports the daemon's end once; true when it has ended.
    bool show_daemon_end(const std::string &indent);
    pid_t end_shown() const { return end_shown_; }

private:
    sim::Device &d_;
    size_t log_seen_ = 0;
    size_t writes_seen_ = 0;
    pid_t end_shown_ = 0;
};

class Engine {
public:
    using Clock = std::chrono::steady_clock;

    // verbose: say what each command did and which expectations came true;
    // otherwise only errors, unmet expectations and the daemon's end are told.
    Engine(sim::Device &d, bool verbose, std::string indent);
    Outcome run(const Command &c);
    // Starts the daemon's service and waits until it listens for uevents (or has ended).
    Outcome start_daemon();
    // init's start and stop of a service (ctl.start, ctl.stop); the daemon's
    // stop waits for its end.
    Outcome start_service(const std::string &name);
    Outcome stop_service(const std::string &name);
    // Tells of the daemon's end as soon as it is seen, once; true when it has ended.
    bool notice_daemon_end();
    bool daemon_running();
    Viewer &viewer() { return v_; }
    // What a step line does; by default it prints its title.
    std::function<void(const std::string &title)> on_step;

    // ---- for the verbs
    sim::Device &device() { return d_; }
    const std::string &indent() const { return indent_; }
    // A line at the indent, always; and one only when verbose.
    void put(const std::string &text);
    void say(const std::string &text);
    Outcome fail(const std::string &text);
    // The expectation being run came true (it began at t0), or did not.
    Outcome met(Clock::time_point t0);
    Outcome unmet(const std::string &why);
    // Log entries before it are consumed by expectations, and property writes.
    size_t log_cursor = 0;
    size_t write_cursor = 0;

private:
    sim::Device &d_;
    Viewer v_;
    bool verbose_;
    std::string indent_;
    const Command *current_ = nullptr;
};

} // namespace tool
