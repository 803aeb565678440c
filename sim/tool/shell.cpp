// `drovik-sim shell`: a simulated device under a person's control.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "tool.h"

namespace tool {
namespace {

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int)
{
    g_interrupted = 1;
}

const char kHelp[] = "commands:\n"
                     "  plug               attach the cable: gadget CONNECTED, then CONFIGURED\n"
                     "  unplug             pull the cable: gadget DISCONNECTED\n"
                     "  ports N            serial ports the gadget offers (0 to 255)\n"
                     "  setprop NAME VALUE set a property (the rest of the line is the value; \"\" for empty);\n"
                     "                     ctl.start / ctl.stop with mulgate or sprue control the services\n"
                     "  getprop NAME       show a property\n"
                     "  ps                 the device's processes\n"
                     "  services           the services' states (init.svc.*)\n"
                     "  restart            ask the daemon to restart mulgate (SIGUSR2)\n"
                     "  stop               stop the daemon (SIGTERM)\n"
                     "  start              start the daemon again once it has ended\n"
                     "  status             is the daemon running, or how did it end\n"
                     "  log                the daemon's log lines since the last 'log'\n"
                     "  log all            the whole log\n"
                     "  help               this text\n"
                     "  quit               tear the device down and leave (also end of input, Ctrl-C)\n";

std::string default_persist()
{
    const char *x = getenv("XDG_STATE_HOME");
    if (x && *x == '/')
        return std::string(x) + "/drovik-sim/persist.props";
    const char *h = getenv("HOME");
    return std::string(h && *h ? h : "/root") + "/.local/state/drovik-sim/persist.props";
}

// One line from stdin; false at end of input or on Ctrl-C.
bool read_line(std::string &pending, std::string &line)
{
    for (;;) {
        size_t nl = pending.find('\n');
        if (nl != std::string::npos) {
            line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return true;
        }
        if (g_interrupted)
            return false;
        char buf[4096];
        ssize_t n = read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (pending.empty())
                return false;
            line.swap(pending);
            pending.clear();
            return true;
        }
        pending.append(buf, static_cast<size_t>(n));
    }
}

class Shell {
public:
    Shell(sim::Device &d) : d_(d), v_(d) {}

    // Runs one command; false to leave.
    bool command(const std::string &line)
    {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd.empty() || cmd[0] == '#')
            return true;
        std::string rest;
        std::getline(in, rest);
        size_t b = rest.find_first_not_of(" \t");
        rest = b == std::string::npos ? "" : rest.substr(b);
        std::istringstream args(rest);
        std::vector<std::string> a;
        for (std::string w; args >> w;)
            a.push_back(w);
        auto want = [&](size_t n, const char *use) {
            if (a.size() == n)
                return true;
            printf("error: usage: %s\n", use);
            return false;
        };

