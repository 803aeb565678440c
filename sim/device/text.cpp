// Bytes and log entries as a person reads them.
#include <cstdio>
#include <ctime>

#include "sim/device.h"

namespace sim {

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

} // namespace sim
