// drovik: keeps the modem-log and event-log services in step with the USB
// connection.

#include "daemon/daemon.h"

// DROVIK_BUILD_DATE and DROVIK_BUILD_TIME: the moment of the build, laid out
// as the compiler's __DATE__ and __TIME__ would show it. The build writes them
// (honouring SOURCE_DATE_EPOCH), so that the same sources give the same binary.
#include "drovik_build_time.h"
#include "services/service_control.h"
#include "util/log.h"
#include "util/thread.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr const char *PROGRAM_NAME = "drovik";
constexpr const char *PROGRAM_VERSION = "1.0.0";
constexpr int USB_STATE_BUF_SIZE = 100;
constexpr int EXIT_NO_MONITOR = 21;

} // namespace

int main(int /*argc*/, char ** /*argv*/)
{
    ignore_broken_pipes();
    log_debug("\n    %s, version %s\n    Build time: %s %s\n", PROGRAM_NAME, PROGRAM_VERSION, DROVIK_BUILD_DATE,
              DROVIK_BUILD_TIME);
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

    int r = start_threads();
    if (r != 0) {
        log_debug("pthread_create() g_monitor_usb_thread_id fail: %d", r);
        log_debug("drovik start fail. ret_val=%ld.", static_cast<long>(RESULT_FAILURE));
        manager_stop();
        exit(EXIT_NO_MONITOR);
    }

    serve_signals_for_good();
}
