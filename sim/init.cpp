// PID 1 of a simulated device: mounts, property service, logd, init's
// service control, uevents and the programs run inside.
//
// Threads: the main thread serves the control channel, reaps children, reads
// the programs' output and fires the services' timers; the property service
// and logd each have a thread of their own. All shared state is under one
// mutex. Children are forked from more than one thread, so
// between fork and exec (or pause) only async-signal-safe calls are made.
#include "init.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "wire.h"

extern char **environ;

namespace sim::detail {
namespace {

using wire::Op;
using wire::Reader;
using wire::Writer;

constexpr uint32_t kSetProp2 = 0x00020001;
constexpr uint32_t kGetProp = 0x00020002;
constexpr size_t kValueMax = 91; // PROP_VALUE_MAX less its terminating zero
constexpr uint32_t kMaxField = 64 * 1024;

// Replies of the property service other than 0 (success); the daemon only
// tells zero from non-zero.
enum PropStatus : uint32_t {
    kPropOk = 0,
    kPropBadRequest = 1,
    kPropValueTooLong = 2,
    kPropBadName = 3,
    kPropUnknownCommand = 4,
    kPropUnknownService = 5,
    kPropUnknownControl = 6,
};

const char *prop_status_text(uint32_t s)
{
    switch (s) {
    case kPropOk: return "ok";
    case kPropBadRequest: return "malformed request";
    case kPropValueTooLong: return "value longer than 91 bytes";
    case kPropBadName: return "invalid name";
    case kPropUnknownCommand: return "unknown command";
    case kPropUnknownService: return "no such service";
    case kPropUnknownControl: return "unknown control property";
    default: return "refused";
    }
}

constexpr char kPropSocket[] = "/dev/socket/property_service";
constexpr char kLogdSocket[] = "/dev/socket/logdw";

int64_t mono_ns()
{
    return wire::now().monotonic_ns;
}

std::string errno_text(const std::string &what)
{
    return what + ": " + strerror(errno);
}

void must(bool ok, const std::string &what)
{
    if (!ok)
        throw Error(errno_text(what));
}

void write_all(int fd, std::string_view s)
{
    while (!s.empty()) {
        ssize_t n = write(fd, s.data(), s.size());
        if (n < 0 && errno == EINTR)
            continue;
        must(n >= 0, "write");
        s.remove_prefix(static_cast<size_t>(n));
    }
}

void write_file(const std::string &path, std::string_view bytes, mode_t mode = 0644)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    must(fd >= 0, "open " + path);
    try {
        write_all(fd, bytes);
    } catch (...) {
        close(fd);
        throw;
    }
    close(fd);
}

std::optional<std::string> read_file_at(int dirfd, const std::string &path)
{
    int fd = openat(dirfd, path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return out;
}

void mkdir_p(const std::string &path, mode_t mode = 0755)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
                throw Error(errno_text("mkdir " + part));
        }
    }
}

