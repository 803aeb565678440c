// Ending a worker thread from another thread with SIGUSR1.
#pragma once

#include <pthread.h>

// 0 when there was nothing to stop or the request was sent, else the error
// number of the failed send. Clears *handle 10 ms after a successful send.
int pub_util_stop_thread(pthread_t *handle);

// SIGUSR1 handler. It only marks the receiving thread; the thread ends itself
// at its next call of pub_util_end_thread_if_requested().
void pub_util_handle_thread_signal(int sig);

// Called by a worker at each wake-up: if SIGUSR1 has reached this thread, log
// its end and exit the thread. Returns otherwise.
void pub_util_end_thread_if_requested();
