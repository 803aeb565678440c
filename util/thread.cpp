#include "util/thread.h"

#include "util/gate.h"
#include "util/log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

// The threads SIGUSR1 has asked to end, by thread id: at most two threads
// ever let it in (main and the USB monitor). A thread ends itself at a safe
// point rather than inside the handler: one killed in a handler can leave a
// libc lock (stdio, malloc) held, and the exit that follows a stop would
// wait on it for ever. The handler touches no thread-local storage, which
// Android before API 29 emulates and allocates at a thread's first use.
std::atomic<pid_t> g_end_requested[2];

// Main, plus the monitor once it is about to be created.
std::atomic<int> g_live_threads{1};
// The exit of the last of them flushes standard output, which a reader that
// never reads could hold up for good.
constexpr unsigned LAST_EXIT_BOUND_S = 8;
std::atomic<bool> g_end_bounded{false};

// Set by main once every thread is created; see pub_util_hold_thread_ends().
std::atomic<bool> g_threads_created{false};

// A set of one signal. Built at each use: a function-local static would need
// the C++ runtime's guard, which the platform's libraries do not export.
sigset_t only(int sig)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    return set;
}

void thread_ends(int how)
{
    const sigset_t usr1 = only(SIGUSR1);
    pthread_sigmask(how, &usr1, nullptr);
}

thread_local const sigset_t *t_served = nullptr;
thread_local void (*t_serve)(int) = nullptr;

void end_bound_reached(int /*sig*/)
{
    _exit(0);
}

[[noreturn]] void end_thread()
{
    gate_pass_last_words();
    // %d shows the low 32 bits of the handle, as the line always has.
    log_debug("thread %d will be end", static_cast<int>(pthread_self()));
    // A stop that has begun ends the process itself.
    if (g_live_threads.fetch_sub(1) == 1 && !gate_stop_has_begun()) {
        pub_util_bound_the_end(LAST_EXIT_BOUND_S);
        exit(0);
    }
    pthread_exit(nullptr);
}

bool end_requested(pid_t tid)
{
    for (const auto &slot : g_end_requested)
        if (slot.load() == tid)
            return true;
    return false;
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
        const pid_t me = gettid();
        for (auto &slot : g_end_requested) {
            pid_t seen = 0;
            if (slot.compare_exchange_strong(seen, me) || seen == me)
                return;
        }
        return;
    }
    // The text can never hold a '%', so passing it through "%s" logs exactly
    // what passing it as the format would.
    char text[101] = {};
    snprintf(text, 100, "unknown signal: %d.\r\n", sig);
    log_error("%s", text);
}

void pub_util_hold_thread_ends()
{
    thread_ends(SIG_BLOCK);
}

void pub_util_threads_created()
{
    // Told before main lets SIGUSR1 in: one that waits ends main right here.
    g_threads_created = true;
    thread_ends(SIG_UNBLOCK);
    pub_util_end_thread_if_requested();
}

void pub_util_await_threads_created()
{
    while (!g_threads_created.load()) {
        const timespec ms = {0, 1000000};
        nanosleep(&ms, nullptr);
    }
    thread_ends(SIG_UNBLOCK);
}

void pub_util_keep_this_thread()
{
    pub_util_hold_thread_ends();
    const pid_t me = gettid();
    for (auto &slot : g_end_requested) {
        pid_t mine = me;
        slot.compare_exchange_strong(mine, 0);
    }
}

void pub_util_end_thread_if_requested()
{
    if (gate_this_thread_holds())
        return;
    if (end_requested(gettid()))
        end_thread();
}

void pub_util_thread_to_start()
{
    g_live_threads.fetch_add(1);
}

void pub_util_thread_not_started()
{
    g_live_threads.fetch_sub(1);
}

void pub_util_bound_the_end(unsigned seconds, bool renew)
{
    if (g_end_bounded.exchange(true) && !renew)
        return;
    signal(SIGALRM, end_bound_reached);
    // The thread that arms the bound may be inside a handler that runs with
    // every signal held back (ThreadSanitizer runs them so); it is the one
    // that will wait, so it lets the alarm in.
    const sigset_t alarm_only = only(SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);
    alarm(seconds);
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
        if (t_serve != nullptr && !gate_this_thread_holds()) {
            int sig = sigtimedwait(t_served, nullptr, &left);
            if (sig > 0)
                t_serve(sig);
            else
                pub_util_end_thread_if_requested();
            continue;
        }
        if (gate_wait(Call::idle, [&] { return nanosleep(&left, nullptr); }) != 0)
            pub_util_end_thread_if_requested();
    }
}
