// The USB gadget: its two sysfs attributes under a private /sys/class and
// the kernel's uevents for its state changes, sent to netlink group 1.
//
// Threads: the main thread (the control channel) alone; no lock.
#pragma once

#include <string_view>

#include "sim/device.h"

namespace sim::wire {
class Router;
} // namespace sim::wire

namespace sim::detail {

class UsbGadget {
public:
    // Mounts a tmpfs over /sys/class with the attributes of opts, and opens
    // the uevent sender.
    explicit UsbGadget(const Options &opts);

    // The control channel: UsbState, SendUevent.
    void routes(wire::Router &r);
    // Any bytes, as one datagram to group 1.
    void send_uevent(std::string_view bytes);
    // Writes "<word>\n" to the state attribute, then sends the kernel's uevent for it.
    void set_state(std::string_view word);

private:
    int sender_ = -1;
    unsigned seqnum_ = 2000;
};

} // namespace sim::detail
