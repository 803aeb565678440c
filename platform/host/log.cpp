// The Android log on a machine without Android: one datagram per message to
// logd's socket in logd's own layout, or, when there is no logd to take it,
// the lines logcat would show, on standard error.

#include <android/log.h>
#include <host_wire.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// One datagram to logd. A full queue makes the send wait until logd takes
// it, as a slow logd delays a device's caller without losing its line.
int send_to_logd(const unsigned char *header, const char *tag, const char *msg, std::size_t msg_len)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, LOGDW_SOCKET, sizeof addr.sun_path - 1);
    iovec iov[] = {
        {const_cast<unsigned char *>(header), LOG_HEADER_SIZE},
        {const_cast<char *>(tag), strlen(tag) + 1},
        {const_cast<char *>(msg), msg_len + 1},
    };
    msghdr mh = {};
    mh.msg_name = &addr;
    mh.msg_namelen = sizeof addr;
    mh.msg_iov = iov;
    mh.msg_iovlen = 3;
    ssize_t n;
    do {
        n = sendmsg(fd, &mh, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    int err = errno;
    close(fd);
    return n < 0 ? -err : static_cast<int>(n);
}

// No logd to take the line: its socket is missing or nobody listens on it.
bool unreachable(int err)
{
    return err == -ENOENT || err == -ECONNREFUSED || err == -ENOTSOCK;
}

char priority_letter(int prio)
{
    switch (prio) {
    case ANDROID_LOG_VERBOSE: return 'V';
    case ANDROID_LOG_DEBUG: return 'D';
    case ANDROID_LOG_INFO: return 'I';
    case ANDROID_LOG_WARN: return 'W';
    case ANDROID_LOG_ERROR: return 'E';
    case ANDROID_LOG_FATAL: return 'F';
    case ANDROID_LOG_SILENT: return 'S';
    default: return '?';
    }
}

bool write_all(int fd, const char *p, std::size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// logcat -v threadtime, one write per line so that lines of concurrent
// callers never mix.
int print_to_stderr(const timespec &now, int prio, const char *tag, std::string_view text)
{
    tm local = {};
    localtime_r(&now.tv_sec, &local);
    char stamp[32] = {};
    strftime(stamp, sizeof stamp, "%m-%d %H:%M:%S", &local);
    const int millis = static_cast<int>(now.tv_nsec / 1000000);
    const int pid = getpid();
    const int tid = gettid();
    const char letter = priority_letter(prio);
    int written = 0;
    for (;;) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        char out[64 + LOG_PAYLOAD_MAX];
        int n = snprintf(out, sizeof out, "%s.%03d %5d %5d %c %-8s: %.*s\n", stamp, millis, pid, tid, letter, tag,
                         static_cast<int>(line.size()), line.data());
        if (n < 0)
            return -EINVAL;
        auto len = static_cast<std::size_t>(n) < sizeof out ? static_cast<std::size_t>(n) : sizeof out - 1;
        if (!write_all(STDERR_FILENO, out, len))
            return -errno;
        written += static_cast<int>(len);
        if (nl == std::string_view::npos)
            break;
        text.remove_prefix(nl + 1);
        if (text.empty())
            break;
    }
    return written;
}

} // namespace

extern "C" int __android_log_print(int prio, const char *tag, const char *fmt, ...)
{
    if (tag == nullptr)
        tag = "";
    char msg[LOG_PAYLOAD_MAX] = {};
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    const std::size_t msg_len = strlen(msg);

    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned char header[LOG_HEADER_SIZE] = {};
    const auto tid = static_cast<std::uint16_t>(gettid());
    const auto sec = static_cast<std::uint32_t>(now.tv_sec);
    const auto nsec = static_cast<std::uint32_t>(now.tv_nsec);
    header[LOG_HEADER_ID] = 0;
    memcpy(header + LOG_HEADER_TID, &tid, 2);
    memcpy(header + LOG_HEADER_SEC, &sec, 4);
    memcpy(header + LOG_HEADER_NSEC, &nsec, 4);
    header[LOG_HEADER_PRIORITY] = static_cast<unsigned char>(prio);

    int r = send_to_logd(header, tag, msg, msg_len);
    if (!unreachable(r))
        return r;
    return print_to_stderr(now, prio, tag, std::string_view(msg, msg_len));
}
