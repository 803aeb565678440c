#include "util/thread.h"

#include "util/log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

// Set by the SIGUSR1 handler on the thread that took the signal. The thread
// ends itself at a safe point rather than inside the handler: a thread killed
// in a handler can leave a libc lock (stdio, malloc) held, and the exit that
// follows a stop would then wait on it for ever. Every thread reads it before
// it lets SIGUSR1 in, so that where thread-local storage is emulated (Android
// before API 29 allocates it at its first use) the handler never allocates.
thread_local volatile sig_atomic_t t_end_requested = 0;
thread_local bool t_ending = false;

// The stop's hold on the other threads. A thread counts itself in g_calls
// before it looks at g_held, and the holder sets g_held before it counts
// the calls in flight, so one of the two always sees the other.
std::atomic<bool> g_held{false};
std::atomic<int> g_calls{0};
thread_local bool t_holder = false;
thread_local int t_calls = 0;

thread_local const sigset_t *t_served = nullptr;
thread_local void (*t_serve)(int) = nullptr;

[[noreturn]] void end_thread()
{
    t_ending = true;
    // %d shows the low 32 bits of the handle, as the line always has.
    log_debug("thread %d will be end", static_cast<int>(pthread_self()));
    pthread_exit(nullptr);
}

timespec since_now(useconds_t us)
{
    timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += static_cast<time_t>(us / 1000000);
    t.tv_nsec += static_cast<long>(us % 1000000) * 1000;
    if (t.tv_nsec >= 1000000000) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000;
    }
    return t;
}

// What is left until deadline; false when it has passed.
bool left_until(const timespec &deadline, timespec *left)
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    left->tv_sec = deadline.tv_sec - now.tv_sec;
    left->tv_nsec = deadline.tv_nsec - now.tv_nsec;
    if (left->tv_nsec < 0) {
        left->tv_sec -= 1;
        left->tv_nsec += 1000000000;
    }
    return left->tv_sec >= 0 && (left->tv_sec > 0 || left->tv_nsec > 0);
}

} // namespace

int pub_util_stop_thread(pthread_t *handle)
{
    if (*handle == 0)
        return 0;
    if (pthread_kill(*handle, 0) == ESRCH)
        return 0;
    int r = pthread_kill(*handle, SIGUSR1);
    if (r != 0) {
        log_error("pthread_kill(): %d - %s", r, strerror(r));
        return r;
    }
    usleep(10000);
    *handle = 0;
    return 0;
}

void pub_util_handle_thread_signal(int sig)
{
    if (sig == SIGUSR1) {
        t_end_requested = 1;
        return;
    }
    // The text can never hold a '%', so passing it through "%s" logs exactly
    // what passing it as the format would.
    char text[101] = {};
    snprintf(text, 100, "unknown signal: %d.\r\n", sig);
    log_error("%s", text);
}

void pub_util_end_thread_if_requested()
{
    if (t_end_requested && !t_ending)
        end_thread();
}

void pub_util_call_begin()
{
    pub_util_end_thread_if_requested();
    // The stop itself, and a thread logging its own end, go on through.
    if (t_holder || t_ending) {
        ++t_calls;
        g_calls.fetch_add(1);
        return;
    }
    if (g_held.load())
        pub_util_wait_for_good();
    g_calls.fetch_add(1);
    if (g_held.load()) {
        g_calls.fetch_sub(1);
        pub_util_wait_for_good();
    }
    ++t_calls;
}

void pub_util_call_end()
{
    --t_calls;
    g_calls.fetch_sub(1);
}

void pub_util_hold_other_threads()
{
    t_holder = true;
    g_held.store(true);
    // The holder's own call in flight, when a fault interrupted one, is not
    // waited for.
    while (g_calls.load() > t_calls) {
        const timespec ms = {0, 1000000};
        nanosleep(&ms, nullptr);
    }
}

void pub_util_wait_for_good()
{
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    for (;;) {
        sigsuspend(&mask);
        pub_util_end_thread_if_requested();
    }
}

void pub_util_serve_in_pauses(const sigset_t *signals, void (*serve)(int sig))
{
    t_served = signals;
    t_serve = serve;
}

void pub_util_pause(useconds_t us)
{
    const timespec deadline = since_now(us);
    timespec left = {};
    while (left_until(deadline, &left)) {
        // The stop's own pauses serve nothing: a second stop signal must not
        // run into the first.
        if (t_serve != nullptr && !t_holder) {
            int sig = sigtimedwait(t_served, nullptr, &left);
            if (sig > 0)
                t_serve(sig);
            continue;
        }
        if (nanosleep(&left, nullptr) != 0 && t_end_requested)
            return;
    }
}
