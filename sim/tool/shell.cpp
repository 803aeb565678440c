// `drovik-sim shell`: a simulated device under a person's control, one
// command of the story language a line.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "commands.h"
#include "guard.h"
#include "lang/engine.h"

namespace tool {
namespace {

using namespace std::chrono_literals;

class Input {
public:
    // One line from stdin; false at end of input. While it waits, `idle` runs
    // every 200 ms.
    template <class F>
    bool line(std::string &out, F idle)
    {
        for (;;) {
            size_t nl = pending_.find('\n');
            if (nl != std::string::npos) {
                out = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return true;
            }
            if (eof_) {
                if (pending_.empty())
                    return false;
                out.swap(pending_);
                pending_.clear();
                return true;
            }
            pollfd p{0, POLLIN, 0};
            int r = poll(&p, 1, 200);
            if (r == 0 || (r < 0 && errno == EINTR)) {
                idle();
                continue;
            }
            char buf[65536];
            ssize_t n = read(0, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                eof_ = true;
            else
                pending_.append(buf, static_cast<size_t>(n));
        }
    }

private:
    std::string pending_;
    bool eof_ = false;
};

} // namespace

int run_shell(const Settings &s)
{
    sim::Options o = tool_device(s);
    o.persist_file = s.persist;
    o.start_daemon = false;
    bool tty = isatty(0);
    sim::Device d(o);
    DeviceGuard guard(d);
    Engine e(d, true, "");
    printf("drovik-sim shell: device up, cable attached (CONFIGURED, 1 serial port)\n");
    e.start_daemon();
    e.notice_daemon_end();
    printf("persist.* properties kept in %s; 'help' lists the commands\n", o.persist_file.c_str());
    flush();

    Input in;
    std::string line;
    auto prompt = [&] {
        if (tty) {
            printf("drovik-sim> ");
            flush();
        }
    };
    // The daemon's end is told as soon as it happens, not at the next command.
    auto idle = [&] {
        if (d.daemon_pid() <= 0 || e.viewer().end_shown() == d.daemon_pid() || e.daemon_running())
            return;
        if (tty)
            printf("\n");
        e.notice_daemon_end();
        prompt();
    };
    for (;;) {
        prompt();
        if (!in.line(line, idle))
            break;
        Parsed p = parse_line(line);
        if (auto *err = std::get_if<ParseError>(&p)) {
            printf("error: column %zu: %s\n", err->column, err->message.c_str());
            flush();
            continue;
        }
        auto *c = std::get_if<Command>(&p);
        if (!c)
            continue;
        if (e.run(*c) == Outcome::Quit)
            break;
        e.notice_daemon_end();
    }
    if (tty)
        printf("\n");
    printf("tearing the device down\n");
    flush();
    return 0;
}

} // namespace tool
