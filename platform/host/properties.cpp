// Android's property calls on a machine without Android: each call is one
// request to a property service on Android's own socket path, over a
// connection of its own, so calls from several threads never share state.

#include <cutils/properties.h>
#include <host_wire.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// As Android's own client does, a call waits for the service's answer for as
// long as it takes: a slow service is not an absent one, and its late answer
// is the answer. Only a missing socket or a refused connection counts as
// unreachable.
int connect_service()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, PROPERTY_SOCKET, sizeof addr.sun_path - 1);
    int r;
    do {
        r = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    } while (r != 0 && errno == EINTR);
    if (r != 0 && errno != EISCONN) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, iovec *iov, int iovcnt)
{
    while (iovcnt > 0) {
        msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<std::size_t>(iovcnt);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        auto left = static_cast<std::size_t>(n);
        while (iovcnt > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --iovcnt;
        }
        if (iovcnt > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return true;
}

bool recv_all(int fd, void *buf, std::size_t len)
{
    auto *p = static_cast<char *>(buf);
    while (len > 0) {
        ssize_t n = recv(fd, p, len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

iovec iov_of(const void *p, std::size_t len)
{
    return iovec{const_cast<void *>(p), len};
}

// The value of key, or -1 when the service cannot tell.
int request_value(const char *key, char *value)
{
    int fd = connect_service();
    if (fd < 0)
        return -1;
    const std::uint32_t cmd = PROP_MSG_GETPROP;
    const auto name_len = static_cast<std::uint32_t>(strlen(key));
    iovec iov[] = {iov_of(&cmd, 4), iov_of(&name_len, 4), iov_of(key, name_len)};
    std::uint32_t len = 0;
    bool ok = send_all(fd, iov, 3) && recv_all(fd, &len, 4) && len <= PROP_VALUE_LEN_MAX && recv_all(fd, value, len);
    close(fd);
    if (!ok)
        return -1;
    value[len] = '\0';
    return static_cast<int>(len);
}

} // namespace

int property_get(const char *key, char *value, const char *default_value)
{
    int len = key != nullptr ? request_value(key, value) : -1;
    if (len > 0)
        return len;
    std::size_t n = default_value != nullptr ? strnlen(default_value, PROP_VALUE_LEN_MAX) : 0;
    memcpy(value, default_value != nullptr ? default_value : "", n);
    value[n] = '\0';
    return static_cast<int>(n);
}

int property_set(const char *key, const char *value)
{
    if (key == nullptr || value == nullptr)
        return -1;
    const auto value_len = static_cast<std::uint32_t>(strlen(value));
    if (value_len > PROP_VALUE_LEN_MAX)
        return -1;
    int fd = connect_service();
    if (fd < 0)
        return -1;
    const std::uint32_t cmd = PROP_MSG_SETPROP2;
    const auto name_len = static_cast<std::uint32_t>(strlen(key));
    iovec iov[] = {iov_of(&cmd, 4), iov_of(&name_len, 4), iov_of(key, name_len), iov_of(&value_len, 4),
                   iov_of(value, value_len)};
    std::uint32_t status = 1;
    bool ok = send_all(fd, iov, 5) && recv_all(fd, &status, 4);
    close(fd);
    return ok && status == PROP_SUCCESS ? 0 : -1;
}
