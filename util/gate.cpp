#include "util/gate.h"

#include <atomic>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace {

// A writer counts itself in g_writes before it looks at g_holder, and the
// stop names itself in g_holder before it counts the writes in flight, so
// one of the two always sees the other.
std::atomic<pid_t> g_holder{0};
std::atomic<int> g_writes{0};
// When the hold began, on the monotonic clock, in milliseconds.
std::atomic<long long> g_hold_began_ms{0};
const sigset_t *g_let_in = nullptr;
void (*g_run_stop)(int) = nullptr;
thread_local int t_writes = 0;
thread_local bool t_last_words = false;
// Where a stop signal let in during this thread's wait lands.
thread_local sigjmp_buf *t_landing = nullptr;

long long now_ms()
{
    timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The stop's own writes wait for those other threads have in flight, within
// the grace. A write this thread had in flight itself, when the stop gave it
// up, is not waited for.
void await_writes_in_flight()
{
    const long long deadline = g_hold_began_ms.load() + GATE_WRITE_GRACE_MS;
    while (g_writes.load() > t_writes && now_ms() < deadline) {
        const timespec ms = {0, 1000000};
        nanosleep(&ms, nullptr);
    }
}

} // namespace

GatePass gate_enter(Call call)
{
    GatePass pass = {};
    if (gate_this_thread_holds()) {
        if (call == Call::property_write)
            await_writes_in_flight();
        return pass;
    }
    if (t_last_words || call == Call::idle)
        return pass;
    if (gate_stop_has_begun())
        gate_wait_for_good();
    if (call == Call::property_write) {
        g_writes.fetch_add(1);
        if (gate_stop_has_begun()) {
            g_writes.fetch_sub(1);
            gate_wait_for_good();
        }
        ++t_writes;
        pass.counted_write = true;
    }
    return pass;
}

void gate_open(GatePass &pass, sigjmp_buf *landing)
{
    if (g_let_in == nullptr || gate_this_thread_holds() || pass.let_in || t_last_words)
        return;
    t_landing = landing;
    pass.let_in = pthread_sigmask(SIG_UNBLOCK, g_let_in, &pass.saved_mask) == 0;
    if (!pass.let_in)
        t_landing = nullptr;
}

void gate_close(const GatePass &pass)
{
    if (!pass.let_in)
        return;
    pthread_sigmask(SIG_SETMASK, &pass.saved_mask, nullptr);
    t_landing = nullptr;
}

void gate_leave(const GatePass &pass)
{
    if (pass.counted_write) {
        --t_writes;
        g_writes.fetch_sub(1);
    }
}

void gate_land(int sig)
{
    t_landing = nullptr;
    g_run_stop(sig);
    gate_wait_for_good();
}

void gate_give_up_wait(int sig)
{
    sigjmp_buf *landing = t_landing;
    if (landing == nullptr || g_let_in == nullptr || sigismember(g_let_in, sig) != 1)
        return;
    t_landing = nullptr;
    siglongjmp(*landing, sig);
}

void gate_let_in(const sigset_t *stop_signals, void (*run_stop)(int sig))
{
    g_let_in = stop_signals;
    g_run_stop = run_stop;
}

bool gate_take_hold()
{
    const pid_t me = gettid();
    pid_t holder = 0;
    if (g_holder.compare_exchange_strong(holder, me)) {
        g_hold_began_ms = now_ms();
        return true;
    }
    return holder == me;
}

bool gate_this_thread_holds()
{
    return g_holder.load() == gettid();
}

bool gate_stop_has_begun()
{
    return g_holder.load() != 0;
}

void gate_wait_for_good()
{
    g_writes.fetch_sub(t_writes);
    t_writes = 0;
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    for (;;)
        sigsuspend(&mask);
}

void gate_pass_last_words()
{
    t_last_words = true;
}