// Reads exactly n bytes; false on end, error or timeout.
bool read_full(int fd, void *p, size_t n)
{
    auto *c = static_cast<char *>(p);
    while (n > 0) {
        ssize_t r = read(fd, c, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// A decimal number into buf without the C library, for use after fork.
size_t format_int(char *buf, long v)
{
    char tmp[24];
    size_t n = 0;
    bool neg = v < 0;
    unsigned long u = neg ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
        tmp[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    size_t k = 0;
    if (neg)
        buf[k++] = '-';
    while (n)
        buf[k++] = tmp[--n];
    return k;
}

struct Service {
    std::string name;
    ServiceOptions opt;
    std::string state; // empty until first started
    pid_t pid = 0;
    int64_t deadline = 0; // monotonic: SIGKILL when stopping, start again when restarting
    bool killed = false;
};

struct Job {
    pid_t pid = 0;
    int out = -1, err = -1;
    std::string outbuf, errbuf;
    bool running = true;
    ExitStatus exit;
    Timestamp started, ended;
};

class Init {
public:
    Init(const Options &o, int ctl) : opts_(o), ctl_(ctl) {}
    [[noreturn]] void run();

private:
    void setup();
    void setup_mounts();
    void load_persist();
    void save_persist();
    void open_sockets();

    uint32_t set_property(const std::string &name, const std::string &value);
    uint32_t control(bool start, const std::string &svc);
    void set_state(Service &s, const std::string &state, pid_t pid);
    void start_service(Service &s);
    pid_t fork_standin(const std::string &name, bool ignore_sigterm);
    void wake();

    void property_loop();
    void serve_property(int c);
    void logd_loop();

    void reap();
    void tick();
    int next_timeout_ms();
    void drain(Job &j);
    pid_t start_job(const std::vector<std::string> &argv, bool no_dac);
    void send_uevent(std::string_view bytes);
    std::vector<Process> ps();
    void handle(const std::string &req, Writer &w);
    template <class T, class F>
    void list_from(Writer &w, const std::deque<T> &v, uint32_t from, F put);

    const Options &opts_;
    int ctl_;
    int persist_dir_ = -1;
    std::string persist_name_;
    int proc_ = -1;
    bool proc_hidden_ = false;
    int prop_sock_ = -1, logd_sock_ = -1, nl_send_ = -1;
    int sigfd_ = -1, evfd_ = -1;
    unsigned seqnum_ = 2000;
    int null_fd_ = -1;

    std::mutex mu_;
    std::map<std::string, std::string> props_;
    std::map<std::string, Service> services_;
    std::deque<PropertyWrite> writes_;
    std::deque<PropertyRead> reads_;
    std::deque<ServiceEvent> svc_events_;
    std::deque<LogEntry> log_;
    std::atomic<int64_t> prop_delay_ms_{0};
    std::map<pid_t, std::unique_ptr<Job>> jobs_; // main thread only
};

// ---------------------------------------------------------------- set-up

void Init::setup()
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_NAME, "init");
    umask(022);
    // Whatever the caller had open stays out of the programs run inside.
    syscall(SYS_close_range, 3U, ~0U, 1U << 2 /* CLOSE_RANGE_CLOEXEC */);

    if (!opts_.persist_file.empty()) {
        std::string f = opts_.persist_file;
        size_t slash = f.rfind('/');
        std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : f.substr(0, slash));
        persist_name_ = slash == std::string::npos ? f : f.substr(slash + 1);
        mkdir_p(dir);
        // Held open so that the file stays reachable whatever is mounted later.
        persist_dir_ = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        must(persist_dir_ >= 0, "open " + dir);
    }

    setup_mounts();

    // A burst of log datagrams must not find logd's queue full; the limit is
    // per network namespace and taken when a socket is created.
    write_file("/proc/sys/net/unix/max_dgram_qlen", "100000\n");

    for (auto &[name, o] : opts_.services)
        services_[name] = Service{name, o, "", 0, 0, false};
    load_persist();
    for (auto &[k, v] : opts_.properties)
        props_[k] = v;
    prop_delay_ms_ = opts_.property_delay.count();

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    sigfd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    must(sigfd_ >= 0, "signalfd");
    signal(SIGPIPE, SIG_IGN);
    evfd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    must(evfd_ >= 0, "eventfd");
    null_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    must(null_fd_ >= 0, "open /dev/null");

    open_sockets();
}

void Init::setup_mounts()
{
    // Nothing mounted here may reach the host.
    must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make / private");

    must(mount("tmpfs", "/sys/class", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755,size=1m") == 0,
         "mount tmpfs on /sys/class");
    mkdir_p("/sys/class/android_usb/android0");
    mkdir_p("/sys/class/android_usb/f_serial");
    if (opts_.usb_state)
        write_file(std::string(Device::kStateFile), *opts_.usb_state);
    if (opts_.serial_port_num)
        write_file(std::string(Device::kPortsFile), *opts_.serial_port_num);

    // The host has no /dev/socket, and its /dev is not to be touched: the device
    // gets a /dev of its own with the few nodes programs expect.
    must(mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755,size=1m") == 0, "mount tmpfs on /dev");
    struct Node {
        const char *name;
        unsigned major, minor;
    };
    for (Node n : {Node{"null", 1, 3}, Node{"zero", 1, 5}, Node{"full", 1, 7}, Node{"random", 1, 8},
                   Node{"urandom", 1, 9}, Node{"tty", 5, 0}}) {
        std::string p = std::string("/dev/") + n.name;
        must(mknod(p.c_str(), S_IFCHR | 0666, makedev(n.major, n.minor)) == 0, "mknod " + p);
        chmod(p.c_str(), 0666);
    }
    symlink("/proc/self/fd", "/dev/fd");
    symlink("/proc/self/fd/0", "/dev/stdin");
    symlink("/proc/self/fd/1", "/dev/stdout");
    symlink("/proc/self/fd/2", "/dev/stderr");
    mkdir_p("/dev/shm", 01777);
    chmod("/dev/shm", 01777);
    mkdir_p("/dev/socket");
    must(mount("tmpfs", "/dev/socket", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755,size=64k") == 0,
         "mount tmpfs on /dev/socket");

    must(mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0, "mount /proc");
    // Kept so that ps works while /proc is hidden from the programs.
    proc_ = open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC);
    must(proc_ >= 0, "open /proc");
}

void Init::load_persist()
{
    if (persist_dir_ < 0)
        return;
    auto text = read_file_at(persist_dir_, persist_name_);
    if (!text)
        return;
    size_t pos = 0;
    while (pos < text->size()) {
        size_t nl = text->find('\n', pos);
        if (nl == std::string::npos)
            nl = text->size();
        std::string_view line(text->data() + pos, nl - pos);
        pos = nl + 1;
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string_view::npos)
            continue;
        std::string name = wire::unescape(line.substr(0, eq));
        if (name.rfind("persist.", 0) == 0)
            props_[name] = wire::unescape(line.substr(eq + 1));
    }
}

// Called with mu_ held.
void Init::save_persist()
{
    if (persist_dir_ < 0)
        return;
    std::string text = "# persist.* properties of a drovik-sim device\n";
    for (auto &[k, v] : props_)
        if (k.rfind("persist.", 0) == 0)
            text += wire::escape(k) + "=" + wire::escape(v) + "\n";
    std::string tmp = "." + persist_name_ + ".tmp";
    int fd = openat(persist_dir_, tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "sim-init: cannot write the persist file: %s\n", strerror(errno));
        return;
    }
    try {
        write_all(fd, text);
    } catch (const Error &e) {
        fprintf(stderr, "sim-init: %s\n", e.what());
    }
    close(fd);
    if (renameat(persist_dir_, tmp.c_str(), persist_dir_, persist_name_.c_str()) != 0)
        fprintf(stderr, "sim-init: cannot replace the persist file: %s\n", strerror(errno));
}

int unix_socket(int type, const char *path)
{
    int s = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    must(s >= 0, "socket");
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path, sizeof a.sun_path - 1);
    must(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0, std::string("bind ") + path);
    chmod(path, 0666);
    return s;
}

