#include "posix.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "channel/wire.h"

namespace sim::detail {

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

void write_file(const std::string &path, std::string_view bytes, mode_t mode)
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

void mkdir_p(const std::string &path, mode_t mode)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
                throw Error(errno_text("mkdir " + part));
        }
    }
}

int unix_socket(int type, const char *path, mode_t mode)
{
    int s = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    must(s >= 0, "socket");
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path, sizeof a.sun_path - 1);
    must(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0, std::string("bind ") + path);
    must(chmod(path, mode) == 0, std::string("chmod ") + path);
    return s;
}

int64_t mono_ns()
{
    return wire::now().monotonic_ns;
}

} // namespace sim::detail
