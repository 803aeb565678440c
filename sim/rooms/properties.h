// The property service: the store of properties, its socket
// /dev/socket/property_service, and the record of every SET and GET it served.
//
// Threads: one thread of its own accepts and serves the socket's
// connections, one at a time; the main thread (the control channel) reads and
// writes from outside; service control reports init.svc.* from either of
// them. mu_ guards the store and the persist file. The property service never
// holds mu_ while it calls service control (see ports.h).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "journal.h"
#include "persist.h"
#include "ports.h"
#include "sim/device.h"

namespace sim::wire {
class Router;
} // namespace sim::wire

namespace sim::detail {

class PropertyService final : public ServiceStatePort {
public:
    // Fills the store from the persist file, then from opts.properties, and
    // makes the socket unless opts.property_service is off.
    PropertyService(const Options &opts, PersistStore &persist);
    // Serves the socket, when there is one, on a thread of its own; writes of
    // ctl.* go to services from now on.
    void start(ServiceControlPort &services);

    // --- the control channel: SetProp, GetProp, Writes, Reads, PropertyDelay
    void routes(wire::Router &r);
    // A write from outside the device, as the socket's SET but not recorded;
    // throws the reason when the service refuses it.
    void set(const std::string &name, const std::string &value);
    std::optional<std::string> get(const std::string &name) const;

    // --- service control
    void service_state(const std::string &service, const std::string &state) override;

private:
    uint32_t apply(const std::string &name, const std::string &value);
    void serve_loop();
    void serve(int conn);

    PersistStore &persist_;
    ServiceControlPort *services_ = nullptr;
    int sock_ = -1;
    std::atomic<int64_t> delay_ms_{0};
    mutable std::mutex mu_;
    std::map<std::string, std::string> props_;
    Journal<PropertyWrite> writes_;
    Journal<PropertyRead> reads_;
};

} // namespace sim::detail
