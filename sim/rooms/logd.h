// logd: the datagram socket /dev/socket/logdw and the entries it received.
//
// Threads: one thread of its own takes the datagrams, stamps and parses them
// and adds them to the journal; the main thread (the control channel and the
// reaping of children) reads the journal, pauses or resumes, and flushes.
// gate_ guards paused_ and the count of flush marks taken; it is held from the
// check of paused_ to the datagram's receipt, so that once pause() returns no
// datagram is taken. The journal has its own lock.
#pragma once

#include <condition_variable>
#include <mutex>

#include "journal.h"
#include "sim/device.h"

namespace sim::wire {
class Router;
} // namespace sim::wire

namespace sim::detail {

class Logd {
public:
    // Makes the socket, with a queue of opts.logd_queue, unless opts.logd is off.
    explicit Logd(const Options &opts);
    // Takes datagrams, when there is a socket, on a thread of its own.
    void start();

    // The control channel: Log, PauseLogd.
    void routes(wire::Router &r);
    // While paused, datagrams stay in the socket's queue.
    void pause(bool paused);
    // Returns once logd has taken every datagram sent before the call, or at
    // once while paused. Init calls it when programs have ended, so that a
    // program seen ended has its lines in the log.
    void flush();

private:
    void receive_loop();

    int sock_ = -1;
    int marker_ = -1; // init's own sender of flush marks, told apart by its pid 1
    Journal<LogEntry> entries_;
    std::mutex gate_;
    std::condition_variable resumed_, marked_;
    bool paused_ = false;
    uint64_t marks_sent_ = 0; // flush() alone
    uint64_t marks_taken_ = 0;
};

} // namespace sim::detail
