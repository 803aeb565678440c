// The daemon core: start-up, signals, the orderly stop and the restart of
// the modem-log service.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

inline constexpr int RESULT_FAILURE = -118;
inline constexpr const char *USB_STATE_FILE = "/sys/class/android_usb/android0/state";

extern pthread_t g_monitor_usb_thread_id;
extern std::atomic<std::uint8_t> g_service_restarting;

int read_file_line(char *dst, int size, const char *path);

void on_daemon_signal(int sig);
int manager_stop();
// Installs the handlers and moves SIGINT, SIGTERM and SIGUSR2 to the
// dispatch thread; see signals.cpp.
void install_signal_handling();

void restart_service();
// Starts the thread that carries out restarts; false when it cannot.
bool start_restart_worker();
