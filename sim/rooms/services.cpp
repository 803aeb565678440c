#include "services.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "channel/router.h"
#include "posix.h"

namespace sim::detail {
namespace {

// The order in which the platform's init.rc starts classes; persistent
// properties are loaded before the first (the property service loads them
// as it is made). Another class is started by nothing at boot.
constexpr const char *kBootClasses[] = {"early_hal", "hal", "core", "main", "late_start"};

// init's pause between a gentle stop's SIGTERM and its SIGKILL, on its main loop.
constexpr auto kGentleKillPause = std::chrono::milliseconds(200);

pid_t fork_standin(const std::string &name, bool ignore_sigterm, const Credentials *cred)
{
    const char *cname = name.c_str();
    // The stand-in reports when its credentials, name and signal dispositions
    // are set, so that whoever asked for it sees it complete when answered.
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
        if (cred && (setpgid(0, 0) != 0 || take_credentials(*cred) != 0))
            _exit(127);
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

ServiceControl::ServiceControl(const Options &opts, RcScript rc, InitPropertiesPort &props, ProgramPort &programs,
                               int proc_dir)
    : opts_(opts), actions_(std::move(rc.actions)), props_(props), programs_(programs), proc_(proc_dir)
{
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    must(timer_ >= 0, "timerfd");
    for (auto &s : rc.services) {
        Service svc;
        svc.rc = s;
        if (auto it = opts.services.find(s.name); it != opts.services.end())
            svc.opt = it->second;
        services_[s.name] = std::move(svc);
    }
    for (auto &[name, o] : opts.services)
        if (!services_.count(name))
            throw Error("no service '" + name + "' in the device's .rc files");
    for (auto &a : actions_)
        for (auto &c : a.commands)
            if (c.verb != "setprop" && !services_.count(c.args[0]))
                throw Error(c.where + ": no service '" + c.args[0] + "'");
}

ServiceControl::~ServiceControl()
{
    close(timer_);
}

void ServiceControl::boot()
{
    for (const char *cls : kBootClasses) {
        for (auto &[name, s] : services_) {
            bool in = false;
            for (auto &c : s.rc.classes)
                in |= c == cls;
            // class_start passes over disabled services.
            if (!in || s.rc.disabled || (name == opts_.daemon_service && !opts_.start_daemon))
                continue;
            start(s);
        }
    }
    for (auto &a : actions_)
        if (auto v = props_.get(a.property); v && a.matches(a.property, *v))
            for (auto &c : a.commands)
                run(c);
}

bool ServiceControl::control(Control what, const std::string &name)
{
    auto it = services_.find(name);
    if (it == services_.end())
        return false;
    if (what == Control::kStart)
        start(it->second);
    else
        stop(it->second);
    arm();
    return true;
}

void ServiceControl::property_changed(const std::string &name, const std::string &value)
{
    for (auto &a : actions_)
        if (a.matches(name, value))
            for (auto &c : a.commands)
                run(c);
}

void ServiceControl::run(const RcCommand &c)
{
    if (c.verb == "setprop")
        props_.set_own(c.args[0], c.args[1]);
    else
        control(c.verb == "start" ? Control::kStart : Control::kStop, c.args[0]);
}

// Service::Start: nothing when a process runs (a stopping one too, which is
// then no longer disabled, so its end restarts it).
void ServiceControl::start(Service &s)
{
    s.disabled = false;
    s.restarting = false;
    if (s.pid != 0)
        return;
    pid_t p = -1;
    if (s.rc.name == opts_.daemon_service) {
        try {
            p = programs_.run(opts_.daemon_command, s.rc.cred);
        } catch (const std::exception &e) {
            fprintf(stderr, "sim-init: cannot start %s: %s\n", s.rc.name.c_str(), e.what());
            s.disabled = true;
            return;
        }
    } else {
        p = fork_standin(s.rc.name, s.opt.ignore_sigterm, &s.rc.cred);
    }
    if (p < 0) {
        fprintf(stderr, "sim-init: cannot start %s: %s\n", s.rc.name.c_str(), strerror(errno));
        return;
    }
    // As init's parent side: the group exists before anyone signals it.
    setpgid(p, p);
    s.pid = p;
    s.started = mono_ns();
    set_state(s, "running", p);
}

// Service::StopOrReset(SVC_DISABLED): with gentle_kill, SIGTERM to the group
// and, while the group has a live process, 200 ms on this loop; then SIGKILL.
// "stopped" comes when the process is reaped.
void ServiceControl::stop(Service &s)
{
    s.restarting = false;
    s.disabled = true;
    if (s.pid == 0) {
        set_state(s, "stopped", 0);
        return;
    }
    if (s.rc.gentle_kill) {
        ::kill(-s.pid, SIGTERM);
        if (group_alive(s.pid))
            std::this_thread::sleep_for(kGentleKillPause);
    }
    ::kill(-s.pid, SIGKILL);
    set_state(s, "stopping", s.pid);
}

// A process of the group that has not ended (a zombie has).
bool ServiceControl::group_alive(pid_t pgid) const
{
    int dfd = openat(proc_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = dfd < 0 ? nullptr : fdopendir(dfd);
    if (!d) {
        if (dfd >= 0)
            close(dfd);
        return true;
    }
    bool alive = false;
    while (dirent *de = readdir(d)) {
        if (de->d_name[0] < '1' || de->d_name[0] > '9')
            continue;
        auto stat = read_file_at(proc_, std::string(de->d_name) + "/stat");
        size_t rp = stat ? stat->rfind(')') : std::string::npos;
        char state = 0;
        int ppid = 0, pgrp = 0;
        if (rp != std::string::npos && sscanf(stat->c_str() + rp + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 &&
            pgrp == pgid && state != 'Z') {
            alive = true;
            break;
        }
    }
    closedir(d);
    return alive;
}

// Service::Reap.
bool ServiceControl::reaped(pid_t pid)
{
    for (auto &[name, s] : services_) {
        if (s.pid != pid)
            continue;
        ::kill(-pid, SIGKILL); // what is left of its group
        if (s.state == "stopping" && s.opt.dies_after.count() > 0) {
            s.dies_at = mono_ns() + std::chrono::nanoseconds(s.opt.dies_after).count();
            arm();
            return true;
        }
        ended(s);
        return true;
    }
    return false;
}

// Service::Reap, once the process has ended.
void ServiceControl::ended(Service &s)
{
    const pid_t pid = s.pid;
    s.pid = 0;
    s.dies_at = 0;
    if (s.rc.oneshot)
        s.disabled = true;
    if (s.disabled) {
        set_state(s, "stopped", pid);
    } else {
        s.restarting = true;
        set_state(s, "restarting", pid);
    }
    arm();
}

// The restart period counts from the start, as in init: a service that ran
// longer is started again at once. The daemon's service waits for a start
// unless Options::daemon_restarts.
int64_t ServiceControl::restart_at(const Service &s) const
{
    if (s.rc.name == opts_.daemon_service && !opts_.daemon_restarts)
        return 0;
    return s.started + std::chrono::nanoseconds(opts_.restart_delay).count();
}

void ServiceControl::on_timer()
{
    uint64_t expirations;
    (void)!read(timer_, &expirations, sizeof expirations);
    int64_t t = mono_ns();
    for (auto &[name, s] : services_) {
        if (s.dies_at != 0 && t >= s.dies_at)
            ended(s);
        if (s.restarting && restart_at(s) != 0 && t >= restart_at(s))
            start(s);
    }
    arm();
}

// The timer fires at the earliest restart due.
void ServiceControl::arm()
{
    int64_t next = 0;
    auto sooner = [&](int64_t at) {
        if (at != 0 && (next == 0 || at < next))
            next = at;
    };
    for (auto &[name, s] : services_) {
        if (s.restarting)
            sooner(restart_at(s));
        sooner(s.dies_at);
    }
    itimerspec when{}; // all zero: disarmed
    when.it_value.tv_sec = static_cast<time_t>(next / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(next % 1000000000);
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
}

void ServiceControl::set_state(Service &s, const std::string &state, pid_t pid)
{
    s.state = state;
    props_.set_own("init.svc." + s.rc.name, state);
    events_.add({s.rc.name, state, pid, wire::now()});
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
    std::vector<ServiceInfo> out;
    for (auto &[name, s] : services_)
        out.push_back({name, s.state, s.pid});
    return out;
}

void ServiceControl::set_options(const std::string &name, ServiceOptions o)
{
    auto it = services_.find(name);
    if (it == services_.end())
        throw Error("no such service: " + name);
    it->second.opt = o;
}

pid_t ServiceControl::spawn_standin(const std::string &name, bool ignore_sigterm)
{
    pid_t p = fork_standin(name, ignore_sigterm, nullptr);
    must(p > 0, "fork");
    return p;
}

} // namespace sim::detail
