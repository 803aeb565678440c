#include "logd.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include <host_wire.h>

#include "../wire.h"
#include "posix.h"

namespace sim::detail {
namespace {

ucred credentials(msghdr &m)
{
    ucred cr{};
    for (cmsghdr *h = CMSG_FIRSTHDR(&m); h; h = CMSG_NXTHDR(&m, h))
        if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_CREDENTIALS)
            memcpy(&cr, CMSG_DATA(h), sizeof cr);
    return cr;
}

} // namespace

Logd::Logd(const Options &opts)
{
    if (!opts.logd)
        return;
    // The limit is per network namespace and taken when a socket is made.
    write_file("/proc/sys/net/unix/max_dgram_qlen", std::to_string(opts.logd_queue) + "\n");
    sock_ = unix_socket(SOCK_DGRAM, LOGDW_SOCKET);
    int one = 1;
    setsockopt(sock_, SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
    int size = 8 << 20;
    setsockopt(sock_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);

    marker_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    must(marker_ >= 0, "socket");
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, LOGDW_SOCKET, sizeof a.sun_path - 1);
    must(connect(marker_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0, "connect logd");
    // A queue that stays full past this is a logd that does not move: flush gives up.
    timeval tv{1, 0};
    setsockopt(marker_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void Logd::start()
{
    if (sock_ >= 0)
        std::thread([this] { receive_loop(); }).detach();
}

void Logd::pause(bool paused)
{
    {
        std::lock_guard lk(gate_);
        paused_ = paused;
    }
    resumed_.notify_all();
    marked_.notify_all();
}

void Logd::flush()
{
    if (sock_ < 0)
        return;
    {
        std::lock_guard lk(gate_);
        if (paused_)
            return;
    }
    // Behind everything already queued: once logd has taken it, it has taken those.
    if (send(marker_, "", 0, MSG_NOSIGNAL) != 0)
        return;
    uint64_t mark = ++marks_sent_;
    std::unique_lock lk(gate_);
    marked_.wait_for(lk, 1s, [&] { return paused_ || marks_taken_ >= mark; });
}

void Logd::receive_loop()
{
    std::string buf(size_t{256} * 1024, '\0');
    for (;;) {
        iovec iov{buf.data(), buf.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        ssize_t n;
        int err;
        Timestamp received;
        {
            std::unique_lock lk(gate_);
            resumed_.wait(lk, [this] { return !paused_; });
            n = recvmsg(sock_, &m, MSG_DONTWAIT);
            err = errno;
            received = wire::now();
        }
        if (n < 0) {
            // Wait for the next datagram without taking it: a pause may come meanwhile.
            pollfd p{sock_, POLLIN, 0};
            if (err == EAGAIN)
                poll(&p, 1, -1);
            continue;
        }
        ucred cr = credentials(m);
        if (cr.pid == 1) {
            std::lock_guard lk(gate_);
            ++marks_taken_;
            marked_.notify_all();
            continue;
        }
        LogEntry e = parse_log_datagram(std::string_view(buf.data(), static_cast<size_t>(n)));
        e.received = received;
        e.pid = cr.pid;
        e.uid = cr.uid;
        entries_.add(std::move(e));
    }
}

} // namespace sim::detail
