#include "daemon/daemon.h"

#include "services/service_control.h"
#include "util/log.h"
#include "util/proc_lookup.h"
#include "util/thread.h"

#include <csignal>

std::atomic<std::uint8_t> g_service_restarting{0};

namespace {

constexpr int STILL_RUNNING_CHECKS = 6;
constexpr useconds_t END_WAIT_US = 2000000;
constexpr useconds_t CHECK_PAUSE_US = 200000;
constexpr useconds_t RESTART_GAP_US = 2000000;

} // namespace

// Runs on the signal thread, to its end. Its pauses take the signals that
// arrive meanwhile: a stop abandons the restart there, a second request is
// dropped and the pause goes on to its full length.
void restart_service()
{
    // Test and set in one step: requests taken at the same instant on two
    // threads must not both win.
    std::uint8_t idle = 0;
    if (!g_service_restarting.compare_exchange_strong(idle, 1)) {
        log_debug(" service-restart is processing, do not do again.");
        return;
    }
    if (isProgramRunning(SERVICE_MULGATE) != 0) {
        log_debug("mulgate is not run.");
    } else {
        log_debug("mulgate is running.");
        kill_process_by_name(SERVICE_MULGATE, SIGTERM);
        pub_util_pause(END_WAIT_US);
        for (int try_count = 0; try_count < STILL_RUNNING_CHECKS;) {
            if (isProgramRunning(SERVICE_MULGATE) != 0)
                break;
            pub_util_pause(CHECK_PAUSE_US);
            log_debug("mulgate is still running, try_count:%d.", try_count);
            ++try_count;
        }
    }
    stopService();
    pub_util_pause(RESTART_GAP_US);
    startService();
    g_service_restarting = 0;
    log_debug("restart_service end.");
}
