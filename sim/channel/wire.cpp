// The control channel's messages and clock.
#include "wire.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace sim::wire {

Timestamp now()
{
    timespec r{}, m{};
    clock_gettime(CLOCK_REALTIME, &r);
    clock_gettime(CLOCK_MONOTONIC, &m);
    return {int64_t(r.tv_sec) * 1000000000 + r.tv_nsec, int64_t(m.tv_sec) * 1000000000 + m.tv_nsec};
}

void send_msg(int fd, const std::string &m)
{
    for (;;) {
        ssize_t n = send(fd, m.data(), m.size(), MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(m.size()))
            return;
        if (n < 0 && errno == EINTR)
            continue;
        throw Error(std::string("control channel: send failed: ") + (n < 0 ? strerror(errno) : "short"));
    }
}

bool recv_msg(int fd, std::string &out)
{
    for (;;) {
        char probe;
        ssize_t len = recv(fd, &probe, 1, MSG_PEEK | MSG_TRUNC);
        if (len < 0 && errno == EINTR)
            continue;
        if (len < 0)
            throw Error(std::string("control channel: ") + strerror(errno));
        if (len == 0) {
            // Every message carries at least its 4-byte head, so nothing means the end.
            out.clear();
            return false;
        }
        out.resize(static_cast<size_t>(len));
        ssize_t n = recv(fd, out.data(), out.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != len)
            throw Error("control channel: short receive");
        return true;
    }
}

} // namespace sim::wire
