// The daemon's calls to the outside world: a log line, a property read or
// write, a file the platform provides, a signal to another process, a new
// thread. Nothing else in the daemon makes these calls (a build test holds
// every other object file to that, but for the file opens), so the gate of
// util/gate.h is applied here, once, and cannot be forgotten by a new
// caller: once a stop holds, every thread but the stop's waits at the start
// of its next call for good, and a call that waits on a peer lets the stop
// signals in.
#pragma once

#include <pthread.h>
#include <sys/types.h>

// __android_log_print(prio, tag, "%s", text).
int outside_log(int prio, const char *tag, const char *text);
int outside_property_get(const char *name, char *value, const char *default_value);
int outside_property_set(const char *name, const char *value);
// open(path, O_RDONLY | O_CLOEXEC) of a file the platform provides, which
// may keep the caller waiting (a FIFO nobody writes); -1 with errno as
// open() left it.
int outside_open_to_read(const char *path);
// kill(pid, sig); on failure -1 with errno as kill() left it.
int outside_kill(pid_t pid, int sig);
// pthread_create with default attributes and a null argument. *handle is
// written by the creation itself, before the new thread can run and before a
// stop can read it, and reads 0 when the creation fails.
int outside_thread_create(pthread_t *handle, void *(*routine)(void *));
