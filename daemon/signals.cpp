// Signals and the orderly stop.
//
// Formatted logging, property calls, /proc scans and sleeps are not safe to
// run inside a signal handler that may have interrupted the same calls on its
// own thread. So SIGINT, SIGTERM and SIGUSR2 are blocked in every thread and
// taken with sigwaitinfo() by two threads alike: the main thread, idle once
// start-up is over, and the signal thread. Whichever takes a request runs it
// to its end while the other stays free for the next signal: a stop taken
// during a restart abandons it, and a second restart request is dropped with
// its message, not queued, whatever point the first has reached. A thread's
// pauses take signals too.
//
// Until the daemon installs its handling, the signals keep their default
// action: a stop or restart request that comes before then ends the process.
//
// A stop holds every other thread at the start of its next call outside the
// process, once the calls they have in flight are over (util/outside.h).
// From then on nothing but the stop speaks to the log or the property
// service, and no event or restart goes on: no "ctl.start" can follow the
// stop's "ctl.stop".
//
// SIGSEGV and SIGBUS arrive on the faulting thread and cannot be handed on;
// they keep a handler that runs the same stop there. A fault in the stop
// itself runs the stop again from its start, since the one it interrupted
// never resumes.
//
// SIGUSR1 ends the thread that takes it. Its handler is installed just before
// the monitor is created, and only the main thread and the monitor let it in;
// the kernel gives a signal sent to the process to the main thread first, so
// a stray SIGUSR1 ends the idle main thread and not the USB monitor.

#include "daemon/daemon.h"

#include "services/service_control.h"
#include "util/log.h"
#include "util/outside.h"
#include "util/thread.h"

#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

pthread_t g_monitor_usb_thread_id = 0;

namespace {

// The stop waits on its peers at most eight times: a call in flight on
// another thread when it begins, its three log lines, its two property
// writes and the flush of standard output at the exit, and one to spare. A
// stop whose peers answer within a second each is never cut short; one
// whose peers never answer still ends.
constexpr unsigned STOP_BOUND_S = 8;

sigset_t signal_set(int a, int b = 0, int c = 0)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {a, b, c})
        if (sig != 0)
            sigaddset(&set, sig);
    return set;
}

const sigset_t DISPATCHED_SIGNALS = signal_set(SIGINT, SIGTERM, SIGUSR2);

// Everything the stop does before its first line. Async-signal-safe: a
// fault handler runs it too.
void begin_stop()
{
    // A fault that interrupts the stop on its own thread runs the stop again
    // from its start, with a bound of its own.
    pub_util_bound_the_end(STOP_BOUND_S, outside_this_thread_holds());
    // Two stops can begin at once on two threads; the later one waits for
    // the first to end the process.
    if (!outside_hold_others())
        outside_wait_for_good();
}

void *signal_thread(void * /*arg*/)
{
    serve_signals_for_good();
}

// The crash signals run their handler on the faulting thread; the others are
// blocked first, so that the waiting threads take them.
void install(int sig)
{
    if (sig != SIGSEGV && sig != SIGBUS) {
        const sigset_t one = signal_set(sig);
        pthread_sigmask(SIG_BLOCK, &one, nullptr);
    }
    signal(sig, on_daemon_signal);
}

} // namespace

void on_daemon_signal(int sig)
{
    if (sig != SIGUSR2)
        begin_stop();
    log_debug("(drovik)receive signal: %d", sig);
    if (sig == SIGUSR2) {
        restart_service();
        return;
    }
    outside_property_set(PROP_CTL_STOP, SERVICE_SPRUE);
    stopService();
    manager_stop();
    exit(0);
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

void ignore_broken_pipes()
{
    // A log line or a property request to a peer that has gone must come
    // back as an error, never end the process.
    signal(SIGPIPE, SIG_IGN);
}

void install_signal_handling()
{
    for (int sig : {SIGINT, SIGTERM, SIGSEGV, SIGBUS, SIGUSR2})
        install(sig);
    // The signal thread inherits the blocked signals, and SIGUSR1 with them:
    // it never ends. SIGUSR1 still has its default action here, so one that
    // comes meanwhile ends the process as soon as it is let in again.
    const sigset_t usr1 = signal_set(SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    pthread_t thread = 0;
    if (outside_thread_create(&thread, signal_thread, false) == 0)
        pthread_detach(thread);
    pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
}

void install_thread_stop()
{
    signal(SIGUSR1, pub_util_handle_thread_signal);
}

void serve_signals_for_good()
{
    // The main thread and the signal thread alike. Without a signal thread,
    // the main thread alone takes the signals once start-up is over; those
    // that came during it are still pending.
    pub_util_serve_in_pauses(&DISPATCHED_SIGNALS, on_daemon_signal);
    for (;;) {
        int sig = sigwaitinfo(&DISPATCHED_SIGNALS, nullptr);
        if (sig > 0)
            on_daemon_signal(sig);
        else
            pub_util_end_thread_if_requested();
    }
}
