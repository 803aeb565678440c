// init's service control: the services of Options::services, their stand-in
// processes, ctl.start and ctl.stop, the stop's grace period and the restart
// of a service that ended by itself; and stand-ins that no service controls.
//
// Threads: control() comes from the property service's thread or from the
// main thread; everything else from the main thread, which reaps the children
// and fires the timer. mu_ guards the services; it is held while a stand-in is
// forked and while the property service is told a new state (see ports.h).
// Both threads fork, so between fork and pause() a stand-in makes only
// async-signal-safe calls.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "journal.h"
#include "ports.h"
#include "sim/device.h"

namespace sim::wire {
class Router;
} // namespace sim::wire

namespace sim::detail {

class ServiceControl final : public ServiceControlPort {
public:
    ServiceControl(const Options &opts, ServiceStatePort &states);
    ~ServiceControl();
    ServiceControl(const ServiceControl &) = delete;
    ServiceControl &operator=(const ServiceControl &) = delete;

    // --- the property service
    bool control(Control what, const std::string &service) override;

    // --- init's event loop
    // A child that init has reaped: true when it was a service's.
    bool reaped(pid_t pid);
    // Readable when a grace period or a restart delay is over; then on_timer().
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
        std::string name;
        ServiceOptions opt;
        std::string state;    // empty until first started
        pid_t pid = 0;        // 0 when no process runs
        int64_t deadline = 0; // monotonic: SIGKILL when stopping, start again when restarting
        bool killed = false;
        bool pending() const { return (state == "stopping" && !killed && pid != 0) || (state == "restarting" && !pid); }
    };
    void set_state(Service &s, const std::string &state, pid_t pid);
    void start(Service &s);
    void arm();

    const Millis stop_grace_, restart_delay_;
    ServiceStatePort &states_;
    int timer_ = -1;
    mutable std::mutex mu_;
    std::map<std::string, Service> services_;
    Journal<ServiceEvent> events_;
};

} // namespace sim::detail
