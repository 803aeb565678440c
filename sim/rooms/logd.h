// logd: the datagram socket /dev/socket/logdw and the entries it received.
//
// Threads: one thread of its own takes the datagrams, stamps and parses them
// and adds them to the journal; the main thread (the control channel) reads
// the journal. The journal has its own lock; nothing else is shared.
#pragma once

#include "journal.h"
#include "sim/device.h"

namespace sim::detail {

class Logd {
public:
    // Makes the socket unless opts.logd is off.
    explicit Logd(const Options &opts);
    // Takes datagrams, when there is a socket, on a thread of its own.
    void start();

    const Journal<LogEntry> &entries() const { return entries_; }

private:
    void receive_loop();

    int sock_ = -1;
    Journal<LogEntry> entries_;
};

} // namespace sim::detail
