#include "logd.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include <host_wire.h>

#include "channel/router.h"
#include "posix.h"

namespace sim {

LogEntry parse_log_datagram(std::string_view d)
{
    LogEntry e;
    e.raw = std::string(d);
    if (d.size() < LOG_HEADER_SIZE)
        return e;
    auto u16 = [&](size_t o) { return uint16_t(uint8_t(d[o]) | uint8_t(d[o + 1]) << 8); };
    auto u32 = [&](size_t o) { return uint32_t(u16(o)) | uint32_t(u16(o + 2)) << 16; };
    // The fields are read byte by byte so that no unaligned load is made.
    e.log_id = uint8_t(d[LOG_HEADER_ID]);
    e.tid = u16(LOG_HEADER_TID);
    e.sec = u32(LOG_HEADER_SEC);
    e.nsec = u32(LOG_HEADER_NSEC);
    if (d.size() == LOG_HEADER_SIZE)
        return e;
    e.priority = uint8_t(d[LOG_HEADER_PRIORITY]);
    std::string_view rest = d.substr(LOG_HEADER_SIZE);
    size_t z = rest.find('\0');
    if (z == std::string_view::npos) {
        e.tag = std::string(rest);
        return e;
    }
    e.tag = std::string(rest.substr(0, z));
    rest.remove_prefix(z + 1);
    size_t z2 = rest.find('\0');
    e.message = std::string(rest.substr(0, z2));
    e.well_formed = z2 != std::string_view::npos;
    return e;
}

namespace detail {
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
    sock_ = unix_socket(SOCK_DGRAM, LOGDW_SOCKET, 0222); // as Android's: anyone may write
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

void Logd::routes(wire::Router &r)
{
    r.on<wire::Log>([this](const wire::Log &q) { return entries_.chunk(q.from); });
    r.on<wire::PauseLogd>([this](const wire::PauseLogd &q) { pause(q.paused); });
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

} // namespace detail
} // namespace sim
