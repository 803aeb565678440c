// The property service: the store of properties, its socket
// /dev/socket/property_service, and the record of every SET and GET it served.
//
// Threads: one thread of its own accepts and serves the socket's
// connections, one at a time, and hands each ctl.* write to init's main loop,
// which answers it (answer()) once handled; the main loop (the control
// channel, service control) reads and writes too. mu_ guards the store and
// the persist file; it is never held while another room is called.
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

class PropertyService final : public InitPropertiesPort {
public:
    // Fills the store from the persist file, then from opts.properties, and
    // makes the socket unless opts.property_service is off.
    PropertyService(const Options &opts, PersistStore &persist);
    // Serves the socket, when there is one, on a thread of its own: writes of
    // ctl.* and changes go to init's loop from now on; ctl.* from outside
    // (set()) go to services at once, since they come on that loop.
    void start(MainLoopPort &loop, ServiceControlPort &services);
    // Answers a ctl.* write that init's loop has handled (found: the service
    // exists) and records it.
    void answer(const PendingControl &c, bool found);

    // --- the control channel: SetProp, GetProp, Writes, Reads, PropertyDelay
    void routes(wire::Router &r);
    // A write from outside the device, as the socket's SET but not recorded;
    // throws the reason when the service refuses it.
    void set(const std::string &name, const std::string &value);
    std::optional<std::string> get(const std::string &name) const override;

    // --- init itself: its own writes (init.svc.*, setprop of an action)
    void set_own(const std::string &name, const std::string &value) override;

private:
    uint32_t store(const std::string &name, const std::string &value);
    void serve_loop();
    // True when the connection went to init's loop with a ctl.* write.
    bool serve(int conn);

    PersistStore &persist_;
    MainLoopPort *loop_ = nullptr;
    ServiceControlPort *services_ = nullptr;
    int sock_ = -1;
    std::atomic<int64_t> delay_ms_{0};
    mutable std::mutex mu_;
    std::map<std::string, std::string> props_;
    Journal<PropertyWrite> writes_;
    Journal<PropertyRead> reads_;
};

} // namespace sim::detail
