// The commands of drovik-sim, each run on fresh devices of its own.
#pragma once

#include <string>
#include <vector>

#include "sim/device.h"

namespace tool {

struct Settings {
    std::vector<std::string> daemon; // the daemon's command
    std::string persist;             // persist file; empty: the command's own default
    std::string rc;                  // read in place of drovik.rc; empty: drovik.rc
};

// A device as the tool boots it: the cable attached (CONFIGURED, one serial
// port), the settings' daemon, and init's restart delay of Android's.
sim::Options tool_device(const Settings &s);

int run_shell(const Settings &s);

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
