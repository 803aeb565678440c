// Signals and the orderly stop.
//
// Formatted logging, property calls, /proc scans and sleeps are not safe to
// run inside a signal handler that may have interrupted the same calls on
// its own thread. So SIGINT, SIGTERM and SIGUSR2 are blocked in every thread
// and taken by one dispatch thread with sigwaitinfo(), which runs the stop
// itself and hands restarts to the restart worker (restart.cpp). That thread
// is never busy for longer than a stop takes, so a stop signal is served at
// once, whatever the other threads are doing, and ends a restart in the
// middle.
//
// SIGSEGV and SIGBUS arrive on the faulting thread and cannot be handed on;
// they keep a handler that runs the same stop there. Whatever code a fault
// interrupted may hold a libc lock that exit() needs, so every stop first
// arms a one-second alarm whose handler ends the process with _exit(0).
//
// If the dispatch thread cannot be created the signals are unblocked again
// and the handlers serve them directly.

#include "daemon/daemon.h"

#include "services/service_control.h"
#include "util/log.h"
#include "util/thread.h"

#include <cutils/properties.h>

#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

pthread_t g_monitor_usb_thread_id = 0;

namespace {

constexpr unsigned STOP_WATCHDOG_S = 1;

std::atomic<bool> g_stop_begun{false};

sigset_t dispatched_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR2);
    return set;
}

void stop_watchdog(int /*sig*/)
{
    _exit(0);
}

[[noreturn]] void stop_daemon()
{
    // Two stops can begin at once on two threads; the later one waits for
    // the first to end the process.
    if (g_stop_begun.exchange(true)) {
        for (;;)
            pause();
    }
    signal(SIGALRM, stop_watchdog);
    alarm(STOP_WATCHDOG_S);
    property_set("ctl.stop", SERVICE_SPRUE);
    stopService();
    manager_stop();
    exit(0);
}

void *dispatch_loop(void * /*arg*/)
{
    const sigset_t set = dispatched_signals();
    for (;;) {
        int sig = sigwaitinfo(&set, nullptr);
        if (sig > 0)
            on_daemon_signal(sig);
    }
}

} // namespace

void on_daemon_signal(int sig)
{
    log_debug("(drovik)receive signal: %d", sig);
    if (sig == SIGUSR2) {
        restart_service();
        return;
    }
    stop_daemon();
}

int manager_stop()
{
    if (g_monitor_usb_thread_id != 0) {
        // On the monitor thread itself the stop goes on to the exit, which
        // ends the thread with the process.
        if (!pthread_equal(g_monitor_usb_thread_id, pthread_self()))
            pub_util_stop_thread(&g_monitor_usb_thread_id);
        usleep(10);
        g_monitor_usb_thread_id = 0;
    }
    log_debug("manager_stop exit.");
    return 0;
}

void install_signal_handling()
{
    // Blocked before any thread exists, so every thread inherits the mask.
    // SIGUSR1 is left to the monitor thread alone (it unblocks it), which
    // makes a process-wide SIGUSR1 a stop request for that thread.
    sigset_t blocked = dispatched_signals();
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    signal(SIGINT, on_daemon_signal);
    signal(SIGTERM, on_daemon_signal);
    signal(SIGSEGV, on_daemon_signal);
    signal(SIGBUS, on_daemon_signal);
    signal(SIGUSR2, on_daemon_signal);
    // In place before the monitor thread exists, so a stop at any moment
    // finds it and never meets SIGUSR1's default action.
    signal(SIGUSR1, pub_util_handle_thread_signal);

    start_restart_worker();
    pthread_t dispatcher;
    if (pthread_create(&dispatcher, nullptr, dispatch_loop, nullptr) == 0) {
        pthread_detach(dispatcher);
        return;
    }
    const sigset_t direct = dispatched_signals();
    pthread_sigmask(SIG_UNBLOCK, &direct, nullptr);
}
