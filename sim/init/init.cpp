// PID 1 of a simulated device: the rooms, the event loop and the control
// channel.
//
// Threads: the main thread runs the event loop here: it serves the control
// channel, reaps the children, reads the programs' output and fires the
// services' timer. The property service and logd each run a thread of their
// own (see their rooms); init shares nothing with them but the rooms'
// interfaces. Every request of the control channel is one method of one
// room, which registers it with the router.
#include "init.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "channel/router.h"
#include "rooms/filesystem.h"
#include "rooms/journal.h"
#include "rooms/logd.h"
#include "rooms/persist.h"
#include "rooms/posix.h"
#include "rooms/programs.h"
#include "rooms/properties.h"
#include "rooms/queue.h"
#include "rooms/rc.h"
#include "rooms/services.h"
#include "rooms/usb.h"

namespace sim::detail {
namespace {

using wire::Reader;
using wire::Writer;

// SIGCHLD as a descriptor. Blocked before any thread or child exists, so that
// every thread inherits the mask and no child's end is missed.
int sigchld_fd()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    must(fd >= 0, "signalfd");
    return fd;
}

class Init {
public:
    // Boots the rooms in the order the device needs them; throws the reason
    // it cannot.
    Init(const Options &opts, int ctl)
        : ctl_(ctl), sigchld_(sigchld_fd()), persist_(opts.persist_file), usb_(opts), props_(opts, persist_),
          logd_(opts), programs_(fs_.proc_dir()),
          services_(opts, load_rc(opts.rc_files), props_, programs_, fs_.proc_dir())
    {
        props_.routes(router_);
        logd_.routes(router_);
        services_.routes(router_);
        usb_.routes(router_);
        fs_.routes(router_);
        programs_.routes(router_);
    }
    [[noreturn]] void run();

private:
    void reap();
    void serve_request();
    void serve_queue();

    int ctl_;
    int sigchld_;
    PersistStore persist_; // before the mounts: it holds the file's folder open
    Filesystem fs_;
    UsbGadget usb_;
    PropertyService props_;
    Logd logd_;
    Programs programs_;
    InitQueue queue_;
    ServiceControl services_;
    wire::Router router_;
};

void Init::run()
{
    props_.start(queue_, services_);
    logd_.start();
    services_.boot();
    Writer ready;
    ready.u32(wire::kOk);
    wire::send_msg(ctl_, ready.data());

    for (;;) {
        std::vector<pollfd> fds{
            {ctl_, POLLIN, 0}, {sigchld_, POLLIN, 0}, {services_.timer_fd(), POLLIN, 0}, {queue_.fd(), POLLIN, 0}};
        programs_.poll_fds(fds);
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            _exit(3);
        if (fds[1].revents)
            reap();
        programs_.drain();
        if (fds[2].revents)
            services_.on_timer();
        if (fds[3].revents)
            serve_queue();
        if (fds[0].revents)
            serve_request();
    }
}

void Init::reap()
{
    signalfd_siginfo si;
    while (read(sigchld_, &si, sizeof si) == sizeof si) {
    }
    struct Ended {
        pid_t pid;
        ExitStatus exit;
        Timestamp when;
    };
    std::vector<Ended> ended;
    bool program_ended = false;
    for (;;) {
        int st;
        pid_t p = waitpid(-1, &st, WNOHANG);
        if (p <= 0)
            break;
        ExitStatus ex;
        ex.exited = WIFEXITED(st);
        ex.code = ex.exited ? WEXITSTATUS(st) : 0;
        ex.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
        ended.push_back({p, ex, wire::now()});
        program_ended |= programs_.runs(p);
    }
    // What an ended program sent logd is in logd's queue by now: have logd
    // take it before the end is told, so that a program seen ended has all
    // its lines in the log.
    if (program_ended)
        logd_.flush();
    // The daemon's service is a program and a service at once; anything
    // else of neither (a spare stand-in, an orphan) is reaped all the same.
    for (auto &e : ended) {
        programs_.reaped(e.pid, e.exit, e.when);
        services_.reaped(e.pid);
    }
}

// As init's loop: the triggers of the changes made since, then one ctl.*
// write, answered once handled.
void Init::serve_queue()
{
    for (auto &[name, value] : queue_.take_changes())
        services_.property_changed(name, value);
    if (auto c = queue_.take_control())
        props_.answer(*c, services_.control(control_of(c->name), c->value));
}

void Init::serve_request()
{
    std::string req;
    bool more;
    try {
        more = wire::recv_msg(ctl_, req);
    } catch (...) {
        more = false;
    }
    if (!more)
        _exit(0); // the caller is gone: so is the device
    Writer w;
    try {
        Reader r(req);
        w.u32(wire::kOk);
        router_.serve(r, w);
    } catch (const std::exception &e) {
        w = Writer();
        w.u32(wire::kErr).str(e.what());
    }
    try {
        wire::send_msg(ctl_, w.data());
    } catch (...) {
        _exit(0);
    }
}

} // namespace

void run_init(const Options &opts, int ctl)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_NAME, "init");
    umask(022);
    // Whatever the caller had open stays out of the programs run inside.
    syscall(SYS_close_range, 3U, ~0U, 1U << 2 /* CLOSE_RANGE_CLOEXEC */);
    signal(SIGPIPE, SIG_IGN);

    std::optional<Init> init;
    try {
        init.emplace(opts, ctl);
    } catch (const std::exception &e) {
        Writer w;
        w.u32(wire::kErr).str(e.what());
        try {
            wire::send_msg(ctl, w.data());
        } catch (...) {
        }
        _exit(1);
    }
    init->run();
}

} // namespace sim::detail
