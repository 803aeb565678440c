#include "util/outside.h"

#include "util/thread.h"

#include <android/log.h>
#include <cutils/properties.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

namespace {

// The stop's hold. A thread counts itself in g_calls before it looks at
// g_holder, and the holder names itself in g_holder before it counts the
// calls in flight, so one of the two always sees the other.
std::atomic<pid_t> g_holder{0};
std::atomic<int> g_calls{0};
thread_local int t_calls = 0;
thread_local bool t_last_words = false;

void call_begin()
{
    if (outside_this_thread_holds() || t_last_words) {
        ++t_calls;
        g_calls.fetch_add(1);
        return;
    }
    pub_util_end_thread_if_requested();
    g_calls.fetch_add(1);
    if (outside_stop_has_begun()) {
        g_calls.fetch_sub(1);
        outside_wait_for_good();
    }
    ++t_calls;
}

void call_end()
{
    --t_calls;
    g_calls.fetch_sub(1);
}

} // namespace

int outside_log(int prio, const char *tag, const char *text)
{
    call_begin();
    int r = __android_log_print(prio, tag, "%s", text);
    call_end();
    return r;
}

int outside_property_get(const char *name, char *value, const char *default_value)
{
    call_begin();
    int r = property_get(name, value, default_value);
    call_end();
    return r;
}

int outside_property_set(const char *name, const char *value)
{
    call_begin();
    int r = property_set(name, value);
    call_end();
    return r;
}

int outside_kill(pid_t pid, int sig)
{
    call_begin();
    int r = kill(pid, sig);
    int err = errno;
    call_end();
    errno = err;
    return r;
}

int outside_thread_create(pthread_t *handle, void *(*routine)(void *), bool may_end)
{
    call_begin();
    // Counted before it can run, so that it is never taken for gone.
    if (may_end)
        pub_util_thread_to_start();
    int r = pthread_create(handle, nullptr, routine, nullptr);
    if (r != 0) {
        // glibc may leave a value behind when the creation fails.
        *handle = 0;
        if (may_end)
            pub_util_thread_not_started();
    }
    call_end();
    return r;
}

bool outside_hold_others()
{
    const pid_t me = gettid();
    pid_t holder = 0;
    if (!g_holder.compare_exchange_strong(holder, me) && holder != me)
        return false;
    // Again when a fault interrupts the stop on its own thread, which may
    // not have seen the others' calls end. The holder's own call in flight,
    // when a fault interrupted one, is not waited for.
    while (g_calls.load() > t_calls) {
        const timespec ms = {0, 1000000};
        nanosleep(&ms, nullptr);
    }
    return true;
}

bool outside_this_thread_holds()
{
    return g_holder.load() == gettid();
}

bool outside_stop_has_begun()
{
    return g_holder.load() != 0;
}

void outside_wait_for_good()
{
    g_calls.fetch_sub(t_calls);
    t_calls = 0;
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    for (;;) {
        sigsuspend(&mask);
        pub_util_end_thread_if_requested();
    }
}

void outside_pass_last_words()
{
    t_last_words = true;
}
