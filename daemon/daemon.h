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

// Before the banner: SIGPIPE is ignored for good.
void ignore_broken_pipes();
// Installs the handling of SIGINT, SIGTERM, SIGSEGV, SIGBUS and SIGUSR2, in
// that order; until each is installed, a signal takes its default action.
// From then on the main thread takes them in its pauses, and a stop signal
// in any call that waits on a peer.
void install_signal_handling();
// Creates the monitor thread, then, when the process may have one more, the
// signal thread. SIGUSR1's handler, which ends the thread that takes it, is
// installed first, so that a stop always finds it. The monitor's creation
// result: 0, or the error that leaves the daemon without a monitor.
int start_threads();
// The main thread's life once start-up is over, and the signal thread's:
// they take the signals.
[[noreturn]] void serve_signals_for_good();
