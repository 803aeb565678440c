// A simulated Android device that runs the unmodified drovik binary.
//
// Each Device is a process tree of its own: an init process that is PID 1 of
// fresh PID, mount and network namespaces, serving the property service,
// logd, init's service control and the USB gadget's sysfs files and uevents,
// with the daemon and the services' stand-in programs as its children. The
// caller talks to that init over a private control socket; nothing of the
// host (its /dev, /sys or /proc) is changed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace sim {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// A moment on both clocks; monotonic matches std::chrono::steady_clock of
// the caller (the namespaces share the machine's clocks).
struct Timestamp {
    int64_t realtime_ns = 0;
    int64_t monotonic_ns = 0;
    std::chrono::steady_clock::time_point steady() const
    {
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(monotonic_ns));
    }
};

// One datagram received by logd.
struct LogEntry {
    bool well_formed = false; // at least the 12-byte header and a terminated tag
    uint8_t log_id = 0;
    uint16_t tid = 0; // as sent: low 16 bits of the thread id
    uint32_t sec = 0; // sender's realtime stamp
    uint32_t nsec = 0;
    uint8_t priority = 0;
    std::string tag;
    std::string message;
    pid_t pid = 0; // from the socket credentials, in the device's PID namespace
    uid_t uid = 0;
    Timestamp received;
    std::string raw; // the whole datagram

    // The sender's stamp in nanoseconds since the epoch.
    int64_t sent_ns() const { return int64_t(sec) * 1000000000 + nsec; }
};

// Bytes as a person can read them on one line: line feeds, carriage returns,
// backslashes and other control or non-ASCII bytes escaped (\n, \r, \\,
// \xHH), and double quotes too when `quotes` is set.
std::string printable(std::string_view bytes, bool quotes = false);

// The lines `logcat -v threadtime` prints for an entry, each ending in "\n".
std::string threadtime(const LogEntry &e);
// Parses one logd datagram (pid, uid and receive time are left to the caller).
LogEntry parse_log_datagram(std::string_view datagram);

// One SET that reached the property service, whatever its outcome.
struct PropertyWrite {
    std::string name;
    std::string value;
    uint32_t status = 0; // what the service replied, 0 = success
    pid_t pid = 0;       // the writer, in the device (0 when outside it)
    Timestamp time;
};

// One GET served by the property service.
struct PropertyRead {
    std::string name;
    std::string value; // what was replied (empty when unset)
    pid_t pid = 0;
    Timestamp time;
};

// A change of a service's "init.svc.<name>".
struct ServiceEvent {
    std::string service;
    std::string state; // running, stopping, stopped, restarting
    pid_t pid = 0;     // the process concerned
    Timestamp time;
};

struct ServiceInfo {
    std::string name;
    std::string state; // empty: never started
    pid_t pid = 0;     // 0 when no process runs
};

struct Process {
    pid_t pid = 0; // in the device
    pid_t ppid = 0;
    char state = '?';
    std::string name;          // the Name of /proc/PID/status
    uid_t uid = 0;             // real uid
    gid_t gid = 0;             // real gid
    std::vector<gid_t> groups; // supplementary
};

struct ExitStatus {
    bool exited = false; // true: ended with a code; false: ended by a signal
    int code = 0;
    int signal = 0;
    std::string describe() const; // "exit status 0", "killed by signal 15 (Terminated)"
    bool operator==(const ExitStatus &) const = default;
};

// A program run inside the device (the daemon is one).
struct JobStatus {
    pid_t pid = 0;
    bool running = false;
    std::optional<ExitStatus> exit; // set once it has ended and been reaped
    std::string out;                // everything written to its stdout so far
    std::string err;                // and to its stderr
    Timestamp started;
    Timestamp ended;
};

// How a service's stand-in behaves; what init does with it is the .rc files'.
struct ServiceOptions {
    bool ignore_sigterm = false; // the stand-in ignores SIGTERM: only SIGKILL ends it
    // A stop's process that takes this long to die after SIGKILL (as one in
    // uninterruptible sleep): init reads it ended, and the service stopped, so late.
    Millis dies_after{0};
};

// The .rc files the device's init reads at boot: the project's drovik.rc and
// the device's own for mulgate and sprue (android/device/services.rc).
std::vector<std::string> default_rc_files();
// The same with another file in place of the project's drovik.rc.
std::vector<std::string> rc_files_with(const std::string &drovik_rc);

