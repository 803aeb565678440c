// The device's file tree: "/" made private, a tmpfs /dev with the few nodes
// programs expect and /dev/socket, a fresh /proc (which can be hidden), and
// the file requests of the control channel.
//
// Threads: the main thread alone; no lock. The /proc descriptor is opened at
// boot and only read afterwards.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sim::wire {
class Router;
} // namespace sim::wire

namespace sim::detail {

class Filesystem {
public:
    // Mounts everything; nothing of it reaches the host.
    Filesystem();

    // The device's /proc as mounted at boot, reachable while it is hidden.
    int proc_dir() const { return proc_; }

    // The control channel: WriteFile, RemoveFile, ReadFile, HideProc.
    void routes(wire::Router &r);
    void write(const std::string &path, std::string_view bytes);
    void remove(const std::string &path);
    // nullopt when absent; "/proc/..." through proc_dir(), so that it reads the same while hidden.
    std::optional<std::string> read(const std::string &path) const;
    // Overlays /proc with an empty tmpfs of mode 000, or removes the overlay.
    void hide_proc(bool hidden);

private:
    int proc_ = -1;
    bool proc_hidden_ = false;
};

} // namespace sim::detail
