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
void restart_service();

// Holds the daemon's signals back in every thread and starts the signal
// thread, which takes them from then on. Called first, so that no signal
// meets its default action before the daemon is ready for it.
void start_signal_thread();
// Installs the handlers; the calling thread lets SIGUSR1 in from then on.
void install_signal_handling();
// The main thread's life once start-up is over: it takes the stop signals.
[[noreturn]] void serve_signals_for_good();
