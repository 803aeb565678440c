#include "daemon/daemon.h"

#include "services/service_control.h"
#include "util/log.h"
#include "util/proc_lookup.h"

#include <csignal>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

std::atomic<std::uint8_t> g_service_restarting{0};

namespace {

constexpr int STILL_RUNNING_CHECKS = 6;

// Restarts run on a worker of their own so that the thread taking signals
// stays free: a stop that arrives in the middle of a restart is served at
// once and abandons it.
sem_t g_restart_request;
bool g_have_restart_worker = false;

void restart_sequence()
{
    if (isProgramRunning(SERVICE_MULGATE) != 0) {
        log_debug("mulgate is not run.");
    } else {
        log_debug("mulgate is running.");
        kill_process_by_name(SERVICE_MULGATE, SIGTERM);
        sleep(2);
        for (int try_count = 0; try_count < STILL_RUNNING_CHECKS;) {
            if (isProgramRunning(SERVICE_MULGATE) != 0)
                break;
            usleep(200000);
            log_debug("mulgate is still running, try_count:%d.", try_count);
            ++try_count;
        }
    }
    stopService();
    sleep(2);
    startService();
    g_service_restarting = 0;
    log_debug("restart_service end.");
}

void *restart_worker(void * /*arg*/)
{
    for (;;) {
        if (sem_wait(&g_restart_request) == 0)
            restart_sequence();
    }
}

} // namespace

bool start_restart_worker()
{
    if (sem_init(&g_restart_request, 0, 0) != 0)
        return false;
    pthread_t worker;
    if (pthread_create(&worker, nullptr, restart_worker, nullptr) != 0)
        return false;
    pthread_detach(worker);
    g_have_restart_worker = true;
    return true;
}

void restart_service()
{
    // Test and set in one step: requests taken at the same instant on two
    // threads must not both win.
    std::uint8_t idle = 0;
    if (!g_service_restarting.compare_exchange_strong(idle, 1)) {
        log_debug(" service-restart is processing, do not do again.");
        return;
    }
    if (g_have_restart_worker)
        sem_post(&g_restart_request);
    else
        restart_sequence();
}
