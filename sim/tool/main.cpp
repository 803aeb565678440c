// drovik-sim: a simulated Android device running the drovik daemon.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "commands.h"
#include "guard.h"
#include "lang/story.h"

namespace {

void usage(FILE *f)
{
    fprintf(f, "usage: drovik-sim [OPTIONS] demo|shell|run STORY [-- DAEMON [ARG...]]\n"
               "       drovik-sim [OPTIONS] bench [--json] [--samples N] | soak [N] [-- DAEMON [ARG...]]\n"
               "\n"
               "  demo       boot a simulated device with the USB cable attached, start the daemon and\n"
               "             walk through unplug, replug, the event-log switch, a restart request\n"
               "             (SIGUSR2) and an orderly stop (SIGTERM), showing the log as it goes; ends\n"
               "             with the steps that did and did not go as narrated (exit status 1 if any)\n"
               "  shell      the same device under your control, one command per line ('help')\n"
               "  run STORY  play a story file on a fresh device; stops at the first unmet\n"
               "             expectation with exit status 1 (the language: docs/stories.md)\n"
               "  bench      measure the daemon on fresh devices: uevent to log line and to ctl.stop\n"
               "             (p50, p99), a restart's length, idle CPU, RSS, threads, and the process\n"
               "             lookup against pidof at 1,000 extra processes; --json: as JSON;\n"
               "             --samples N: uevents timed (default 300) (docs/bench.md)\n"
               "  soak [N]   N uevents of every kind (default 3000) and restarts now and then, every\n"
               "             line counted; fails on lost lines or growth of descriptors, threads or\n"
               "             RSS\n"
               "\n"
               "options:\n"
               "  --daemon \"CMD\"    the daemon's command, split at spaces, for example\n"
               "                    \"qemu-aarch64 -L /usr/aarch64-linux-gnu build-arm64/drovik\"\n"
               "                    (default: $DROVIK_DAEMON_CMD, else the drovik of this build)\n"
               "  -- DAEMON ARG...  the same, taken word for word: everything after -- is the command\n"
               "  --persist FILE    where persist.* properties are kept between boots (default:\n"
               "                    shell: $XDG_STATE_HOME/drovik-sim/persist.props, or\n"
               "                    ~/.local/state/drovik-sim/persist.props; demo and run: a fresh\n"
               "                    temporary file, so that every run starts alike)\n"
               "  --rc FILE         the device's init reads FILE in place of the project's drovik.rc\n"
               "                    (the device's own services.rc is read as always)\n"
               "  -h, --help        this text\n"
               "\n"
               "It must run as root: the device lives in namespaces of its own.\n");
}

std::string default_persist()
{
    const char *x = getenv("XDG_STATE_HOME");
    std::string dir = x && *x == '/' ? std::string(x) + "/drovik-sim" : [] {
        const char *h = getenv("HOME");
        return std::string(h && *h ? h : "/root") + "/.local/state/drovik-sim";
    }();
    // The tool's own state folder: made here when it is missing.
    for (size_t i = 1; i <= dir.size(); ++i)
        if (i == dir.size() || dir[i] == '/')
            mkdir(dir.substr(0, i).c_str(), 0755);
    return dir + "/persist.props";
}

// The program's path as the device will run it: a name without a slash is
// looked up in PATH.
std::string find_program(const std::string &prog)
{
    if (prog.find('/') != std::string::npos)
        return access(prog.c_str(), X_OK) == 0 ? prog : "";
    const char *path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string d; std::getline(dirs, d, ':');) {
        std::string p = (d.empty() ? "." : d) + "/" + prog;
        struct stat st {};
        if (stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), X_OK) == 0)
            return p;
    }
    return "";
}

