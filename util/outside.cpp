#include "util/outside.h"

#include "util/gate.h"

#include <android/log.h>
#include <cutils/properties.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

int outside_log(int prio, const char *tag, const char *text)
{
    const GatePass pass = gate_enter(Call::waits_on_peer);
    int r = __android_log_print(prio, tag, "%s", text);
    gate_leave(pass);
    return r;
}

int outside_property_get(const char *name, char *value, const char *default_value)
{
    const GatePass pass = gate_enter(Call::waits_on_peer);
    int r = property_get(name, value, default_value);
    gate_leave(pass);
    return r;
}

int outside_property_set(const char *name, const char *value)
{
    const GatePass pass = gate_enter(Call::property_write);
    int r = property_set(name, value);
    gate_leave(pass);
    return r;
}

int outside_open_to_read(const char *path)
{
    const GatePass pass = gate_enter(Call::waits_on_peer);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    int err = errno;
    gate_leave(pass);
    errno = err;
    return fd;
}

int outside_kill(pid_t pid, int sig)
{
    const GatePass pass = gate_enter(Call::prompt);
    int r = kill(pid, sig);
    int err = errno;
    gate_leave(pass);
    errno = err;
    return r;
}

int outside_thread_create(pthread_t *handle, void *(*routine)(void *))
{
    const GatePass pass = gate_enter(Call::prompt);
    int r = pthread_create(handle, nullptr, routine, nullptr);
    // glibc may leave a value behind when the creation fails.
    if (r != 0)
        *handle = 0;
    gate_leave(pass);
    return r;
}