void Init::open_sockets()
{
    if (opts_.property_service) {
        prop_sock_ = unix_socket(SOCK_STREAM, kPropSocket);
        must(listen(prop_sock_, 128) == 0, "listen");
    }
    if (opts_.logd) {
        logd_sock_ = unix_socket(SOCK_DGRAM, kLogdSocket);
        int one = 1;
        setsockopt(logd_sock_, SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
        int size = 8 << 20;
        setsockopt(logd_sock_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    }
    nl_send_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    must(nl_send_ >= 0, "netlink socket");
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    // Port ids 0 and the caller's pid are bound explicitly by programs such
    // as the daemon: take one from the kernel's automatic range instead, which
    // starts at init's own pid (1) and so never collides with them.
    must(bind(nl_send_, reinterpret_cast<sockaddr *>(&self), sizeof self) == 0, "bind netlink");
}

// ---------------------------------------------------------------- properties and services

// Called with mu_ held. Applies one write as init does.
uint32_t Init::set_property(const std::string &name, const std::string &value)
{
    if (name.empty())
        return kPropBadName;
    if (value.size() > kValueMax)
        return kPropValueTooLong;
    if (name == "ctl.start")
        return control(true, value);
    if (name == "ctl.stop")
        return control(false, value);
    if (name.rfind("ctl.", 0) == 0)
        return kPropUnknownControl;
    props_[name] = value;
    if (name.rfind("persist.", 0) == 0)
        save_persist();
    return kPropOk;
}

// Called with mu_ held. The state changes (fork, SIGTERM) are made before
// the writer gets its reply.
uint32_t Init::control(bool start, const std::string &svc)
{
    auto it = services_.find(svc);
    if (it == services_.end())
        return kPropUnknownService;
    Service &s = it->second;
    if (start) {
        if (s.pid == 0)
            start_service(s);
    } else if (s.state == "restarting") {
        set_state(s, "stopped", 0);
    } else if (s.pid != 0 && s.state == "running") {
        ::kill(s.pid, SIGTERM);
        s.deadline = mono_ns() + std::chrono::nanoseconds(opts_.stop_grace).count();
        s.killed = false;
        set_state(s, "stopping", s.pid);
        wake();
    }
    return kPropOk;
}

void Init::set_state(Service &s, const std::string &state, pid_t pid)
{
    s.state = state;
    props_["init.svc." + s.name] = state;
    svc_events_.push_back({s.name, state, pid, wire::now()});
}

pid_t Init::fork_standin(const std::string &name, bool ignore_sigterm)
{
    const char *cname = name.c_str();
    // The stand-in reports when its name and signal dispositions are set, so
    // that whoever asked for it (a ctl.start) sees it complete when answered.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return -1;
    pid_t p = fork();
    if (p == 0) {
        sigset_t none;
        sigemptyset(&none);
        struct sigaction sa {};
        sa.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &sa, nullptr);
        sa.sa_handler = ignore_sigterm ? SIG_IGN : SIG_DFL;
        sigaction(SIGTERM, &sa, nullptr);
        prctl(PR_SET_NAME, cname);
        (void)!write(ready[1], "", 1);
        syscall(SYS_close_range, 3U, ~0U, 0U);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (;;)
            pause();
    }
    close(ready[1]);
    if (p > 0) {
        char c;
        while (read(ready[0], &c, 1) < 0 && errno == EINTR) {
        }
    }
    close(ready[0]);
    return p;
}

void Init::start_service(Service &s)
{
    pid_t p = fork_standin(s.name, s.opt.ignore_sigterm);
    if (p < 0) {
        fprintf(stderr, "sim-init: cannot start %s: %s\n", s.name.c_str(), strerror(errno));
        return;
    }
    s.pid = p;
    s.killed = false;
    s.deadline = 0;
    set_state(s, "running", p);
}

void Init::wake()
{
    uint64_t one = 1;
    (void)!write(evfd_, &one, sizeof one);
}

void Init::property_loop()
{
    for (;;) {
        int c = accept4(prop_sock_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno != EINTR)
                usleep(1000);
            continue;
        }
        serve_property(c);
        close(c);
    }
}

