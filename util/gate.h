// The gate that every call to the outside world passes (util/outside.cpp
// applies it): where the orderly stop holds the other threads, and where a
// thread that waits lets the stop signals in. It knows nothing of the daemon
// above it; daemon/lifecycle.cpp says who does what with it.
#pragma once

#include <setjmp.h>
#include <signal.h>

// What a wait may do to the stop: wait on a peer for as long as the peer
// takes (a log line, a property read, a file the platform provides), send a
// property write (which the property service orders by its connections),
// neither (a signal to a process, a new thread: no wait at all), or wait on
// nobody while holding no lock (the monitor's wait for uevents, a pause).
enum class Call { waits_on_peer, property_write, prompt, idle };

// Set once, before any thread but main exists: the stop signals, and what
// runs one that a wait let in.
void gate_let_in(const sigset_t *stop_signals, void (*run_stop)(int sig));

// Runs wait() through the gate. Once a stop holds, a thread other than the
// stop's waits at the start of any call but an idle one, for good. A
// property write is counted while in flight; the stop's own first write
// waits for those of other threads, at most GATE_WRITE_GRACE_MS after the
// hold began. Every call but a prompt one lets the stop signals in for its
// length (but on the stop's own thread), so that a stop signal is taken
// even when no thread is free: their handler calls gate_give_up_wait(),
// which leaves the handler for this frame, and the stop runs here, on this
// thread, with wait() given up.
template <class Wait>
auto gate_wait(Call call, Wait wait) -> decltype(wait());

// Called first by the stop signals' handler: when the thread was waiting
// with them let in, gives the wait up and runs the stop where it began.
// Returns otherwise.
void gate_give_up_wait(int sig);

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

// The parts of gate_wait().
struct GatePass {
    sigset_t saved_mask;
    bool let_in;
    bool counted_write;
};
GatePass gate_enter(Call call);
void gate_open(GatePass &pass, sigjmp_buf *landing);
void gate_close(const GatePass &pass);
void gate_leave(const GatePass &pass);
[[noreturn]] void gate_land(int sig);

template <class Wait>
auto gate_wait(Call call, Wait wait) -> decltype(wait())
{
    GatePass pass = gate_enter(call);
    sigjmp_buf landing;
    // A stop signal let in below leaves its handler for here, with the
    // signal mask of this moment back.
    if (int sig = sigsetjmp(landing, 1); sig != 0)
        gate_land(sig);
    if (call != Call::prompt)
        gate_open(pass, &landing);
    auto r = wait();
    gate_close(pass);
    gate_leave(pass);
    return r;
}
