// Pieces shared by the caller's side and init's side of a device.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

#include <host_wire.h>

#include "wire.h"

#ifndef DROVIK_DAEMON_PATH
#define DROVIK_DAEMON_PATH "drovik"
#endif

namespace sim {

namespace wire {

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

std::string escape(std::string_view s)
{
    // A persist file line is name=value, so an '=' inside either is escaped too.
    std::string o;
    for (char c : printable(s)) {
        if (c == '=') {
            o += "\\x3d";
        } else {
            o += c;
        }
    }
    return o;
}

std::string unescape(std::string_view s)
{
    std::string o;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            o += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'n') {
            o += '\n';
        } else if (c == 'r') {
            o += '\r';
        } else if (c == 'x' && i + 2 < s.size()) {
            std::string hex(s.substr(i + 1, 2));
            o += static_cast<char>(strtol(hex.c_str(), nullptr, 16));
            i += 2;
        } else {
            o += c;
        }
    }
    return o;
}

} // namespace wire

std::string threadtime(const LogEntry &e)
{
    time_t t = static_cast<time_t>(e.sec);
    tm lt{};
    localtime_r(&t, &lt);
    char when[32];
    strftime(when, sizeof when, "%m-%d %H:%M:%S", &lt);
    char p;
    switch (e.priority) {
    case 2: p = 'V'; break;
    case 3: p = 'D'; break;
    case 4: p = 'I'; break;
    case 5: p = 'W'; break;
    case 6: p = 'E'; break;
    case 7: p = 'F'; break;
    case 8: p = 'S'; break;
    default: p = '?'; break;
    }
    std::string_view msg = e.message;
    if (!msg.empty() && msg.back() == '\n')
        msg.remove_suffix(1);
    std::string out;
    for (;;) {
        size_t nl = msg.find('\n');
        std::string text(msg.substr(0, nl));
        int n = snprintf(nullptr, 0, "%s.%03d %5d %5d %c %-8s: %s\n", when, int(e.nsec / 1000000), int(e.pid),
                         int(e.tid), p, e.tag.c_str(), text.c_str());
        std::string line(static_cast<size_t>(n) + 1, '\0');
        snprintf(line.data(), line.size(), "%s.%03d %5d %5d %c %-8s: %s\n", when, int(e.nsec / 1000000), int(e.pid),
                 int(e.tid), p, e.tag.c_str(), text.c_str());
        line.pop_back();
        out += line;
        if (nl == std::string_view::npos)
            break;
        msg.remove_prefix(nl + 1);
    }
    return out;
}

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

std::string ExitStatus::describe() const
{
    if (exited)
        return "exit status " + std::to_string(code);
    return "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
}

std::vector<std::string> split_command(std::string_view text)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t')
            ++j;
        if (j > i)
            out.emplace_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

std::vector<std::string> default_daemon_command()
{
    const char *env = getenv("DROVIK_DAEMON_CMD");
    if (env && *env) {
        auto v = split_command(env);
        if (!v.empty())
            return v;
    }
    return {DROVIK_DAEMON_PATH};
}

std::string Device::uevent_datagram(std::initializer_list<std::string_view> fields)
{
    std::string d;
    for (auto f : fields) {
        d.append(f);
        d.push_back('\0');
    }
    return d;
}

std::string Device::usb_uevent(std::string_view state, unsigned seqnum)
{
    const std::string path(kUsbDevpath);
    return uevent_datagram({"change@" + path, "ACTION=change", "DEVPATH=" + path, "SUBSYSTEM=android_usb",
                            "USB_STATE=" + std::string(state), "SEQNUM=" + std::to_string(seqnum)});
}

std::string printable(std::string_view bytes, bool quotes)
{
    std::string o;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            o += "\\n";
        } else if (c == '\r') {
            o += "\\r";
        } else if (c == '\\' || (quotes && c == '"')) {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            o += b;
        } else {
            o += static_cast<char>(c);
        }
    }
    return o;
}

} // namespace sim
