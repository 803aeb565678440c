// drovik: keeps the modem-log and event-log services in step with the USB
// connection.

#include "daemon/daemon.h"

// DROVIK_BUILD_DATE and DROVIK_BUILD_TIME: the moment of the build, laid out
// as the compiler's __DATE__ and __TIME__ would show it. The build writes them
// (honouring SOURCE_DATE_EPOCH), so that the same sources give the same binary.
#include "drovik_build_time.h"
#include "services/service_control.h"
#include "usb_monitor/usb_monitor.h"
#include "util/log.h"
#include "util/thread.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr const char *PROGRAM_NAME = "drovik";
constexpr const char *PROGRAM_VERSION = "1.0.0";
constexpr int USB_STATE_BUF_SIZE = 100;
constexpr int EXIT_NO_MONITOR = 21;

// A new thread is a call outside the process like any other: once a stop
// has begun, the main thread waits here instead of starting the monitor, and
// a stop that begins meanwhile reads the handle only once it is settled.
// pthread_create() writes it before the thread runs, so the monitor can tell
// itself apart in a stop it runs; a failed creation may leave a value there,
// which must read 0. The monitor starts with SIGUSR1 held and lets it in
// itself.
int start_monitor()
{
    pub_util_call_begin();
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    int r = pthread_create(&g_monitor_usb_thread_id, nullptr, zel_handle_monitor_usb_loop, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
    if (r != 0)
        g_monitor_usb_thread_id = 0;
    pub_util_call_end();
    return r;
}

} // namespace

int main(int /*argc*/, char ** /*argv*/)
{
    // The banner is the daemon's first word: a stop taken by the signal
    // thread while it is on its way waits for it, however long the log takes.
    pub_util_call_begin();
    start_signal_thread();
    log_debug("\n    %s, version %s\n    Build time: %s %s\n", PROGRAM_NAME, PROGRAM_VERSION, DROVIK_BUILD_DATE,
              DROVIK_BUILD_TIME);
    pub_util_call_end();
    install_signal_handling();
    log_debug("PID of drovik: %d", getpid());
    g_service_restarting = 0;

    sprue_start_by_prop();

    char state[USB_STATE_BUF_SIZE];
    if (read_file_line(state, USB_STATE_BUF_SIZE, USB_STATE_FILE) == 0) {
        log_debug("readed success from file(%s). value: %s.", USB_STATE_FILE, state);
        if (strstr(state, "CONFIGURED") != nullptr) {
            stopService();
            pub_util_pause(10000);
            startService();
        }
    }

    int r = start_monitor();
    if (r != 0) {
        log_debug("pthread_create() g_monitor_usb_thread_id fail: %d", r);
        log_debug("drovik start fail. ret_val=%ld.", static_cast<long>(RESULT_FAILURE));
        manager_stop();
        exit(EXIT_NO_MONITOR);
    }

    serve_signals_for_good();
}
