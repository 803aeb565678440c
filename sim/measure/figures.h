// What the daemon costs, read from its own /proc entries; for bench and soak.
#pragma once

#include <chrono>

#include "sim/device.h"

namespace tool {

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

} // namespace tool
