// Signals and the orderly stop.
//
// Formatted logging, property calls, /proc scans and sleeps are not safe to
// run inside a signal handler that may have interrupted the same calls on its
// own thread. So SIGINT, SIGTERM and SIGUSR2 are blocked in every thread and
// taken with sigwaitinfo(): by the main thread, which has nothing else to do
// once start-up is over and takes the stop signals, and by the signal thread,
// which takes them too and runs each restart to its end. A restart's pauses
// take the signals that arrive meanwhile: a stop abandons the restart there,
// a second restart request is dropped with its message.
//
// A stop begins by arming its bound and by holding every other thread at the
// start of its next call outside the process, once the calls they have in
// flight are over (pub_util_hold_other_threads). From then on nothing but the
// stop speaks to the log or the property service, and no event or restart
// goes on: no "ctl.start" can follow the stop's "ctl.stop".
//
// SIGSEGV and SIGBUS arrive on the faulting thread and cannot be handed on;
// they keep a handler that runs the same stop there.
//
// SIGUSR1 ends the thread that takes it. The main thread lets it in, and the
// kernel gives a signal sent to the process to the main thread first, so a
// stray SIGUSR1 ends the idle main thread and not the USB monitor.

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

// The stop waits on its peers at most eight times: a call in flight on
// another thread when it begins, its three log lines, its two property
// writes and the flush of standard output at the exit, and one to spare. A
// stop whose peers answer within a second each is never cut short; one
// whose peers never answer still ends.
constexpr unsigned STOP_BOUND_S = 8;

std::atomic<bool> g_stop_begun{false};
bool g_have_signal_thread = false;
sigset_t g_main_signals;

sigset_t signal_set(int a, int b, int c = 0, int d = 0)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {a, b, c, d})
        if (sig != 0)
            sigaddset(&set, sig);
    return set;
}

const sigset_t STOP_SIGNALS = signal_set(SIGINT, SIGTERM);
const sigset_t DISPATCHED_SIGNALS = signal_set(SIGINT, SIGTERM, SIGUSR2);

void stop_bound_reached(int /*sig*/)
{
    _exit(0);
}

// Everything the stop does before its first line. Async-signal-safe: a
// fault handler runs it too.
void begin_stop()
{
    // Two stops can begin at once on two threads; the later one waits for
    // the first to end the process.
    if (g_stop_begun.exchange(true))
        pub_util_wait_for_good();
    signal(SIGALRM, stop_bound_reached);
    alarm(STOP_BOUND_S);
    pub_util_hold_other_threads();
}

void *signal_thread(void * /*arg*/)
{
    pub_util_serve_in_pauses(&DISPATCHED_SIGNALS, on_daemon_signal);
    for (;;) {
        int sig = sigwaitinfo(&DISPATCHED_SIGNALS, nullptr);
        if (sig > 0)
            on_daemon_signal(sig);
    }
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
    property_set(PROP_CTL_STOP, SERVICE_SPRUE);
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

void start_signal_thread()
{
    sigset_t held = DISPATCHED_SIGNALS;
    sigaddset(&held, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
    // A log line or a property request to a peer that has gone must come
    // back as an error, never end the process.
    signal(SIGPIPE, SIG_IGN);

    // Created while every thread still holds the signals back, so it
    // inherits the mask.
    pthread_t thread;
    if (pthread_create(&thread, nullptr, signal_thread, nullptr) == 0) {
        pthread_detach(thread);
        g_have_signal_thread = true;
    }
    g_main_signals = g_have_signal_thread ? STOP_SIGNALS : DISPATCHED_SIGNALS;
}

void install_signal_handling()
{
    signal(SIGINT, on_daemon_signal);
    signal(SIGTERM, on_daemon_signal);
    signal(SIGSEGV, on_daemon_signal);
    signal(SIGBUS, on_daemon_signal);
    signal(SIGUSR2, on_daemon_signal);
    // In place before the monitor thread exists, so a stop at any moment
    // finds it and never meets SIGUSR1's default action.
    signal(SIGUSR1, pub_util_handle_thread_signal);
    const sigset_t usr1 = signal_set(SIGUSR1, 0);
    pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
}

void serve_signals_for_good()
{
    // Without a signal thread the main thread does its work too.
    if (!g_have_signal_thread)
        pub_util_serve_in_pauses(&g_main_signals, on_daemon_signal);
    for (;;) {
        int sig = sigwaitinfo(&g_main_signals, nullptr);
        if (sig > 0)
            on_daemon_signal(sig);
        else
            pub_util_end_thread_if_requested();
    }
}
