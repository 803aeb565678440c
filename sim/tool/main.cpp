// drovik-sim: a simulated Android device running the drovik daemon.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tool.h"

namespace tool {

std::string quote(const std::string &s)
{
    return sim::printable(s);
}

size_t Viewer::show_log(const char *indent)
{
    const auto &l = d_.log();
    size_t n = 0;
    for (; log_seen_ < l.size(); ++log_seen_, ++n) {
        std::string lines = sim::threadtime(l[log_seen_]);
        size_t pos = 0;
        while (pos < lines.size()) {
            size_t nl = lines.find('\n', pos);
            fprintf(out_, "%s%s\n", indent, lines.substr(pos, nl - pos).c_str());
            pos = nl + 1;
        }
    }
    fflush(out_);
    return n;
}

size_t Viewer::show_all_log(const char *indent)
{
    log_seen_ = 0;
    return show_log(indent);
}

void Viewer::show_writes(const char *indent)
{
    auto w = d_.property_writes();
    for (; writes_seen_ < w.size(); ++writes_seen_) {
        const auto &p = w[writes_seen_];
        fprintf(out_, "%sproperty write by pid %d: %s = %s%s\n", indent, int(p.pid), p.name.c_str(),
                quote(p.value).c_str(), p.status ? " (refused)" : "");
    }
    fflush(out_);
}

void Viewer::show_services(const char *indent)
{
    fprintf(out_, "%sservices:", indent);
    for (auto &s : d_.services()) {
        if (s.state.empty())
            fprintf(out_, "  init.svc.%s=(unset, never started)", s.name.c_str());
        else if (s.pid)
            fprintf(out_, "  init.svc.%s=%s (pid %d)", s.name.c_str(), s.state.c_str(), int(s.pid));
        else
            fprintf(out_, "  init.svc.%s=%s", s.name.c_str(), s.state.c_str());
    }
    fprintf(out_, "\n");
    fflush(out_);
}

bool Viewer::show_daemon_end(const char *indent)
{
    if (d_.daemon_pid() <= 0)
        return false;
    auto st = d_.daemon_status();
    if (st.running)
        return false;
    if (!end_shown_) {
        end_shown_ = true;
        fprintf(out_, "%sthe daemon (pid %d) has ended: %s\n", indent, int(st.pid),
                st.exit ? st.exit->describe().c_str() : "?");
        if (!st.out.empty())
            fprintf(out_, "%sits standard output: %s\n", indent, quote(st.out).c_str());
        if (!st.err.empty())
            fprintf(out_, "%sits standard error:\n%s", indent, st.err.c_str());
        fflush(out_);
    }
    return true;
}

} // namespace tool

namespace {

void usage(FILE *f)
{
    fprintf(f, "usage: drovik-sim [options] demo|shell\n"
               "\n"
               "  demo    boot a simulated device with the USB cable attached, run the daemon and\n"
               "          walk through unplug, replug, the event-log switch, a restart request\n"
               "          (SIGUSR2) and an orderly stop (SIGTERM), showing the log as it goes\n"
               "  shell   the same device under your control, one command per line ('help')\n"
               "\n"
               "options:\n"
               "  --daemon \"CMD\"    the daemon's command, split at spaces, for example\n"
               "                    \"qemu-aarch64 -L /usr/aarch64-linux-gnu build-arm64/drovik\"\n"
               "                    (default: $DROVIK_DAEMON_CMD, else the drovik of this build)\n"
               "  --persist FILE    where persist.* properties are kept between boots (default:\n"
               "                    shell: $XDG_STATE_HOME/drovik-sim/persist.props, or\n"
               "                    ~/.local/state/drovik-sim/persist.props; demo: a fresh\n"
               "                    temporary file, so that every demo starts alike)\n"
               "  -h, --help        this text\n"
               "\n"
               "It must run as root: the device lives in namespaces of its own.\n");
}

} // namespace

int main(int argc, char **argv)
{
    tool::Settings s;
    s.daemon = sim::default_daemon_command();
    std::string cmd;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help" || a == "help") {
            usage(stdout);
            return 0;
        } else if ((a == "--daemon" || a == "--persist") && i + 1 < argc) {
            std::string v = argv[++i];
            if (a == "--daemon")
                s.daemon = sim::split_command(v);
            else
                s.persist = v;
        } else if (a.rfind("--daemon=", 0) == 0) {
            s.daemon = sim::split_command(a.substr(9));
        } else if (a.rfind("--persist=", 0) == 0) {
            s.persist = a.substr(10);
        } else if ((a == "demo" || a == "shell") && cmd.empty()) {
            cmd = a;
        } else {
            fprintf(stderr, "drovik-sim: unexpected argument '%s'\n\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (cmd.empty()) {
        usage(stderr);
        return 2;
    }
    if (s.daemon.empty()) {
        fprintf(stderr, "drovik-sim: the daemon command is empty\n");
        return 2;
    }
    if (geteuid() != 0) {
        fprintf(stderr,
                "drovik-sim: this must run as root: the simulated device creates mount, network and\n"
                "PID namespaces of its own (try: sudo %s %s)\n",
                argv[0], cmd.c_str());
        return 1;
    }
    const std::string &prog = s.daemon.front();
    if (prog.find('/') != std::string::npos && access(prog.c_str(), X_OK) != 0) {
        fprintf(stderr, "drovik-sim: cannot run the daemon '%s': %s\n", prog.c_str(), strerror(errno));
        fprintf(stderr, "(build it first, e.g. cmake -S . -B build && cmake --build build, or give --daemon)\n");
        return 1;
    }
    try {
        return cmd == "demo" ? tool::run_demo(s) : tool::run_shell(s);
    } catch (const sim::Error &e) {
        fprintf(stderr, "drovik-sim: %s\n", e.what());
        return 1;
    }
}
