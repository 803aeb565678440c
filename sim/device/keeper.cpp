// The caller's side of a simulated device, its process tree: boots it (a
// keeper holding the namespaces, and their init), sends its init one request
// at a time, and tears everything down.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "channel/wire.h"
#include "init/init.h"

namespace sim {

using wire::Reader;

namespace {

// What the keeper process reports about the namespaces: init's host pid, or
// the errno of the unshare that failed.
struct KeeperReport {
    int error;
    pid_t init_pid;
};

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
    // Init says it is up as it answers a request: kOk, or kErr and why not.
    Reader rd(m);
    uint32_t status = got && m.size() >= 4 ? rd.u32() : wire::kErr;
    if (status != wire::kOk) {
        std::string why = got && !rd.done() ? rd.str() : "init ended";
        shutdown();
        throw Error("the device could not boot: " + why);
    }
    daemon_pid_ = 0;
    log_.clear();
    if (opts_.start_daemon && follow_daemon() == 0) {
        shutdown();
        throw Error("init did not start the daemon's service " + opts_.daemon_service);
    }
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

} // namespace sim
