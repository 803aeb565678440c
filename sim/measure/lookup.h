// The bench's process lookup: the daemon's own /proc scans timed against
// pidof inside a device crowded with processes, by the tool run there as a
// helper (`drovik-sim --device-helper lookup NAME REPS`).
#pragma once

#include <cstdint>
#include <string>

#include "tool/commands.h"

namespace tool {

// The medians of one lookup's wall-clock and CPU time.
struct Cost {
    double wall_ms = 0;
    double cpu_ms = 0;
};

struct Lookup {
    int processes = 0;
    int reps = 0;
    Cost monitor; // isProcessRunningEx, as a DISCONNECTED calls it
    Cost restart; // isProgramRunning, as a restart calls it
    Cost pidof;
    double kernel_share = 0; // of the daemon lookups' CPU time
};

// The lookups and pidof on a device of `fillers` extra processes, each the
// median of `reps`; throws sim::Error when they do not find the same process.
Lookup time_lookup(const Settings &s, int fillers, int reps);

// Monotonic nanoseconds, and milliseconds between two of them.
int64_t now_ns();
double ms_since(int64_t from_ns, int64_t to_ns);

} // namespace tool