// The daemon command: DROVIK_DAEMON_CMD from the environment, split at
// spaces, when set; otherwise the drovik binary of this build.
std::vector<std::string> default_daemon_command();
std::vector<std::string> split_command(std::string_view text);

// Android's init starts a service that ended by itself again after about
// 5 s: long enough for a restart request to see its own SIGTERM end mulgate
// for good. Options::restart_delay is shorter, to keep tests fast.
constexpr Millis kAndroidRestartDelay{5000};

struct Options {
    // Contents of the two sysfs attributes at boot; nullopt leaves the file absent.
    std::optional<std::string> usb_state = std::string("CONFIGURED\n");
    std::optional<std::string> serial_port_num = std::string("1\n");
    // Properties set before anything runs (after the persist file is loaded); a
    // name the property service would refuse makes the boot fail.
    std::map<std::string, std::string> properties;
    // Where "persist.*" values are kept across boots; empty keeps them in memory only.
    std::string persist_file;
    // init's .rc files, read in order at boot; a line the device does not
    // honour makes the boot fail, naming its file and line.
    std::vector<std::string> rc_files = default_rc_files();
    // The service of the .rc files that is the daemon: its path stands for
    // daemon_command, run with the service's credentials.
    std::string daemon_service = "drovik";
    std::vector<std::string> daemon_command = default_daemon_command();
    // false: the boot leaves the daemon's service alone (as if disabled);
    // start_daemon() starts it.
    bool start_daemon = true;
    // init starts the daemon's service again when it ends, as on a device;
    // off, it stays "restarting" until start_daemon(), so that a test sees
    // the daemon's end as the last of it.
    bool daemon_restarts = false;
    bool logd = true;             // false: no /dev/socket/logdw, the daemon falls back to stderr
    bool property_service = true; // false: no /dev/socket/property_service
    Millis property_delay{0};     // the property service waits this long before each reply
    // How many datagrams wait in logd's queue before a sender blocks: the
    // network namespace's net.unix.max_dgram_qlen when logd's socket is made.
    // The default keeps a burst from ever waiting; Linux's own is 10.
    int logd_queue = 100000;
    // A daemon run by start_daemon(argv) runs as root but without
    // CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH, so that hide_proc() makes
    // "/proc" unopenable for it (the daemon's service never has them).
    bool daemon_without_dac = false;
    // The stand-ins' behaviour, by service name (a service of the .rc files).
    std::map<std::string, ServiceOptions> services;
    // A service that ended by itself is started again this long after it was
    // started (init's restart period: at once when it ran longer).
    Millis restart_delay{1000};
    Millis uevent_gap{20}; // between CONNECTED and CONFIGURED of plug()
    Millis boot_timeout{10000};
};

class Device {
public:
    explicit Device(Options options = {});
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    const Options &options() const { return opts_; }
    // Kills the whole tree and boots it again with the same options (persist.* kept).
    void reboot();
    // Kills the whole tree; every later call throws. The destructor does it too.
    void shutdown();
    bool alive() const { return init_pid_ > 0; }
    // The host pid of the device's init; host_path("/x") reaches /x inside the device.
    pid_t init_host_pid() const { return init_pid_; }
    std::string host_path(std::string_view device_path) const;

    // --- USB gadget
    void plug();   // CONNECTED then CONFIGURED, file and uevent each
    void unplug(); // DISCONNECTED
    // Writes "<word>\n" to the state file, then sends the matching uevent.
    void set_usb_state(std::string_view word);
    void set_ports(int count); // "<count>\n" into serial_port_num
    static constexpr std::string_view kStateFile = "/sys/class/android_usb/android0/state";
    static constexpr std::string_view kPortsFile = "/sys/class/android_usb/f_serial/serial_port_num";
    void write_file(std::string_view device_path, std::string_view bytes);
    void remove_file(std::string_view device_path);
    std::optional<std::string> read_file(std::string_view device_path);
    // Sends the bytes as one datagram to uevent multicast group 1 of the device.
    void send_uevent(std::string_view bytes);
    // The kernel's layout for an android_usb state change.
    static std::string usb_uevent(std::string_view state, unsigned seqnum);
    // The gadget's device path in its uevents.
    static constexpr std::string_view kUsbDevpath = "/devices/virtual/android_usb/android0";
    // A datagram of these fields as the kernel lays them out: each ended by a zero byte.
    static std::string uevent_datagram(std::initializer_list<std::string_view> fields);
    // Port ids of the uevent sockets bound to group 1 in the device (a program
    // that binds with its pid, as the daemon does, shows that pid).
    std::vector<int64_t> uevent_listeners();
    // Waits until the daemon's uevent socket is bound: events sent before are lost.
    bool wait_daemon_listening(Millis timeout);