void Init::serve_property(int c)
{
    // A writer that stops half-way must not hold the service for long.
    timeval tv{2, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ucred cred{};
    socklen_t cl = sizeof cred;
    getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &cl);

    auto reply = [&](const std::string &bytes) { (void)!send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL); };
    auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), sizeof v); };
    auto read_str = [&](std::string &s) {
        uint32_t n;
        if (!read_full(c, &n, sizeof n) || n > kMaxField)
            return false;
        s.resize(n);
        return n == 0 || read_full(c, s.data(), n);
    };

    uint32_t cmd;
    if (!read_full(c, &cmd, sizeof cmd))
        return;
    Timestamp t = wire::now();
    if (cmd == kSetProp2) {
        std::string name, value;
        if (!read_str(name) || !read_str(value)) {
            reply(u32(kPropBadRequest));
            return;
        }
        if (int64_t d = prop_delay_ms_.load(); d > 0)
            std::this_thread::sleep_for(Millis(d));
        uint32_t st;
        {
            std::lock_guard lk(mu_);
            st = set_property(name, value);
            writes_.push_back({name, value, st, cred.pid, t});
        }
        reply(u32(st));
    } else if (cmd == kGetProp) {
        std::string name;
        if (!read_str(name))
            return;
        if (int64_t d = prop_delay_ms_.load(); d > 0)
            std::this_thread::sleep_for(Millis(d));
        std::string value;
        {
            std::lock_guard lk(mu_);
            auto it = props_.find(name);
            if (it != props_.end())
                value = it->second.substr(0, kValueMax);
            reads_.push_back({name, value, cred.pid, t});
        }
        reply(u32(static_cast<uint32_t>(value.size())) + value);
    } else {
        reply(u32(kPropUnknownCommand));
    }
}

