// The daemon's lifecycle: which thread does what, how signals are taken, and
// the orderly stop, how it holds the other threads and how it is bounded.
//
// Threads. The main thread runs start-up, then creates the USB monitor and,
// when the process may have one more thread, the signal thread, and takes
// signals for good. The monitor comes first: a process allowed one thread
// beyond main spends it on the monitor and goes on without a signal thread,
// its main thread alone taking the signals. There are never more than three.
//
// Signals. SIGINT, SIGTERM and SIGUSR2 are blocked in every thread and taken
// with sigwaitinfo() by the threads that are free: the main thread once
// start-up is over, the signal thread, and both in their pauses (main's
// start-up pauses among them). Whichever takes a request runs it to its end
// while the other stays free for the next signal: a stop taken during a
// restart abandons it, and a second restart request is dropped with its
// message, not queued, whatever point the first has reached. Formatted
// logging, property calls and /proc scans taken that way never run inside a
// handler that interrupted them.
//
// Yet no thread need be free: start-up and a restart may wait on a peer that
// does not answer (a property service stuck behind init, a FIFO nobody
// writes) for as long as it likes. So a thread that waits (a call to a peer,
// the monitor's wait for uevents, a pause) lets SIGINT and SIGTERM in for
// the length of that wait (util/gate.h). Their handler leaves for the frame
// where the wait began, giving the wait up, and the stop runs there, on that
// thread, outside any handler: a stop signal is always taken at once. A wait
// given up that way may leave a lock behind that its call held: the host's
// calls hold none while they wait but for the log's fallback to standard
// error (for its time stamp), and Android's may. Where the stop meets such a
// lock it waits until its bound ends the process with status 0, as when its
// peers never answer. A restart request is never let in that way: it waits
// for a free thread.
//
// Until the daemon installs its handling, the signals keep their default
// action: a stop or restart request that comes before then ends the process.
//
// The stop arms its bound, holds every other thread at the start of its next
// call outside the process, for good, and goes on at once. It does not wait
// for the calls other threads have in flight (a log line, a property read, a
// signal to a process), which end or never do without a word of theirs
// following; it waits only, and for at most GATE_WRITE_GRACE_MS, for another
// thread's property write in flight, which the property service may already
// have taken and must order before the stop's own. So no "ctl.start" can
// follow the stop's "ctl.stop", and no event or restart goes on after the
// stop has begun.
//
// SIGSEGV and SIGBUS arrive on the faulting thread and cannot be handed on;
// they keep a handler that runs the same stop there. A fault in the stop
// itself runs the stop again from its start, since the one it interrupted
// never resumes; a stop signal that reaches the stop's own thread is
// dropped.
//
// SIGUSR1 ends the thread that takes it. Its handler is installed just before
// the monitor is created, and only the main thread and the monitor let it in
// (the signal thread keeps itself); the kernel gives a signal sent to the
// process to the main thread first, so a stray SIGUSR1 ends the idle main
// thread and not the USB monitor. While main creates the threads it cannot
// take one (glibc holds every signal back in main meanwhile), so the threads
// are created with SIGUSR1 held back and let it in only once main does.

#include "daemon/daemon.h"

#include "services/service_control.h"
#include "usb_monitor/usb_monitor.h"
#include "util/gate.h"
#include "util/log.h"
#include "util/outside.h"
#include "util/thread.h"

#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

pthread_t g_monitor_usb_thread_id = 0;

