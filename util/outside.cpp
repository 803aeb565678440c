#include "util/outside.h"

#include "util/gate.h"

#include <android/log.h>
#include <cutils/properties.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The result of a call and the errno it left, which the gate's own calls
// must not change.
struct Result {
    int value;
    int err;
};

template <class MakeCall>
int through_gate(Call call, MakeCall make_call)
{
    const Result r = gate_wait(call, [&] {
        int value = make_call();
        return Result{value, errno};
    });
    errno = r.err;
    return r.value;
}

} // namespace

int outside_log(int prio, const char *tag, const char *text)
{
    return through_gate(Call::waits_on_peer, [&] { return __android_log_print(prio, tag, "%s", text); });
}

int outside_property_get(const char *name, char *value, const char *default_value)
{
    return through_gate(Call::waits_on_peer, [&] { return property_get(name, value, default_value); });
}

int outside_property_set(const char *name, const char *value)
{
    return through_gate(Call::property_write, [&] { return property_set(name, value); });
}

int outside_open_to_read(const char *path)
{
    return through_gate(Call::waits_on_peer, [&] { return open(path, O_RDONLY | O_CLOEXEC); });
}

int outside_kill(pid_t pid, int sig)
{
    return through_gate(Call::prompt, [&] { return kill(pid, sig); });
}

int outside_thread_create(pthread_t *handle, void *(*routine)(void *))
{
    return through_gate(Call::prompt, [&] {
        int r = pthread_create(handle, nullptr, routine, nullptr);
        // glibc may leave a value behind when the creation fails.
        if (r != 0)
            *handle = 0;
        return r;
    });
}