// ---------------------------------------------------------------- logd and uevents

void Init::logd_loop()
{
    std::string buf(256 * 1024, '\0');
    for (;;) {
        iovec iov{buf.data(), buf.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        ssize_t n = recvmsg(logd_sock_, &m, 0);
        if (n < 0)
            continue;
        LogEntry e = parse_log_datagram(std::string_view(buf.data(), static_cast<size_t>(n)));
        e.received = wire::now();
        for (cmsghdr *h = CMSG_FIRSTHDR(&m); h; h = CMSG_NXTHDR(&m, h)) {
            if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_CREDENTIALS) {
                ucred cr;
                memcpy(&cr, CMSG_DATA(h), sizeof cr);
                e.pid = cr.pid;
                e.uid = cr.uid;
            }
        }
        std::lock_guard lk(mu_);
        log_.push_back(std::move(e));
    }
}

void Init::send_uevent(std::string_view bytes)
{
    sockaddr_nl dst{};
    dst.nl_family = AF_NETLINK;
    dst.nl_groups = 1;
    must(sendto(nl_send_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&dst), sizeof dst) >= 0,
         "send uevent");
}

// ---------------------------------------------------------------- children

void Init::reap()
{
    signalfd_siginfo si;
    while (read(sigfd_, &si, sizeof si) == sizeof si) {
    }
    for (;;) {
        int st;
        pid_t p = waitpid(-1, &st, WNOHANG);
        if (p <= 0)
            break;
        ExitStatus ex;
        ex.exited = WIFEXITED(st);
        ex.code = ex.exited ? WEXITSTATUS(st) : 0;
        ex.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
        if (auto it = jobs_.find(p); it != jobs_.end()) {
            Job &j = *it->second;
            j.running = false;
            j.exit = ex;
            j.ended = wire::now();
            // The program is gone, so whatever it wrote is already in the pipes.
            drain(j);
            continue;
        }
        std::lock_guard lk(mu_);
        for (auto &[name, s] : services_) {
            if (s.pid != p)
                continue;
            s.pid = 0;
            if (s.state == "stopping" || s.opt.oneshot) {
                set_state(s, "stopped", p);
            } else {
                s.deadline = mono_ns() + std::chrono::nanoseconds(opts_.restart_delay).count();
                set_state(s, "restarting", p);
            }
        }
    }
}

void Init::tick()
{
    std::lock_guard lk(mu_);
    int64_t t = mono_ns();
    for (auto &[name, s] : services_) {
        if (s.state == "stopping" && !s.killed && s.pid != 0 && t >= s.deadline) {
            ::kill(s.pid, SIGKILL);
            s.killed = true;
        } else if (s.state == "restarting" && s.pid == 0 && t >= s.deadline) {
            start_service(s);
        }
    }
}

int Init::next_timeout_ms()
{
    std::lock_guard lk(mu_);
    int64_t t = mono_ns();
    int64_t best = 1000;
    for (auto &[name, s] : services_) {
        bool pending = (s.state == "stopping" && !s.killed && s.pid != 0) || (s.state == "restarting" && s.pid == 0);
        if (pending)
            best = std::min<int64_t>(best, std::max<int64_t>(0, (s.deadline - t + 999999) / 1000000));
    }
    return static_cast<int>(best);
}