int bad(const std::string &text)
{
    fprintf(stderr, "drovik-sim: %s\n", text.c_str());
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--device-helper") == 0)
        return tool::device_helper(argc - 2, argv + 2);
    tool::install_guards();
    tool::Settings s;
    s.daemon = sim::default_daemon_command();
    std::string cmd, story_file;
    bool persist_given = false;
    tool::BenchSettings bench;
    long soak_events = 3000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help" || a == "help") {
            usage(stdout);
            return 0;
        } else if (a == "--") {
            s.daemon.assign(argv + i + 1, argv + argc);
            if (s.daemon.empty())
                return bad("nothing after --: give the daemon's command there");
            break;
        } else if (a == "--daemon" || a == "--persist" || a == "--rc") {
            if (i + 1 >= argc)
                return bad(a + " needs a value");
            std::string v = argv[++i];
            if (a == "--daemon")
                s.daemon = sim::split_command(v);
            else if (a == "--rc")
                s.rc = v;
            else
                s.persist = v, persist_given = true;
        } else if (a.rfind("--daemon=", 0) == 0) {
            s.daemon = sim::split_command(a.substr(9));
        } else if (a.rfind("--persist=", 0) == 0) {
            s.persist = a.substr(10);
            persist_given = true;
        } else if (a == "--json" && cmd == "bench") {
            bench.json = true;
        } else if (a == "--samples" && cmd == "bench") {
            if (i + 1 >= argc || atoi(argv[i + 1]) < 1 || atoi(argv[i + 1]) > 100000)
                return bad("--samples needs a number from 1 to 100000");
            bench.samples = atoi(argv[++i]);
        } else if ((a == "demo" || a == "shell" || a == "run" || a == "bench" || a == "soak") && cmd.empty()) {
            cmd = a;
            if (a == "run") {
                if (i + 1 >= argc)
                    return bad("run needs a story file");
                story_file = argv[++i];
            }
            if (a == "soak" && i + 1 < argc && argv[i + 1][0] != '-') {
                std::string n = argv[++i];
                char *end = nullptr;
                errno = 0;
                soak_events = strtol(n.c_str(), &end, 10);
                if (n.empty() || *end != '\0' || errno != 0 || soak_events < 1 || soak_events > 10000000)
                    return bad("soak needs a number of events from 1 to 10000000, not '" + sim::printable(n) + "'");
            }
        } else {
            fprintf(stderr, "drovik-sim: unexpected argument '%s'\n\n", sim::printable(a).c_str());
            usage(stderr);
            return 2;
        }
    }
    if (cmd.empty()) {
        usage(stderr);
        return 2;
    }
    if (s.daemon.empty() || s.daemon.front().empty())
        return bad("the daemon command is empty");
    if (persist_given && s.persist.empty())
        return bad("--persist needs a file name");
    if (!s.rc.empty()) {
        // The device's init reads it after moving into its own namespaces.
        char *full = realpath(s.rc.c_str(), nullptr);
        if (!full || access(full, R_OK) != 0)
            return bad("cannot read the .rc file " + s.rc + ": " + strerror(errno));
        s.rc = full;
        free(full);
    }

    // Everything that can be checked is checked before a device boots.
    std::optional<tool::Story> story;
    std::string story_name = story_file;
    if (cmd == "run") {
        std::ifstream f(story_file, std::ios::binary);
        struct stat st {};
        if (!f || (stat(story_file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
            return bad("cannot read the story " + story_file + ": " + (f ? "it is a folder" : strerror(errno)));
        std::stringstream text;
        text << f.rdbuf();
        story = tool::load_story(text.str(), story_file);
    } else if (cmd == "demo") {
        story_name = "demo.story";
        story = tool::load_story(tool::kDemoStory, story_name);
    }
    if ((cmd == "demo" || cmd == "run") && !story)
        return 2;
    if (cmd == "shell" && !persist_given)
        s.persist = default_persist();
    if (auto why = tool::persist_problem(s.persist); !why.empty())
        return bad("cannot keep persist.* properties in " + s.persist + ": " + why);
    if (geteuid() != 0) {
        fprintf(stderr,
                "drovik-sim: this must run as root: the simulated device creates mount, network and\n"
                "PID namespaces of its own (try: sudo %s %s)\n",
                argv[0], cmd.c_str());
        return 1;
    }
    if (find_program(s.daemon.front()).empty()) {
        const std::string &prog = s.daemon.front();
        fprintf(stderr, "drovik-sim: cannot run the daemon '%s': %s\n", sim::printable(prog).c_str(),
                prog.find('/') != std::string::npos ? strerror(errno) : "not found in PATH");
        fprintf(stderr, "(build it first, e.g. cmake -S . -B build && cmake --build build, or give --daemon)\n");
        return 1;
    }
    try {
        if (cmd == "shell")
            return tool::run_shell(s);
        if (cmd == "bench")
            return tool::run_bench(s, bench);
        if (cmd == "soak")
            return tool::run_soak(s, soak_events);
        return tool::run_story(*story, story_name, s, cmd == "demo" ? tool::Mode::Demo : tool::Mode::Run);
    } catch (const tool::OutputClosed &) {
        return 141; // as a program ended by SIGPIPE would
    } catch (const std::exception &e) {
        fprintf(stderr, "drovik-sim: %s\n", e.what());
        return 1;
    }
}
