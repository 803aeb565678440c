// The device's init: PID 1 of the device's namespaces. It makes the rooms
// (sim/rooms/), wires them together, and runs the event loop that serves the
// control channel, reaps the children and fires the services' timers.
#pragma once

#include "sim/device.h"

namespace sim::detail {

// Runs in the first process of fresh PID, mount and network namespaces and
// never returns. Reports readiness (or the reason it could not start) on ctl,
// then serves it until it closes.
[[noreturn]] void run_init(const Options &opts, int ctl);

} // namespace sim::detail