        if (cmd == "quit" || cmd == "exit")
            return false;
        if (cmd == "help") {
            fputs(kHelp, stdout);
        } else if (cmd == "plug") {
            if (want(0, "plug")) {
                d_.plug();
                printf("cable attached: CONNECTED, then CONFIGURED\n");
            }
        } else if (cmd == "unplug") {
            if (want(0, "unplug")) {
                d_.unplug();
                printf("cable pulled: DISCONNECTED\n");
            }
        } else if (cmd == "ports") {
            if (want(1, "ports N")) {
                char *end = nullptr;
                long n = strtol(a[0].c_str(), &end, 10);
                if (a[0].empty() || *end || n < 0 || n > 255) {
                    printf("error: ports wants a number from 0 to 255, not '%s'\n", a[0].c_str());
                } else {
                    d_.set_ports(static_cast<int>(n));
                    printf("serial_port_num now reads %ld\n", n);
                }
            }
        } else if (cmd == "setprop") {
            size_t sp = rest.find_first_of(" \t");
            if (rest.empty() || sp == std::string::npos) {
                printf("error: usage: setprop NAME VALUE\n");
            } else {
                std::string name = rest.substr(0, sp);
                std::string value = rest.substr(rest.find_first_not_of(" \t", sp));
                if (value == "\"\"")
                    value.clear();
                d_.setprop(name, value);
                printf("%s = %s\n", name.c_str(), quote(value).c_str());
            }
        } else if (cmd == "getprop") {
            if (want(1, "getprop NAME")) {
                auto v = d_.getprop(a[0]);
                printf("%s\n", v ? quote(*v).c_str() : "(unset)");
            }
        } else if (cmd == "ps") {
            printf("  PID  PPID S NAME\n");
            for (auto &p : d_.ps())
                printf("%5d %5d %c %s\n", int(p.pid), int(p.ppid), p.state, p.name.c_str());
        } else if (cmd == "services") {
            v_.show_services("");
        } else if (cmd == "restart" || cmd == "stop") {
            if (want(0, cmd.c_str())) {
                if (!running()) {
                    printf("error: the daemon is not running ('start' starts it)\n");
                } else {
                    d_.signal_daemon(cmd == "restart" ? SIGUSR2 : SIGTERM);
                    printf("sent %s to the daemon (pid %d); 'log' shows what it does\n",
                           cmd == "restart" ? "SIGUSR2" : "SIGTERM", int(d_.daemon_pid()));
                }
            }
        } else if (cmd == "start") {
            if (running())
                printf("error: the daemon is already running (pid %d)\n", int(d_.daemon_pid()));
            else
                printf("daemon started, pid %d\n", int(d_.start_daemon()));
        } else if (cmd == "status") {
            if (!v_.show_daemon_end("")) {
                if (d_.daemon_pid() > 0)
                    printf("the daemon is running, pid %d\n", int(d_.daemon_pid()));
                else
                    printf("the daemon has not been started\n");
            }
        } else if (cmd == "log") {
            if (a.size() > 1 || (a.size() == 1 && a[0] != "all")) {
                printf("error: usage: log [all]\n");
            } else {
                size_t n = a.empty() ? v_.show_log("") : v_.show_all_log("");
                if (n == 0)
                    printf("(no new log lines)\n");
            }
        } else {
            printf("error: unknown command '%s' ('help' lists the commands)\n", cmd.c_str());
        }
        fflush(stdout);
        return true;
    }

private:
    bool running() { return d_.daemon_pid() > 0 && d_.daemon_status().running; }
    sim::Device &d_;
    Viewer v_;
};

} // namespace

int run_shell(const Settings &s)
{
    struct sigaction sa {};
    sa.sa_handler = on_interrupt; // no SA_RESTART: the read must return
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    sim::Options o;
    o.persist_file = s.persist.empty() ? default_persist() : s.persist;
    o.daemon_command = s.daemon;
    // Android's init waits about 5 s before it restarts a crashed service; a
    // restart request then sees its own SIGTERM end mulgate for good.
    o.restart_delay = std::chrono::seconds(5);
    bool tty = isatty(0);
    sim::Device d(o);
    // A cable event sent before the daemon's uevent socket is bound is lost;
    // the prompt comes once it listens, or after a few seconds regardless.
    d.wait_daemon_listening(std::chrono::seconds(5));
    printf("drovik-sim shell: device up, cable attached (CONFIGURED, 1 serial port), daemon pid %d\n",
           int(d.daemon_pid()));
    printf("persist.* properties kept in %s; 'help' lists the commands\n", o.persist_file.c_str());
    fflush(stdout);
    Shell sh(d);
    std::string pending, line;
    for (;;) {
        if (tty) {
            printf("drovik-sim> ");
            fflush(stdout);
        }
        if (!read_line(pending, line))
            break;
        try {
            if (!sh.command(line))
                break;
        } catch (const sim::Error &e) {
            printf("error: %s\n", e.what());
            fflush(stdout);
            if (!d.alive())
                return 1;
        }
        if (g_interrupted)
            break;
    }
    if (tty && !g_interrupted)
        printf("\n");
    printf("%stearing the device down\n", g_interrupted ? "\ninterrupted: " : "");
    fflush(stdout);
    d.shutdown();
    return 0;
}

} // namespace tool
