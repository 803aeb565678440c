// The daemon's threads: ending one from another with SIGUSR1, the end of the
// process with its last thread, and pausing.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

// 0 when there was nothing to stop or the request was sent, else the error
// number of the failed send. Clears *handle 10 ms after a successful send.
int pub_util_stop_thread(pthread_t *handle);

// SIGUSR1 handler. It only marks the receiving thread; the thread ends itself
// at its next safe point: pub_util_end_thread_if_requested() (the monitor's
// every wake-up) or a pause. A thread held by a stop stays held.
void pub_util_handle_thread_signal(int sig);

// The calling thread never ends by SIGUSR1: it holds the signal back from now
// on and forgets a request that reached it before.
void pub_util_keep_this_thread();

// While the main thread creates a thread, glibc holds every signal back in
// main, and a SIGUSR1 sent to the process would go to a thread that already
// runs: the monitor, left to end while main goes on, deaf to the cable. So
// the threads are created with SIGUSR1 held back (pub_util_hold_thread_ends()
// in main first), and once the last is created, main lets it in again
// (pub_util_threads_created()) and the monitor after main
// (pub_util_await_threads_created()): a SIGUSR1 sent meanwhile waits and
// ends the main thread.
void pub_util_hold_thread_ends();
void pub_util_threads_created();
void pub_util_await_threads_created();

// If SIGUSR1 has reached the calling thread, log its end and end the thread.
// Returns otherwise, and always on the thread that runs the orderly stop,
// which must reach its exit.
void pub_util_end_thread_if_requested();

// SIGUSR1 can end the main thread and the USB monitor. A process ends when
// its last thread does, with status 0: so does this one when the last of
// these two ends while no stop runs, whatever helper threads remain.
// Counts one more such thread; pub_util_thread_not_started() takes it back
// when its creation fails.
void pub_util_thread_to_start();
void pub_util_thread_not_started();

// Ends the process with status 0 within `seconds`, whatever its peers do: an
// exit that cannot flush standard output, or whose thread is held up, becomes
// _exit(0) then. Async-signal-safe. The first deadline armed stands unless
// `renew` moves it.
void pub_util_bound_the_end(unsigned seconds, bool renew = false);

// Pauses the calling thread for the whole of us microseconds. A thread that
// has named signals with pub_util_serve_in_pauses() takes them during its
// pauses and serves them as they come; SIGUSR1 ends any thread in a pause.
void pub_util_pause(useconds_t us);
void pub_util_serve_in_pauses(const sigset_t *signals, void (*serve)(int sig));
