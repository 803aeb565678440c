// init's service control: the services of the .rc files, started and stopped
// as init's code does it, their restarts, and the files' property triggers;
// and stand-ins that no service controls.
//
// A service runs either the daemon (the service named
// Options::daemon_service, whose path stands for Options::daemon_command: a
// program of the device, output captured) or, for any other, a stand-in: init
// forks it with the service's credentials and its command name, and it waits
// for signals.
//
// Threads: the main loop alone, as in init: ctl.* writes reach it through
// init's queue, so a writer is answered after its write is handled, and a
// stop's pause (gentle_kill) holds the whole loop. The control channel is
// served on that loop too, so nothing here needs a lock.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "journal.h"
#include "ports.h"
#include "rc.h"
#include "sim/device.h"

namespace sim::wire {
class Router;
} // namespace sim::wire

namespace sim::detail {

class ServiceControl final : public ServiceControlPort {
public:
    // proc_dir: the device's /proc, for the stop's look at the process group.
    ServiceControl(const Options &opts, RcScript rc, InitPropertiesPort &props, ProgramPort &programs, int proc_dir);
    ~ServiceControl();
    ServiceControl(const ServiceControl &) = delete;
    ServiceControl &operator=(const ServiceControl &) = delete;

    // --- init's main loop
    // The classes in the order the platform's init.rc starts them, then the
    // triggers of the properties' values at boot.
    void boot();
    // ctl.start (Start) and ctl.stop (StopOrReset).
    bool control(Control what, const std::string &service) override;
    // Runs the actions whose trigger the change matches.
    void property_changed(const std::string &name, const std::string &value);
    // A child that init has reaped: true when it was a service's.
    bool reaped(pid_t pid);
    // Readable when a restart is due; then on_timer().
    int timer_fd() const { return timer_; }
    void on_timer();

    // --- the control channel: Services, ServiceEvents, SetServiceOptions, SpawnNamed
    void routes(wire::Router &r);
    std::vector<ServiceInfo> list() const;
    // Takes effect at the service's next start; throws for an unknown service.
    void set_options(const std::string &name, ServiceOptions o);
    // A stand-in that no service controls; init reaps it.
    pid_t spawn_standin(const std::string &name, bool ignore_sigterm);

private:
    struct Service {
        RcService rc;
        ServiceOptions opt;
        std::string state; // empty until first started
        pid_t pid = 0;     // 0 when no process runs
        int64_t started = 0;
        bool disabled = false;   // stopped, or a oneshot that ended: no restart
        bool restarting = false; // started again at started + restart period
        int64_t dies_at = 0;     // a stopped process's end, told late (ServiceOptions::dies_after)
    };
    void ended(Service &s);
    void start(Service &s);
    void stop(Service &s);
    void set_state(Service &s, const std::string &state, pid_t pid);
    bool group_alive(pid_t pgid) const;
    int64_t restart_at(const Service &s) const;
    void arm();
    void run(const RcCommand &c);

    const Options opts_;
    std::vector<RcAction> actions_;
    InitPropertiesPort &props_;
    ProgramPort &programs_;
    int proc_;
    int timer_ = -1;
    std::map<std::string, Service> services_;
    Journal<ServiceEvent> events_;
};

} // namespace sim::detail
