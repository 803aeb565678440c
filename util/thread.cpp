#include "util/thread.h"

#include "util/log.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Set by the SIGUSR1 handler on the thread that took the signal. The thread
// ends itself at its next wake-up rather than inside the handler: a thread
// killed in a handler can leave a libc lock (stdio, malloc) held, and the
// exit that follows a stop would then wait on it for ever.
thread_local volatile sig_atomic_t t_end_requested = 0;

} // namespace

int pub_util_stop_thread(pthread_t *handle)
{
    if (*handle == 0)
        return 0;
    if (pthread_kill(*handle, 0) == ESRCH)
        return 0;
    int r = pthread_kill(*handle, SIGUSR1);
    if (r != 0) {
        log_error("pthread_kill(): %d - %s", r, strerror(r));
        return r;
    }
    usleep(10000);
    *handle = 0;
    return 0;
}

void pub_util_handle_thread_signal(int sig)
{
    if (sig == SIGUSR1) {
        t_end_requested = 1;
        return;
    }
    // The text can never hold a '%', so passing it through "%s" logs exactly
    // what passing it as the format would.
    char text[101] = {};
    snprintf(text, 100, "unknown signal: %d.\r\n", sig);
    log_error("%s", text);
}

void pub_util_end_thread_if_requested()
{
    if (!t_end_requested)
        return;
    // %d shows the low 32 bits of the handle, as the line always has.
    log_debug("thread %d will be end", static_cast<int>(pthread_self()));
    pthread_exit(nullptr);
}
