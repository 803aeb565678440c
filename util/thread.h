// The daemon's threads: ending a worker from another thread with SIGUSR1,
// holding every other thread still while the orderly stop runs, and pausing.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

// 0 when there was nothing to stop or the request was sent, else the error
// number of the failed send. Clears *handle 10 ms after a successful send.
int pub_util_stop_thread(pthread_t *handle);

// SIGUSR1 handler. It only marks the receiving thread; the thread ends itself
// at its next safe point: pub_util_end_thread_if_requested(), or the start of
// its next call outside the process.
void pub_util_handle_thread_signal(int sig);

// If SIGUSR1 has reached the calling thread, log its end and exit the thread.
// Returns otherwise.
void pub_util_end_thread_if_requested();

// Every call of the daemon that reaches outside the process (a log line, a
// property request, a signal to another process, a new thread) is made
// between these two. They are where a thread stops: at the first, a thread
// that SIGUSR1 has reached ends, and once the orderly stop holds the others,
// any other thread waits there for good.
void pub_util_call_begin();
void pub_util_call_end();

// Makes the calling thread the only one that still reaches outside the
// process: waits until the calls in flight on other threads have ended, and
// from then on holds every other thread at the start of its next call.
// Async-signal-safe, so that a fault handler can run the stop.
void pub_util_hold_other_threads();

// Where a thread waits for good once the stop has begun elsewhere. SIGUSR1
// still ends it.
[[noreturn]] void pub_util_wait_for_good();

// Pauses the calling thread for the whole of us microseconds. A thread that
// has named signals with pub_util_serve_in_pauses() takes them during its
// pauses and serves them as they come; on other threads a pause ends early
// only when SIGUSR1 asks the thread to end.
void pub_util_pause(useconds_t us);
void pub_util_serve_in_pauses(const sigset_t *signals, void (*serve)(int sig));
