#include "services.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "channel/router.h"
#include "posix.h"

namespace sim::detail {
namespace {

pid_t fork_standin(const std::string &name, bool ignore_sigterm)
{
    const char *cname = name.c_str();
    // The stand-in reports when its name and signal dispositions are set, so
    // that whoever asked for it (a ctl.start) sees it complete when answered.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return -1;
    pid_t p = fork();
    if (p == 0) {
        sigset_t none;
        sigemptyset(&none);
        struct sigaction sa {};
        sa.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &sa, nullptr);
        sa.sa_handler = ignore_sigterm ? SIG_IGN : SIG_DFL;
        sigaction(SIGTERM, &sa, nullptr);
        prctl(PR_SET_NAME, cname);
        (void)!write(ready[1], "", 1);
        syscall(SYS_close_range, 3U, ~0U, 0U);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (;;)
            pause();
    }
    close(ready[1]);
    if (p > 0) {
        char c;
        while (read(ready[0], &c, 1) < 0 && errno == EINTR) {
        }
    }
    close(ready[0]);
    return p;
}

} // namespace

ServiceControl::ServiceControl(const Options &opts, ServiceStatePort &states)
    : stop_grace_(opts.stop_grace), restart_delay_(opts.restart_delay), states_(states)
{
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    must(timer_ >= 0, "timerfd");
    for (auto &[name, o] : opts.services)
        services_[name] = Service{name, o, "", 0, 0, false};
}

ServiceControl::~ServiceControl()
{
    close(timer_);
}

bool ServiceControl::control(Control what, const std::string &name)
{
    std::lock_guard lk(mu_);
    auto it = services_.find(name);
    if (it == services_.end())
        return false;
    Service &s = it->second;
    if (what == Control::kStart) {
        if (s.pid == 0)
            start(s);
    } else if (s.state == "restarting") {
        set_state(s, "stopped", 0);
    } else if (s.pid != 0 && s.state == "running") {
        ::kill(s.pid, SIGTERM);
        s.deadline = mono_ns() + std::chrono::nanoseconds(stop_grace_).count();
        s.killed = false;
        set_state(s, "stopping", s.pid);
    }
    arm();
    return true;
}

bool ServiceControl::reaped(pid_t pid)
{
    std::lock_guard lk(mu_);
    for (auto &[name, s] : services_) {
        if (s.pid != pid)
            continue;
        s.pid = 0;
        if (s.state == "stopping" || s.opt.oneshot) {
            set_state(s, "stopped", pid);
        } else {
            s.deadline = mono_ns() + std::chrono::nanoseconds(restart_delay_).count();
            set_state(s, "restarting", pid);
        }
        arm();
        return true;
    }
    return false;
}

void ServiceControl::on_timer()
{
    uint64_t expirations;
    (void)!read(timer_, &expirations, sizeof expirations);
    std::lock_guard lk(mu_);
    int64_t t = mono_ns();
    for (auto &[name, s] : services_) {
        if (!s.pending() || t < s.deadline)
            continue;
        if (s.state == "stopping") {
            ::kill(s.pid, SIGKILL);
            s.killed = true;
        } else {
            start(s);
        }
    }
    arm();
}

// Called with mu_ held: the timer fires at the earliest deadline pending.
void ServiceControl::arm()
{
    int64_t next = 0;
    for (auto &[name, s] : services_)
        if (s.pending() && (next == 0 || s.deadline < next))
            next = s.deadline;
    itimerspec when{}; // all zero: disarmed
    when.it_value.tv_sec = static_cast<time_t>(next / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(next % 1000000000);
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
}

void ServiceControl::set_state(Service &s, const std::string &state, pid_t pid)
{
    s.state = state;
    states_.service_state(s.name, state);
    events_.add({s.name, state, pid, wire::now()});
}

void ServiceControl::start(Service &s)
{
    pid_t p = fork_standin(s.name, s.opt.ignore_sigterm);
    if (p < 0) {
        fprintf(stderr, "sim-init: cannot start %s: %s\n", s.name.c_str(), strerror(errno));
        return;
    }
    s.pid = p;
    s.killed = false;
    s.deadline = 0;
    set_state(s, "running", p);
}

void ServiceControl::routes(wire::Router &r)
{
    r.on<wire::Services>([this](const wire::Services &) { return list(); });
    r.on<wire::ServiceEvents>([this](const wire::ServiceEvents &q) { return events_.chunk(q.from); });
    r.on<wire::SetServiceOptions>([this](const wire::SetServiceOptions &q) { set_options(q.name, q.options); });
    r.on<wire::SpawnNamed>([this](const wire::SpawnNamed &q) { return spawn_standin(q.name, q.ignore_sigterm); });
}

std::vector<ServiceInfo> ServiceControl::list() const
{
    std::lock_guard lk(mu_);
    std::vector<ServiceInfo> out;
    for (auto &[name, s] : services_)
        out.push_back({name, s.state, s.pid});
    return out;
}

void ServiceControl::set_options(const std::string &name, ServiceOptions o)
{
    std::lock_guard lk(mu_);
    auto it = services_.find(name);
    if (it == services_.end())
        throw Error("no such service: " + name);
    it->second.opt = o;
}

pid_t ServiceControl::spawn_standin(const std::string &name, bool ignore_sigterm)
{
    pid_t p = fork_standin(name, ignore_sigterm);
    must(p > 0, "fork");
    return p;
}

} // namespace sim::detail
