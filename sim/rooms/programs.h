// Programs run inside the device (the daemon is one): started by init with
// stdin /dev/null and their stdout and stderr captured; and the device's
// process list and signals.
//
// Threads: the main thread alone, which also reaps the programs and reads
// their pipes; no lock.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ports.h"
#include "sim/device.h"

namespace sim::wire {
class Router;
} // namespace sim::wire

namespace sim::detail {

class Programs final : public ProgramPort {
public:
    // proc_dir: the device's /proc, read by ps() even while it is hidden.
    explicit Programs(int proc_dir);
    ~Programs();
    Programs(const Programs &) = delete;
    Programs &operator=(const Programs &) = delete;

    // --- init's event loop
    // The pipes still open, to be polled for reading; drain() reads them all.
    void poll_fds(std::vector<pollfd> &fds) const;
    void drain();
    bool runs(pid_t pid) const;
    // A child that init has reaped at `when`: true when it was a program's.
    bool reaped(pid_t pid, const ExitStatus &exit, const Timestamp &when);

    // --- the control channel: StartJob, Job, Ps, Kill
    void routes(wire::Router &r);
    // without_dac: no CAP_DAC_OVERRIDE or CAP_DAC_READ_SEARCH; cred: a
    // service's, in a process group of its own. Throws when the program
    // cannot be run.
    pid_t start(const std::vector<std::string> &argv, bool without_dac, const Credentials *cred = nullptr);
    // --- service control: the daemon's service
    pid_t run(const std::vector<std::string> &argv, const Credentials &cred) override
    {
        return start(argv, false, &cred);
    }
    // Its state, with what it wrote from out_from and err_from on, at most max bytes of each.
    JobStatus status(pid_t pid, size_t out_from, size_t err_from, size_t max);
    std::vector<Process> ps() const;
    void kill(pid_t pid, int sig);

private:
    struct Job {
        pid_t pid = 0;
        int out = -1, err = -1;
        std::string outbuf, errbuf;
        bool running = true;
        ExitStatus exit;
        Timestamp started, ended;
    };
    static void drain(Job &j);

    int proc_;
    int null_ = -1;
    std::map<pid_t, std::unique_ptr<Job>> jobs_;
};

} // namespace sim::detail
