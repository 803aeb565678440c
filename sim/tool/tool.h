// Shared pieces of the drovik-sim commands.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lang.h"
#include "sim/device.h"

namespace tool {

struct Settings {
    std::vector<std::string> daemon; // the daemon's command
    std::string persist;             // persist file; empty: the command's own default
};

int run_shell(const Settings &s);
// A story file, parsed; on error, says where (name:line:column) on stderr.
std::optional<Story> load_story(std::string_view text, const std::string &name);
// `demo` goes on after an unmet expectation and sums the steps up at the end;
// `run` stops at the first one.
enum class Mode { Demo, Run };
int run_story(const Story &story, const std::string &name, const Settings &s, Mode mode);
extern const char kDemoStory[]; // stories/demo.story, built in

// Thrown when standard output has been closed by its reader (`| head`): the
// tool then leaves quietly, taking its device and files with it.
struct OutputClosed {};
void flush();

// ---- nothing of a device outlives the tool (guard.cpp)

// Ctrl-C, SIGTERM, SIGHUP, SIGQUIT and SIGABRT end the tool after killing the
// device and removing the temporary folder; a closed output gives
// OutputClosed instead of SIGPIPE.
void install_guards();
void guard_device(pid_t init_host_pid); // 0 when there is none
struct DeviceGuard {
    explicit DeviceGuard(const sim::Device &d) { guard_device(d.init_host_pid()); }
    ~DeviceGuard() { guard_device(0); }
};
// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    explicit TempDir(const char *prefix);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};
// Why a persist file cannot be used there; empty when it can.
std::string persist_problem(const std::string &path);

// ---- one executor for the shell and the stories (engine.cpp)

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

enum class Outcome {
    Done,
    Failed, // the command could not be carried out
    Unmet,  // an expectation did not come true
    Quit,
};

class Engine {
public:
    // verbose: say what each command did and which expectations came true;
    // otherwise only errors, unmet expectations and the daemon's end are told.
    Engine(sim::Device &d, bool verbose, std::string indent);
    Outcome run(const Command &c);
    // Tells of the daemon's end as soon as it is seen, once; true when it has ended.
    bool notice_daemon_end();
    Viewer &viewer() { return v_; }
    bool daemon_running();

private:
    void say(const std::string &text);
    Outcome fail(const std::string &text);
    Outcome met(const Command &c, std::chrono::steady_clock::time_point t0);
    Outcome unmet(const Command &c, const std::string &why);
    Outcome expect_log(const Command &c);
    Outcome expect_write(const Command &c);
    Outcome expect_service(const Command &c);
    Outcome expect_exit(const Command &c);
    Outcome expect_quiet(const Command &c);
    void show_log_after_cursor(const std::string &indent);
    void show_writes_list(const std::string &indent);
    void show_events(const std::string &indent);

    sim::Device &d_;
    Viewer v_;
    bool verbose_;
    std::string indent_;
    size_t log_cursor_ = 0;   // log entries before it are consumed by expectations
    size_t write_cursor_ = 0; // and property writes
};

// An expectation as the language writes it.
std::string describe(const Command &c);

// ---- what the daemon costs (figures.cpp, bench.cpp, soak.cpp)

// The daemon's figures from its /proc entries at one moment.
struct DaemonFigures {
    std::chrono::steady_clock::time_point at;
    int fds = 0;             // entries of /proc/PID/fd
    int threads = 0;         // Threads of /proc/PID/status
    long rss_kb = 0;         // VmRSS
    double cpu_ticks_ms = 0; // utime + stime of /proc/PID/stat, in clock ticks' resolution
    double on_cpu_ms = 0;    // the threads' run time from their schedstat, to the nanosecond
    long long runs = 0;      // how often its threads were put on a CPU
};
// Throws sim::Error when the daemon is not running or its entries cannot be read.
DaemonFigures daemon_figures(sim::Device &d);
// Waits for the daemon's start-up on a device booted with the cable
// configured: mulgate started and the uevent socket bound, then a quiet log.
// Throws sim::Error, with the daemon's end when it has ended.
void wait_start_up(sim::Device &d);

struct BenchSettings {
    bool json = false;
    int samples = 300;  // uevents timed
    int fillers = 1000; // extra processes for the lookup
};
int run_bench(const Settings &s, const BenchSettings &b);
int run_soak(const Settings &s, long events);
// `drovik-sim --device-helper ...`: the tool run inside a device as a helper.
int device_helper(int argc, char **argv);

} // namespace tool
