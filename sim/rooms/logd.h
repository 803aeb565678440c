// logd: the datagram socket /dev/socket/logdw and the entries it received.
//
// Threads: one thread of its own takes the datagrams, stamps and parses them
// and adds them to the journal; the main thread (the control channel) reads
// the journal and pauses or resumes. gate_ guards paused_ and is held from the
// check of paused_ to the datagram's receipt, so that once pause() returns no
// datagram is taken. The journal has its own lock.
#pragma once

#include <condition_variable>
#include <mutex>

#include "journal.h"
#include "sim/device.h"

namespace sim::detail {

class Logd {
public:
    // Makes the socket, with a queue of opts.logd_queue, unless opts.logd is off.
    explicit Logd(const Options &opts);
    // Takes datagrams, when there is a socket, on a thread of its own.
    void start();

    const Journal<LogEntry> &entries() const { return entries_; }
    // While paused, datagrams stay in the socket's queue.
    void pause(bool paused);

private:
    void receive_loop();

    int sock_ = -1;
    Journal<LogEntry> entries_;
    std::mutex gate_;
    std::condition_variable resumed_;
    bool paused_ = false;
};

} // namespace sim::detail