void Init::drain(Job &j)
{
    char buf[65536];
    for (int *fd : {&j.out, &j.err}) {
        std::string &dst = fd == &j.out ? j.outbuf : j.errbuf;
        while (*fd >= 0) {
            ssize_t n = read(*fd, buf, sizeof buf);
            if (n > 0) {
                dst.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // A child of the program may still hold the pipe open: keep it for later.
            if (n < 0 && errno == EAGAIN)
                break;
            close(*fd);
            *fd = -1;
        }
    }
}

std::string find_program(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = getenv("PATH");
    std::string p = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= p.size()) {
        size_t c = p.find(':', pos);
        if (c == std::string::npos)
            c = p.size();
        std::string cand = (c == pos ? std::string(".") : p.substr(pos, c - pos)) + "/" + name;
        if (access(cand.c_str(), X_OK) == 0)
            return cand;
        pos = c + 1;
    }
    return name;
}

pid_t Init::start_job(const std::vector<std::string> &argv, bool no_dac)
{
    if (argv.empty())
        throw Error("empty command");
    std::string path = find_program(argv[0]);
    if (access(path.c_str(), X_OK) != 0)
        throw Error(errno_text("cannot execute " + path));
    std::vector<char *> args;
    for (auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    char failmsg[512];
    size_t fl = static_cast<size_t>(snprintf(failmsg, sizeof failmsg - 32, "cannot execute %s: errno ", path.c_str()));
    int out[2], err[2];
    must(pipe2(out, O_CLOEXEC) == 0, "pipe");
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw Error(errno_text("pipe"));
    }
    int nullfd = null_fd_;
    pid_t p = fork();
    if (p == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction sa {};
        sa.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &sa, nullptr);
        if (no_dac) {
            prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
            prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
        }
        dup2(nullfd, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(path.c_str(), args.data(), environ);
        fl += format_int(failmsg + fl, errno);
        failmsg[fl++] = '\n';
        (void)!write(2, failmsg, fl);
        _exit(127);
    }
    int e = errno;
    close(out[1]);
    close(err[1]);
    if (p < 0) {
        close(out[0]);
        close(err[0]);
        errno = e;
        throw Error(errno_text("fork"));
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    auto j = std::make_unique<Job>();
    j->pid = p;
    j->out = out[0];
    j->err = err[0];
    j->started = wire::now();
    jobs_[p] = std::move(j);
    return p;
}

std::vector<Process> Init::ps()
{
    std::vector<Process> out;
    int dfd = openat(proc_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return out;
    DIR *d = fdopendir(dfd);
    if (!d) {
        close(dfd);
        return out;
    }
    while (dirent *de = readdir(d)) {
        if (de->d_name[0] < '1' || de->d_name[0] > '9')
            continue;
        auto stat = read_file_at(proc_, std::string(de->d_name) + "/stat");
        if (!stat)
            continue;
        // "pid (name) state ppid ...": the name may itself hold spaces and parentheses.
        size_t lp = stat->find('('), rp = stat->rfind(')');
        if (lp == std::string::npos || rp == std::string::npos || rp + 4 > stat->size())
            continue;
        Process p;
        p.pid = atoi(de->d_name);
        p.name = stat->substr(lp + 1, rp - lp - 1);
        p.state = (*stat)[rp + 2];
        p.ppid = atoi(stat->c_str() + rp + 4);
        out.push_back(p);
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const Process &a, const Process &b) { return a.pid < b.pid; });
    return out;
}

// ---------------------------------------------------------------- control channel

template <class T, class F>
void Init::list_from(Writer &w, const std::deque<T> &v, uint32_t from, F put)
{
    Writer items;
    uint32_t n = 0;
    for (size_t i = from; i < v.size() && items.size() < wire::kChunk; ++i, ++n)
        put(items, v[i]);
    w.u32(n).raw(items.data());
}

void Init::handle(const std::string &req, Writer &w)
{
    Reader r(req);
    auto op = static_cast<Op>(r.u32());
    switch (op) {
    case Op::kSetProp: {
        std::string name = r.str(), value = r.str();
        uint32_t st;
        {
            std::lock_guard lk(mu_);
            st = set_property(name, value);
        }
        if (st != kPropOk)
            throw Error("setprop " + name + ": refused (" + prop_status_text(st) + ")");
        w.u32(wire::kOk);
        break;
    }
    case Op::kGetProp: {
        std::string name = r.str();
        std::lock_guard lk(mu_);
        auto it = props_.find(name);
        w.u32(wire::kOk).u32(it != props_.end()).str(it != props_.end() ? it->second : "");
        break;
    }
    case Op::kWriteFile: {
        std::string path = r.str(), bytes = r.str();
        write_file(path, bytes);
        w.u32(wire::kOk);
        break;
    }
    case Op::kRemoveFile: {
        std::string path = r.str();
        must(unlink(path.c_str()) == 0 || errno == ENOENT, "remove " + path);
        w.u32(wire::kOk);
        break;
    }
    case Op::kReadFile: {
        std::string path = r.str();
        // /proc through the descriptor kept at boot, so that it reads the same while hidden.
        bool in_proc = path.rfind("/proc/", 0) == 0;
        auto s = in_proc ? read_file_at(proc_, path.substr(6)) : read_file_at(AT_FDCWD, path);
        w.u32(wire::kOk).u32(s.has_value()).str(s.value_or(""));
        break;
    }
    case Op::kSendUevent:
        send_uevent(r.str());
        w.u32(wire::kOk);
        break;
    case Op::kUsbState: {
        std::string word = r.str();
        write_file(std::string(Device::kStateFile), word + "\n");
        send_uevent(Device::usb_uevent(word, seqnum_++));
        w.u32(wire::kOk);
        break;
    }
    case Op::kLog: {
        uint32_t from = r.u32();
        std::lock_guard lk(mu_);
        w.u32(wire::kOk);
        list_from(w, log_, from, [](Writer &x, const LogEntry &e) { wire::put_entry(x, e); });
        break;
    }
    case Op::kWrites: {
        uint32_t from = r.u32();
        std::lock_guard lk(mu_);
        w.u32(wire::kOk);
        list_from(w, writes_, from, [](Writer &x, const PropertyWrite &p) {
            x.str(p.name).str(p.value).u32(p.status).u32(static_cast<uint32_t>(p.pid)).stamp(p.time);
        });
        break;
    }
    case Op::kReads: {
        uint32_t from = r.u32();
        std::lock_guard lk(mu_);
        w.u32(wire::kOk);
        list_from(w, reads_, from, [](Writer &x, const PropertyRead &p) {
            x.str(p.name).str(p.value).u32(static_cast<uint32_t>(p.pid)).stamp(p.time);
        });
        break;
    }
    case Op::kServiceEvents: {
        uint32_t from = r.u32();
        std::lock_guard lk(mu_);
        w.u32(wire::kOk);
        list_from(w, svc_events_, from, [](Writer &x, const ServiceEvent &e) {
            x.str(e.service).str(e.state).u32(static_cast<uint32_t>(e.pid)).stamp(e.time);
        });
        break;
    }
    case Op::kServices: {
        std::lock_guard lk(mu_);
        w.u32(wire::kOk).u32(static_cast<uint32_t>(services_.size()));
        for (auto &[name, s] : services_)
            w.str(name).str(s.state).u32(static_cast<uint32_t>(s.pid));
        break;
    }
    case Op::kServiceOptions: {
        std::string name = r.str();
        ServiceOptions o;
        o.ignore_sigterm = r.u32() != 0;
        o.oneshot = r.u32() != 0;
        std::lock_guard lk(mu_);
        auto it = services_.find(name);
        if (it == services_.end())
            throw Error("no such service: " + name);
        it->second.opt = o;
        w.u32(wire::kOk);
        break;
    }
    case Op::kPropertyDelay:
        prop_delay_ms_ = r.i64();
        w.u32(wire::kOk);
        break;
    case Op::kPs: {
        auto v = ps();
        w.u32(wire::kOk).u32(static_cast<uint32_t>(v.size()));
        for (auto &p : v)
            w.u32(static_cast<uint32_t>(p.pid)).u32(static_cast<uint32_t>(p.ppid)).u32(uint8_t(p.state)).str(p.name);
        break;
    }
    case Op::kSpawnNamed: {
        std::string name = r.str();
        bool ign = r.u32() != 0;
        pid_t p = fork_standin(name, ign);
        must(p > 0, "fork");
        w.u32(wire::kOk).u32(static_cast<uint32_t>(p));
        break;
    }
    case Op::kKill: {
        auto pid = static_cast<pid_t>(r.u32());
        auto sig = static_cast<int>(r.u32());
        must(::kill(pid, sig) == 0, "kill " + std::to_string(pid));
        w.u32(wire::kOk);
        break;
    }
    case Op::kHideProc: {
        bool hide = r.u32() != 0;
        if (hide && !proc_hidden_) {
            must(mount("tmpfs", "/proc", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=000,size=4k") == 0,
                 "hide /proc");
            proc_hidden_ = true;
        } else if (!hide && proc_hidden_) {
            must(umount2("/proc", MNT_DETACH) == 0, "unhide /proc");
            proc_hidden_ = false;
        }
        w.u32(wire::kOk);
        break;
    }
    case Op::kStartJob: {
        bool no_dac = r.u32() != 0;
        uint32_t n = r.u32();
        std::vector<std::string> argv;
        for (uint32_t i = 0; i < n; ++i)
            argv.push_back(r.str());
        pid_t p = start_job(argv, no_dac);
        w.u32(wire::kOk).u32(static_cast<uint32_t>(p));
        break;
    }
    case Op::kJob: {
        auto pid = static_cast<pid_t>(r.u32());
        uint32_t out_off = r.u32(), err_off = r.u32();
        auto it = jobs_.find(pid);
        if (it == jobs_.end())
            throw Error("no such program: " + std::to_string(pid));
        Job &j = *it->second;
        drain(j);
        auto part = [](const std::string &s, uint32_t off) {
            return off >= s.size() ? std::string() : s.substr(off, wire::kChunk);
        };
        w.u32(wire::kOk).u32(j.running).u32(j.exit.exited).u32(static_cast<uint32_t>(j.exit.code));
        w.u32(static_cast<uint32_t>(j.exit.signal)).stamp(j.started).stamp(j.ended);
        w.str(part(j.outbuf, out_off)).str(part(j.errbuf, err_off));
        break;
    }
    default: throw Error("unknown request");
    }
}

void Init::run()
{
    try {
        setup();
    } catch (const std::exception &e) {
        Writer w;
        w.u32(static_cast<uint32_t>(Op::kFailed)).str(e.what());
        try {
            wire::send_msg(ctl_, w.data());
        } catch (...) {
        }
        _exit(1);
    }

    if (prop_sock_ >= 0)
        std::thread([this] { property_loop(); }).detach();
    if (logd_sock_ >= 0)
        std::thread([this] { logd_loop(); }).detach();

    {
        Writer w;
        w.u32(static_cast<uint32_t>(Op::kReady));
        wire::send_msg(ctl_, w.data());
    }

    std::string req;
    for (;;) {
        std::vector<pollfd> fds{{ctl_, POLLIN, 0}, {sigfd_, POLLIN, 0}, {evfd_, POLLIN, 0}};
        for (auto &[pid, j] : jobs_) {
            if (j->out >= 0)
                fds.push_back({j->out, POLLIN, 0});
            if (j->err >= 0)
                fds.push_back({j->err, POLLIN, 0});
        }
        int n = poll(fds.data(), fds.size(), next_timeout_ms());
        if (n < 0 && errno != EINTR)
            _exit(3);
        if (fds[1].revents)
            reap();
        if (fds[2].revents) {
            uint64_t v;
            (void)!read(evfd_, &v, sizeof v);
        }
        for (auto &[pid, j] : jobs_)
            drain(*j);
        tick();
        if (fds[0].revents) {
            bool more;
            try {
                more = wire::recv_msg(ctl_, req);
            } catch (...) {
                more = false;
            }
            if (!more)
                _exit(0); // the caller is gone: so is the device
            Writer w;
            try {
                handle(req, w);
            } catch (const std::exception &e) {
                w = Writer();
                w.u32(wire::kErr).str(e.what());
            }
            try {
                wire::send_msg(ctl_, w.data());
            } catch (...) {
                _exit(0);
            }
        }
    }
}

} // namespace

void run_init(const Options &opts, int ctl)
{
    Init init(opts, ctl);
    init.run();
}

} // namespace sim::detail
