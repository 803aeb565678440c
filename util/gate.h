// The gate that every call to the outside world passes (util/outside.cpp
// applies it): where the orderly stop holds the other threads, and where a
// thread that waits on a peer lets the stop signals in. It knows nothing of
// the daemon above it; daemon/lifecycle.cpp says who does what with it.
#pragma once

#include <signal.h>

// What a call may do to the stop: wait on a peer for as long as the peer
// takes (a log line, a property read, a file the platform provides), send
// a property write (which the property service orders by its connections),
// or neither (a signal to a process, a new thread).
enum class Call { waits_on_peer, property_write, prompt };

// What gate_leave() undoes.
struct GatePass {
    sigset_t saved_mask;
    bool let_in;
    bool counted_write;
};

// Once a stop holds, a thread other than the stop's waits here for good. A
// call that waits on a peer has the signals named by gate_let_in() unblocked
// for its length, so that a stop signal is taken even when no thread is
// free: its handler runs the stop there and the call is given up. A property
// write is counted while in flight; the stop's own first write waits for
// those of other threads, at most GATE_WRITE_GRACE_MS after the hold began.
GatePass gate_enter(Call call);
void gate_leave(const GatePass &pass);

// Set once, before any thread but main exists.
void gate_let_in(const sigset_t *stop_signals);

// The same window alone, for a wait that is no call outside but holds no
// lock either (the monitor's wait for uevents, a pause): a thread that
// waits there takes a stop signal even when no other thread is free. Not on
// the stop's own thread. gate_leave() closes it.
GatePass gate_let_stops_in();

// A write that another thread has in flight when the stop begins has
// connected to the property service, or is about to: the service takes
// connections in order, so once it returns it is ordered before the stop's
// writes. A write that does not return within this grace is most likely
// past its connection and waiting for the answer; the stop goes on.
inline constexpr unsigned GATE_WRITE_GRACE_MS = 500;

// Makes the calling thread the stop's: every other thread is held at the
// start of its next call from now on. False when another thread holds
// already; true when this one does, as a fault that interrupts the stop on
// its own thread finds. Async-signal-safe.
bool gate_take_hold();
bool gate_this_thread_holds();
bool gate_stop_has_begun();

// Where a thread waits for good once a stop has begun elsewhere. A write it
// had in flight (when a handler brings it here) is given up, so that the
// stop does not wait for it.
[[noreturn]] void gate_wait_for_good();

// A thread that is ending says so in the log whatever holds the others.
void gate_pass_last_words();
