#include "programs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channel/router.h"
#include "posix.h"

extern char **environ;

namespace sim::detail {
namespace {

// A decimal number into buf without the C library, for use after fork.
size_t format_int(char *buf, long v)
{
    char tmp[24];
    size_t n = 0;
    bool neg = v < 0;
    unsigned long u = neg ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
        tmp[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    size_t k = 0;
    if (neg)
        buf[k++] = '-';
    while (n)
        buf[k++] = tmp[--n];
    return k;
}

std::string find_program(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = getenv("PATH");
    std::string p = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= p.size()) {
        size_t c = p.find(':', pos);
        if (c == std::string::npos)
            c = p.size();
        std::string cand = (c == pos ? std::string(".") : p.substr(pos, c - pos)) + "/" + name;
        if (access(cand.c_str(), X_OK) == 0)
            return cand;
        pos = c + 1;
    }
    return name;
}

// Uid:, Gid: (the real ids, first) and Groups: of /proc/PID/status.
void ids(const std::string &status, Process &p)
{
    auto field = [&](const char *name) {
        size_t at = status.find(std::string("\n") + name);
        if (at == std::string::npos)
            return std::string();
        at += strlen(name) + 1;
        return status.substr(at, status.find('\n', at) - at);
    };
    p.uid = static_cast<uid_t>(strtoul(field("Uid:").c_str(), nullptr, 10));
    p.gid = static_cast<gid_t>(strtoul(field("Gid:").c_str(), nullptr, 10));
    std::string groups = field("Groups:");
    char *at = groups.data();
    for (;;) {
        char *end;
        unsigned long g = strtoul(at, &end, 10);
        if (end == at)
            break;
        p.groups.push_back(static_cast<gid_t>(g));
        at = end;
    }
}

} // namespace

Programs::Programs(int proc_dir) : proc_(proc_dir)
{
    null_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    must(null_ >= 0, "open /dev/null");
}

Programs::~Programs()
{
    close(null_);
}

void Programs::poll_fds(std::vector<pollfd> &fds) const
{
    for (auto &[pid, j] : jobs_) {
        if (j->out >= 0)
            fds.push_back({j->out, POLLIN, 0});
        if (j->err >= 0)
            fds.push_back({j->err, POLLIN, 0});
    }
}

void Programs::drain()
{
    for (auto &[pid, j] : jobs_)
        drain(*j);
}

void Programs::drain(Job &j)
{
    char buf[65536];
    for (int *fd : {&j.out, &j.err}) {
        std::string &dst = fd == &j.out ? j.outbuf : j.errbuf;
        while (*fd >= 0) {
            ssize_t n = read(*fd, buf, sizeof buf);
            if (n > 0) {
                dst.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // A child of the program may still hold the pipe open: keep it for later.
            if (n < 0 && errno == EAGAIN)
                break;
            close(*fd);
            *fd = -1;
        }
    }
}

bool Programs::runs(pid_t pid) const
{
    auto it = jobs_.find(pid);
    return it != jobs_.end() && it->second->running;
}

bool Programs::reaped(pid_t pid, const ExitStatus &exit, const Timestamp &when)
{
    auto it = jobs_.find(pid);
    if (it == jobs_.end())
        return false;
    Job &j = *it->second;
    j.running = false;
    j.exit = exit;
    j.ended = when;
    // The program is gone, so whatever it wrote is already in the pipes.
    drain(j);
    return true;
}

void Programs::routes(wire::Router &r)
{
    r.on<wire::StartJob>([this](const wire::StartJob &q) { return start(q.argv, q.without_dac); });
    r.on<wire::Job>([this](const wire::Job &q) { return status(q.pid, q.out_from, q.err_from, wire::kChunk); });
    r.on<wire::Ps>([this](const wire::Ps &) { return ps(); });
    r.on<wire::Kill>([this](const wire::Kill &q) { kill(q.pid, q.sig); });
}

pid_t Programs::start(const std::vector<std::string> &argv, bool without_dac, const Credentials *cred)
{
    if (argv.empty())
        throw Error("empty command");
    std::string path = find_program(argv[0]);
    if (access(path.c_str(), X_OK) != 0)
        throw Error(errno_text("cannot execute " + path));
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    char failmsg[512];
    size_t fl = static_cast<size_t>(snprintf(failmsg, sizeof failmsg - 32, "cannot execute %s: errno ", path.c_str()));
    int out[2], err[2];
    must(pipe2(out, O_CLOEXEC) == 0, "pipe");
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw Error(errno_text("pipe"));
    }
    int nullfd = null_;
    pid_t p = fork();
    if (p == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction sa {};
        sa.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &sa, nullptr);
        if (without_dac) {
            prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
            prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
        }
        dup2(nullfd, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!cred || (setpgid(0, 0) == 0 && take_credentials(*cred) == 0))
            execve(path.c_str(), args.data(), environ);
        fl += format_int(failmsg + fl, errno);
        failmsg[fl++] = '\n';
        (void)!write(2, failmsg, fl);
        _exit(127);
    }
    int e = errno;
    close(out[1]);
    close(err[1]);
    if (p < 0) {
        close(out[0]);
        close(err[0]);
        errno = e;
        throw Error(errno_text("fork"));
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    auto j = std::make_unique<Job>();
    j->pid = p;
    j->out = out[0];
    j->err = err[0];
    j->started = wire::now();
    jobs_[p] = std::move(j);
    return p;
}

JobStatus Programs::status(pid_t pid, size_t out_from, size_t err_from, size_t max)
{
    auto it = jobs_.find(pid);
    if (it == jobs_.end())
        throw Error("no such program: " + std::to_string(pid));
    Job &j = *it->second;
    drain(j);
    auto part = [&](const std::string &s, size_t from) {
        return from >= s.size() ? std::string() : s.substr(from, max);
    };
    JobStatus st;
    st.pid = pid;
    st.running = j.running;
    if (!j.running)
        st.exit = j.exit;
    st.out = part(j.outbuf, out_from);
    st.err = part(j.errbuf, err_from);
    st.started = j.started;
    st.ended = j.ended;
    return st;
}

std::vector<Process> Programs::ps() const
{
    std::vector<Process> out;
    int dfd = openat(proc_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return out;
    DIR *d = fdopendir(dfd);
    if (!d) {
        close(dfd);
        return out;
    }
    while (dirent *de = readdir(d)) {
        if (de->d_name[0] < '1' || de->d_name[0] > '9')
            continue;
        auto stat = read_file_at(proc_, std::string(de->d_name) + "/stat");
        if (!stat)
            continue;
        // "pid (name) state ppid ...": the name may itself hold spaces and parentheses.
        size_t lp = stat->find('('), rp = stat->rfind(')');
        if (lp == std::string::npos || rp == std::string::npos || rp + 4 > stat->size())
            continue;
        Process p;
        p.pid = atoi(de->d_name);
        p.name = stat->substr(lp + 1, rp - lp - 1);
        p.state = (*stat)[rp + 2];
        p.ppid = atoi(stat->c_str() + rp + 4);
        ids(read_file_at(proc_, std::string(de->d_name) + "/status").value_or(""), p);
        out.push_back(p);
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const Process &a, const Process &b) { return a.pid < b.pid; });
    return out;
}

void Programs::kill(pid_t pid, int sig)
{
    must(::kill(pid, sig) == 0, "kill " + std::to_string(pid));
}

} // namespace sim::detail
