// The unit tests run as PID 1 of private mount, PID and network namespaces,
// so that the daemon's fixed paths (/sys/class/android_usb/..., /proc,
// /dev/socket/...) can hold whatever a test needs without touching the host.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

namespace sandbox {

// Called first thing in main(). Returns only in the sandboxed child; the
// original process waits for it and exits with its status.
void enter(int argc, char **argv);

void write_file(const std::string &path, const std::string &bytes);
void remove_file(const std::string &path);

// A real process whose command name is `name`; it pauses until killed.
struct NamedChild {
    explicit NamedChild(const std::string &name, bool ignore_term = false);
    ~NamedChild();
    NamedChild(const NamedChild &) = delete;
    NamedChild &operator=(const NamedChild &) = delete;
    // Waits for the child; its wait status, or -1 when still running after
    // timeout_ms.
    int wait_status(int timeout_ms);
    pid_t pid = -1;
    bool reaped = false;
};

// Runs fn in a forked child and collects what it writes to its standard
// output and standard error, and its exit status.
struct ForkResult {
    int status = -1;
    std::string out;
    std::string err;
};
ForkResult run_forked(const std::function<int()> &fn);

// The same in two steps: the child is forked at once but runs fn only when
// released. Threads started in between (the fakes' servers) are then not in
// the process that forks, which qemu's user emulation needs when the child
// starts threads of its own.
class Forked {
public:
    explicit Forked(std::function<int()> fn);
    ~Forked();
    Forked(const Forked &) = delete;
    Forked &operator=(const Forked &) = delete;
    ForkResult finish(); // releases the child and waits for it

private:
    pid_t pid_ = -1;
    int gate_ = -1;
    int out_ = -1;
    int err_ = -1;
};

} // namespace sandbox
