// Whatever ends drovik-sim, nothing of a device outlives it: its device, its
// temporary folder, a closed output.
#pragma once

#include <sys/types.h>

#include <string>

#include "sim/device.h"

namespace tool {

// Ctrl-C, SIGTERM, SIGHUP, SIGQUIT and SIGABRT end the tool after killing the
// device and removing the temporary folder; a closed output gives
// OutputClosed instead of SIGPIPE.
void install_guards();
void guard_device(pid_t init_host_pid); // 0 when there is none
struct DeviceGuard {
    explicit DeviceGuard(const sim::Device &d) { guard_device(d.init_host_pid()); }
    ~DeviceGuard() { guard_device(0); }
    DeviceGuard(const DeviceGuard &) = delete;
    DeviceGuard &operator=(const DeviceGuard &) = delete;
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

// Thrown when standard output has been closed by its reader (`| head`): the
// tool then leaves quietly, taking its device and files with it.
struct OutputClosed {};
// Flushes standard output; throws OutputClosed.
void flush();

} // namespace tool
