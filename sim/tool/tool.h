// Shared pieces of the drovik-sim commands.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "sim/device.h"

namespace tool {

struct Settings {
    std::vector<std::string> daemon; // the daemon's command
    std::string persist;             // persist file; empty: the command's own default
};

int run_demo(const Settings &s);
int run_shell(const Settings &s);

// What the person has already been shown, so that each step shows only what is new.
class Viewer {
public:
    explicit Viewer(sim::Device &d, FILE *out = stdout) : d_(d), out_(out) {}
    // New log lines in logcat's threadtime layout; returns how many entries.
    size_t show_log(const char *indent = "    ");
    size_t show_all_log(const char *indent = "    ");
    // New property writes made inside the device.
    void show_writes(const char *indent = "    ");
    void show_services(const char *indent = "    ");
    // Reports the daemon's end once; true when it has ended.
    bool show_daemon_end(const char *indent = "    ");

private:
    sim::Device &d_;
    FILE *out_;
    size_t log_seen_ = 0;
    size_t writes_seen_ = 0;
    bool end_shown_ = false;
};

std::string quote(const std::string &s); // printable, with \n and \xHH escapes

} // namespace tool