namespace {

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
const sigset_t STOP_SIGNALS = signal_set(SIGINT, SIGTERM);

bool is_fault(int sig)
{
    return sig == SIGSEGV || sig == SIGBUS;
}

// The stop's bound: each call the stop makes to a peer (a log line to logd,
// a property write to the property service, the flush of standard output at
// the exit) is given PEER_ANSWER_S; the first write may also wait out the
// grace for other threads' writes; one second is kept to spare. A stop whose
// peers answer within a second a call is never cut short, and one whose
// peers never answer still ends.
constexpr unsigned PEER_ANSWER_S = 1;
constexpr unsigned STOP_LOG_LINES = 3; // the signal, stopService's, manager_stop's
constexpr unsigned STOP_WRITES = 2;    // ctl.stop of sprue, then of mulgate
constexpr unsigned EXIT_FLUSHES = 1;
constexpr unsigned WRITE_GRACE_S = (GATE_WRITE_GRACE_MS + 999) / 1000;
constexpr unsigned SPARE_S = 1;
constexpr unsigned STOP_BOUND_S =
    (STOP_LOG_LINES + STOP_WRITES + EXIT_FLUSHES) * PEER_ANSWER_S + WRITE_GRACE_S + SPARE_S;

// Everything the stop does before its first line. Async-signal-safe: a
// handler runs it. False when this thread runs the stop already and sig is
// not a fault: the stop that sig interrupted resumes when the handler
// returns.
bool begin_stop(int sig)
{
    pthread_sigmask(SIG_BLOCK, &STOP_SIGNALS, nullptr);
    const bool again = gate_this_thread_holds();
    if (again && !is_fault(sig))
        return false;
    // A fault that interrupts the stop on its own thread runs the stop again
    // from its start, with a bound of its own.
    pub_util_bound_the_end(STOP_BOUND_S, again);
    // Two stops can begin at once on two threads; the later one waits for
    // the first to end the process.
    if (!gate_take_hold())
        gate_wait_for_good();
    return true;
}

// The stop after its first line: the calls STOP_BOUND_S counts.
[[noreturn]] void stop_services_and_exit()
{
    outside_property_set(PROP_CTL_STOP, SERVICE_SPRUE);
    stopService();
    manager_stop();
    exit(0);
}

// Created with SIGUSR1 held back, as every thread is, and it keeps it so:
// the signal thread never ends by it.
void *signal_thread(void * /*arg*/)
{
    pub_util_keep_this_thread();
    serve_signals_for_good();
}

// The crash signals run their handler on the faulting thread; the others are
// blocked first, so that the free threads take them.
void install(int sig)
{
    if (!is_fault(sig)) {
        const sigset_t one = signal_set(sig);
        pthread_sigmask(SIG_BLOCK, &one, nullptr);
    }
    signal(sig, on_daemon_signal);
}

} // namespace

void on_daemon_signal(int sig)
{
    gate_give_up_wait(sig);
    if (sig != SIGUSR2 && !begin_stop(sig))
        return;
    log_debug("(drovik)receive signal: %d", sig);
    if (sig == SIGUSR2) {
        restart_service();
        return;
    }
    stop_services_and_exit();
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
    gate_let_in(&STOP_SIGNALS, on_daemon_signal);
    pub_util_serve_in_pauses(&DISPATCHED_SIGNALS, on_daemon_signal);
}

int start_threads()
{
    signal(SIGUSR1, pub_util_handle_thread_signal);
    pub_util_hold_thread_ends();
    // Counted before it can run, so that it is never taken for gone.
    pub_util_thread_to_start();
    int r = outside_thread_create(&g_monitor_usb_thread_id, zel_handle_monitor_usb_loop);
    if (r != 0) {
        // SIGUSR1 stays held back: the exit follows.
        pub_util_thread_not_started();
        return r;
    }
    pthread_t thread = 0;
    if (outside_thread_create(&thread, signal_thread) == 0)
        pthread_detach(thread);
    pub_util_threads_created();
    return 0;
}

void serve_signals_for_good()
{
    pub_util_serve_in_pauses(&DISPATCHED_SIGNALS, on_daemon_signal);
    for (;;) {
        int sig = sigwaitinfo(&DISPATCHED_SIGNALS, nullptr);
        if (sig > 0)
            on_daemon_signal(sig);
        else
            pub_util_end_thread_if_requested();
    }
}
