// The caller's side of a simulated device: boots the process tree, speaks
// to its init over the control channel, tears everything down.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "init.h"
#include "wire.h"

namespace sim {

using wire::Op;
using wire::Reader;
using wire::Writer;

namespace {

// What the keeper process reports about the namespaces: init's host pid, or
// the errno of the unshare that failed.
struct KeeperReport {
    int error;
    pid_t init_pid;
};

Writer req(Op op)
{
    Writer w;
    w.u32(static_cast<uint32_t>(op));
    return w;
}

} // namespace

Device::Device(Options options) : opts_(std::move(options))
{
    boot();
}

Device::~Device()
{
    shutdown();
}

void Device::boot()
{
    if (geteuid() != 0)
        throw Error("the simulated device needs root: it creates mount, network and PID namespaces");
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        throw Error(std::string("socketpair: ") + strerror(errno));
    // Replies such as a long log need more room than the default buffers give.
    int size = 4 << 20;
    for (int fd : sv) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    }
    int rep[2];
    if (pipe2(rep, O_CLOEXEC) != 0) {
        close(sv[0]);
        close(sv[1]);
        throw Error(std::string("pipe: ") + strerror(errno));
    }
    pid_t parent = getpid();
    pid_t k = fork();
    if (k == 0) {
        // The keeper: holds the namespaces' first process as its child, so that
        // the caller can reap the whole device by reaping the keeper.
        close(sv[0]);
        close(rep[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        prctl(PR_SET_NAME, "sim-keeper");
        // Out of the caller's session, so that a Ctrl-C at the terminal reaches
        // the caller alone and not the daemon inside.
        setsid();
        KeeperReport r{0, 0};
        if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID) != 0) {
            r.error = errno;
            (void)!write(rep[1], &r, sizeof r);
            _exit(1);
        }
        pid_t i = fork();
        if (i == 0) {
            close(rep[1]);
            detail::run_init(opts_, sv[1]);
        }
        r.error = i < 0 ? errno : 0;
        r.init_pid = i;
        (void)!write(rep[1], &r, sizeof r);
        close(rep[1]);
        close(sv[1]);
        if (i < 0)
            _exit(1);
        int st = 0;
        while (waitpid(i, &st, 0) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(sv[1]);
    close(rep[1]);
    if (k < 0) {
        int e = errno;
        close(sv[0]);
        close(rep[0]);
        throw Error(std::string("fork: ") + strerror(e));
    }
    keeper_pid_ = k;
    ctl_ = sv[0];
    KeeperReport r{0, 0};
    ssize_t n;
    do {
        n = read(rep[0], &r, sizeof r);
    } while (n < 0 && errno == EINTR);
    close(rep[0]);
    if (n != sizeof r || r.error != 0 || r.init_pid <= 0) {
        shutdown();
        if (n == sizeof r && r.error != 0)
            throw Error(std::string("cannot create the device's namespaces (unshare: ") + strerror(r.error) +
                        "); namespaces must be available to root");
        throw Error("cannot start the device's init");
    }
    init_pid_ = r.init_pid;

    pollfd p{ctl_, POLLIN, 0};
    int left = static_cast<int>(opts_.boot_timeout.count());
    if (poll(&p, 1, left) <= 0) {
        shutdown();
        throw Error("the device did not come up in time");
    }
    std::string m;
    bool got = false;
    try {
        got = wire::recv_msg(ctl_, m);
    } catch (...) {
    }
    Reader rd(m);
    Op op = got && m.size() >= 4 ? static_cast<Op>(rd.u32()) : Op::kFailed;
    if (op != Op::kReady) {
        std::string why = got && op == Op::kFailed && !rd.done() ? rd.str() : "init ended";
        shutdown();
        throw Error("the device could not boot: " + why);
    }
    daemon_pid_ = 0;
    log_.clear();
    if (opts_.start_daemon)
        start_daemon();
}

void Device::shutdown()
{
    std::lock_guard lk(mu_);
    // Killing the first process of a PID namespace kills every process in it;
    // the keeper returns once they are all gone.
    if (init_pid_ > 0)
        ::kill(init_pid_, SIGKILL);
    if (keeper_pid_ > 0) {
        if (init_pid_ <= 0)
            ::kill(keeper_pid_, SIGKILL);
        while (waitpid(keeper_pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (ctl_ >= 0)
        close(ctl_);
    ctl_ = -1;
    init_pid_ = 0;
    keeper_pid_ = 0;
}

void Device::reboot()
{
    shutdown();
    boot();
}

void Device::check_alive() const
{
    if (init_pid_ <= 0)
        throw Error("the device is not running");
}

std::string Device::request(const std::string &msg)
{
    std::lock_guard lk(mu_);
    check_alive();
    wire::send_msg(ctl_, msg);
    pollfd p{ctl_, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, 20000);
    } while (r < 0 && errno == EINTR);
    if (r == 0)
        throw Error("the device's init does not answer");
    std::string reply;
    if (!wire::recv_msg(ctl_, reply))
        throw Error("the device's init has ended");
    Reader rd(reply);
    if (rd.u32() != wire::kOk)
        throw Error(rd.str());
    return reply.substr(4);
}

std::string Device::host_path(std::string_view device_path) const
{
    return "/proc/" + std::to_string(init_pid_) + "/root" + std::string(device_path);
}

// ---------------------------------------------------------------- USB

void Device::plug()
{
    set_usb_state("CONNECTED");
    std::this_thread::sleep_for(opts_.uevent_gap);
    set_usb_state("CONFIGURED");
}

void Device::unplug()
{
    set_usb_state("DISCONNECTED");
}

void Device::set_usb_state(std::string_view word)
{
    request(req(Op::kUsbState).str(word).data());
}

void Device::set_ports(int count)
{
    write_file(kPortsFile, std::to_string(count) + "\n");
}

void Device::write_file(std::string_view path, std::string_view bytes)
{
    request(req(Op::kWriteFile).str(path).str(bytes).data());
}

void Device::remove_file(std::string_view path)
{
    request(req(Op::kRemoveFile).str(path).data());
}

std::optional<std::string> Device::read_file(std::string_view path)
{
    std::string rep = request(req(Op::kReadFile).str(path).data());
    Reader r(rep);
    return wire::get_optional(r);
}

void Device::send_uevent(std::string_view bytes)
{
    request(req(Op::kSendUevent).str(bytes).data());
}

namespace {

// Fetches a list from `from` on, a chunk per request, until it is complete.
template <class T>
std::vector<T> fetch_list(const std::function<std::string(uint32_t)> &ask, size_t from)
{
    std::vector<T> out;
    for (;;) {
        std::string rep = ask(static_cast<uint32_t>(from + out.size()));
        Reader r(rep);
        uint32_t n = r.u32();
        for (uint32_t i = 0; i < n; ++i)
            wire::get(r, out.emplace_back());
        if (n == 0 || rep.size() < wire::kChunk)
            return out;
    }
}

// A reply that is one record.
template <class T>
T reply_of(const std::string &rep)
{
    Reader r(rep);
    T v;
    wire::get(r, v);
    return v;
}

} // namespace

std::vector<int64_t> Device::uevent_listeners()
{
    std::vector<int64_t> out;
    // Read by init, so that /proc/1/net is the device's network namespace.
    auto text = read_file("/proc/1/net/netlink");
    if (!text)
        return out;
    size_t pos = text->find('\n'); // past the heading
    while (pos != std::string::npos && pos + 1 < text->size()) {
        size_t nl = text->find('\n', pos + 1);
        std::string line = text->substr(pos + 1, nl == std::string::npos ? std::string::npos : nl - pos - 1);
        pos = nl;
        char sk[32];
        int proto = 0;
        unsigned long port = 0, groups = 0;
        if (sscanf(line.c_str(), "%31s %d %lu %lx", sk, &proto, &port, &groups) != 4)
            continue;
        if (proto == 15 && (groups & 1))
            out.push_back(static_cast<int32_t>(static_cast<uint32_t>(port)));
    }
    return out;
}

bool Device::wait_daemon_listening(Millis timeout)
{
    return wait_until(
        [&] {
            if (daemon_pid_ <= 0)
                return false;
            for (auto p : uevent_listeners())
                if (p == daemon_pid_)
                    return true;
            return false;
        },
        timeout, 5ms);
}

// ---------------------------------------------------------------- properties and services

void Device::setprop(std::string_view name, std::string_view value)
{
    request(req(Op::kSetProp).str(name).str(value).data());
}

std::optional<std::string> Device::getprop(std::string_view name)
{
    std::string rep = request(req(Op::kGetProp).str(name).data());
    Reader r(rep);
    return wire::get_optional(r);
}

std::vector<PropertyWrite> Device::property_writes()
{
    return fetch_list<PropertyWrite>([&](uint32_t f) { return request(req(Op::kWrites).u32(f).data()); }, 0);
}

std::vector<PropertyRead> Device::property_reads()
{
    return fetch_list<PropertyRead>([&](uint32_t f) { return request(req(Op::kReads).u32(f).data()); }, 0);
}

std::vector<ServiceEvent> Device::service_events()
{
    return fetch_list<ServiceEvent>([&](uint32_t f) { return request(req(Op::kServiceEvents).u32(f).data()); }, 0);
}

std::vector<ServiceInfo> Device::services()
{
    return reply_of<std::vector<ServiceInfo>>(request(req(Op::kServices).data()));
}

ServiceInfo Device::service(std::string_view name)
{
    for (auto &s : services())
        if (s.name == name)
            return s;
    throw Error("no such service: " + std::string(name));
}

void Device::set_service_options(std::string_view name, ServiceOptions o)
{
    Writer w = req(Op::kServiceOptions).str(name);
    wire::put(w, o);
    request(w.data());
}

void Device::set_property_delay(Millis delay)
{
    request(req(Op::kPropertyDelay).i64(delay.count()).data());
}

bool Device::wait_service_state(std::string_view name, std::string_view state, Millis timeout)
{
    return wait_until([&] { return service(name).state == state; }, timeout);
}

// ---------------------------------------------------------------- processes

std::vector<Process> Device::ps()
{
    return reply_of<std::vector<Process>>(request(req(Op::kPs).data()));
}

std::vector<pid_t> Device::pids_named(std::string_view name)
{
    std::vector<pid_t> out;
    for (auto &p : ps())
        if (p.name == name)
            out.push_back(p.pid);
    return out;
}

pid_t Device::spawn_named(std::string_view name, bool ignore_sigterm)
{
    std::string rep = request(req(Op::kSpawnNamed).str(name).u32(ignore_sigterm).data());
    return static_cast<pid_t>(Reader(rep).u32());
}

void Device::kill(pid_t pid, int sig)
{
    request(req(Op::kKill).u32(static_cast<uint32_t>(pid)).u32(static_cast<uint32_t>(sig)).data());
}

void Device::hide_proc(bool hidden)
{
    request(req(Op::kHideProc).u32(hidden).data());
}

// ---------------------------------------------------------------- programs and the daemon

pid_t Device::start_job(const std::vector<std::string> &argv)
{
    Writer w = req(Op::kStartJob).u32(0);
    wire::put(w, argv);
    return static_cast<pid_t>(Reader(request(w.data())).u32());
}

JobStatus Device::job(pid_t pid)
{
    JobStatus j;
    j.pid = pid;
    for (;;) {
        std::string rep = request(req(Op::kJob)
                                      .u32(static_cast<uint32_t>(pid))
                                      .u32(static_cast<uint32_t>(j.out.size()))
                                      .u32(static_cast<uint32_t>(j.err.size()))
                                      .data());
        auto part = reply_of<JobStatus>(rep);
        j.running = part.running;
        j.exit = part.exit;
        j.started = part.started;
        j.ended = part.ended;
        j.out += part.out;
        j.err += part.err;
        if (part.out.size() < wire::kChunk && part.err.size() < wire::kChunk)
            return j;
    }
}

std::optional<JobStatus> Device::wait_job(pid_t pid, Millis timeout)
{
    std::optional<JobStatus> last;
    bool done = wait_until(
        [&] {
            last = job(pid);
            return !last->running;
        },
        timeout, 5ms);
    if (!done)
        return std::nullopt;
    return last;
}

pid_t Device::start_daemon()
{
    return start_daemon(opts_.daemon_command);
}

pid_t Device::start_daemon(const std::vector<std::string> &argv)
{
    std::lock_guard lk(mu_);
    if (daemon_pid_ > 0 && job(daemon_pid_).running)
        throw Error("the daemon is already running");
    Writer w = req(Op::kStartJob).u32(opts_.daemon_without_dac);
    wire::put(w, argv);
    daemon_pid_ = static_cast<pid_t>(Reader(request(w.data())).u32());
    return daemon_pid_;
}

void Device::signal_daemon(int sig)
{
    if (daemon_pid_ <= 0)
        throw Error("the daemon has not been started");
    kill(daemon_pid_, sig);
}

JobStatus Device::daemon_status()
{
    if (daemon_pid_ <= 0)
        return {};
    return job(daemon_pid_);
}

std::optional<ExitStatus> Device::wait_daemon_exit(Millis timeout)
{
    if (daemon_pid_ <= 0)
        throw Error("the daemon has not been started");
    auto j = wait_job(daemon_pid_, timeout);
    if (!j)
        return std::nullopt;
    return j->exit;
}

// ---------------------------------------------------------------- log

const std::vector<LogEntry> &Device::log()
{
    std::lock_guard lk(mu_);
    auto more = fetch_list<LogEntry>([&](uint32_t f) { return request(req(Op::kLog).u32(f).data()); }, log_.size());
    for (auto &e : more)
        log_.push_back(std::move(e));
    return log_;
}

std::optional<size_t> Device::wait_for_log(const std::function<bool(const LogEntry &)> &pred, Millis timeout,
                                           size_t from)
{
    std::optional<size_t> found;
    size_t next = from;
    wait_until(
        [&] {
            const auto &l = log();
            for (; next < l.size(); ++next) {
                if (pred(l[next])) {
                    found = next;
                    return true;
                }
            }
            return false;
        },
        timeout, 5ms);
    return found;
}

std::optional<size_t> Device::wait_for_message(std::string_view text, Millis timeout, size_t from)
{
    return wait_for_log([&](const LogEntry &e) { return e.message == text; }, timeout, from);
}

void Device::pause_logd(bool paused)
{
    request(req(Op::kPauseLogd).u32(paused).data());
}

size_t Device::wait_log_quiet(Millis quiet, Millis timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    size_t n = log().size();
    auto last_change = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
        size_t m = log().size();
        auto t = std::chrono::steady_clock::now();
        if (m != n) {
            n = m;
            last_change = t;
        } else if (t - last_change >= quiet) {
            break;
        }
    }
    return n;
}

bool Device::wait_until(const std::function<bool()> &cond, Millis timeout, Millis period)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(period);
    }
}

} // namespace sim