    // --- properties and services
    // As a write from outside the device: ctl.* act on services, persist.* are saved;
    // not recorded in property_writes(). Throws when the service would refuse it.
    void setprop(std::string_view name, std::string_view value);
    std::optional<std::string> getprop(std::string_view name); // nullopt: never set
    std::vector<PropertyWrite> property_writes();
    std::vector<PropertyRead> property_reads();
    std::vector<ServiceEvent> service_events();
    std::vector<ServiceInfo> services();
    ServiceInfo service(std::string_view name);
    // Takes effect at the service's next start.
    void set_service_options(std::string_view name, ServiceOptions o);
    void set_property_delay(Millis delay);

    // --- processes
    std::vector<Process> ps();
    std::vector<pid_t> pids_named(std::string_view name);
    // A stand-in process of that name that no service controls; init reaps it.
    pid_t spawn_named(std::string_view name, bool ignore_sigterm = false);
    void kill(pid_t pid, int sig);
    // Overlays /proc with an empty tmpfs of mode 000 (or removes the overlay).
    void hide_proc(bool hidden);

    // --- programs inside the device (stdin /dev/null, output captured)
    pid_t start_job(const std::vector<std::string> &argv);
    // Once a program reads ended, logd has taken every line it sent (unless
    // logd is paused), so log() holds them all.
    JobStatus job(pid_t pid);
    std::optional<JobStatus> wait_job(pid_t pid, Millis timeout);

    // --- the daemon
    // ctl.start of the daemon's service: init runs options().daemon_command
    // with the service's credentials. Its pid, as the daemon sees itself.
    pid_t start_daemon();
    // A program of init's run as the daemon instead, as root, outside the service.
    pid_t start_daemon(const std::vector<std::string> &argv);
    pid_t daemon_pid() const { return daemon_pid_; } // 0 before the first start
    // The daemon's service's last process, once init has started it (at
    // boot, on a restart or a start), ended or not: daemon_pid() follows it.
    // Its pid, or 0.
    pid_t follow_daemon();
    void signal_daemon(int sig);
    JobStatus daemon_status();
    std::optional<ExitStatus> wait_daemon_exit(Millis timeout);

    // --- the log
    // Every entry received so far; entries keep their index for good.
    const std::vector<LogEntry> &log();
    // Waits for the first entry at index >= from that satisfies pred; its index.
    std::optional<size_t> wait_for_log(const std::function<bool(const LogEntry &)> &pred, Millis timeout,
                                       size_t from = 0);
    // Shorthand: the first entry whose message equals text exactly.
    std::optional<size_t> wait_for_message(std::string_view text, Millis timeout, size_t from = 0);
    // Waits until no entry has arrived for `quiet`, at most `timeout`; the log size.
    size_t wait_log_quiet(Millis quiet, Millis timeout);
    // While paused, logd takes no datagram: they wait in its queue and, once
    // it is full (Linux lets Options::logd_queue + 1 in), their senders block,
    // as behind a slow logd. Each entry's `received` is still the moment logd
    // took it. Does nothing on a device without logd.
    void pause_logd(bool paused);

    // Polls cond every `period` until it is true or the timeout passes.
    static bool wait_until(const std::function<bool()> &cond, Millis timeout, Millis period = 10ms);
    bool wait_service_state(std::string_view name, std::string_view state, Millis timeout);

private:
    void boot();
    // One request of the control channel and its reply (sim/requests.h).
    std::string request(const std::string &msg);
    template <class Req>
    auto call(const Req &q);
    // A journal request's items from `from` on, a part per request until the last.
    template <class Req>
    auto fetch(size_t from);
    void check_alive() const;

    Options opts_;
    pid_t keeper_pid_ = 0;
    pid_t init_pid_ = 0;
    int ctl_ = -1;
    pid_t daemon_pid_ = 0;
    std::vector<LogEntry> log_;
    std::recursive_mutex mu_;
};

} // namespace sim
