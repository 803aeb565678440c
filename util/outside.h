// The daemon's calls to the outside world: a log line, a property read or
// write, a signal to another process, a new thread. Nothing else in the
// daemon makes these calls (a build test holds every other object file to
// that), so the orderly stop's hold on the other threads is applied here,
// once, and cannot be forgotten by a new caller.
//
// Each call is a point where a thread may stop: a thread that SIGUSR1 has
// asked to end ends at the start of its next call, and once a stop holds the
// others, every thread but the stop's waits at the start of its next call
// for good.
#pragma once

#include <pthread.h>
#include <sys/types.h>

// __android_log_print(prio, tag, "%s", text).
int outside_log(int prio, const char *tag, const char *text);
int outside_property_get(const char *name, char *value, const char *default_value);
int outside_property_set(const char *name, const char *value);
// kill(pid, sig); on failure -1 with errno as kill() left it.
int outside_kill(pid_t pid, int sig);
// pthread_create with default attributes and a null argument. *handle is
// written by the creation itself, before the new thread can run and before a
// stop can read it, and reads 0 when the creation fails. may_end: SIGUSR1
// can end the new thread (pub_util_thread_to_start()).
int outside_thread_create(pthread_t *handle, void *(*routine)(void *), bool may_end);

// Makes the calling thread the only one that still reaches outside: waits
// until the calls in flight on other threads are over and holds every other
// thread at the start of its next call from then on. False when another
// thread holds already; true when this one does, as a fault that interrupts
// the stop on its own thread finds. Async-signal-safe.
bool outside_hold_others();
bool outside_this_thread_holds();
bool outside_stop_has_begun();

// Where a thread waits for good once a stop has begun elsewhere. A call it
// had in flight (when a fault handler brings it here) is given up, so that
// the stop does not wait for it. SIGUSR1 still ends the thread.
[[noreturn]] void outside_wait_for_good();

// A thread that is ending says so in the log whatever holds the others: its
// last words pass, and SIGUSR1 is not looked at again.
void outside_pass_last_words();
