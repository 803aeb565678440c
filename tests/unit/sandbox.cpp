#include "sandbox.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sandbox {
namespace {

[[noreturn]] void die(const char *what)
{
    fprintf(stderr, "unit test sandbox: %s: %s (the tests need root and namespaces)\n", what, strerror(errno));
    _exit(1);
}

void must(int r, const char *what)
{
    if (r != 0)
        die(what);
}

// A tmpfs over /dev hides the host's device nodes from the tests' writes;
// the few nodes a test process needs are bound back in.
void private_dev()
{
    char keep[] = "/tmp/drovik-unit-dev-XXXXXX";
    if (mkdtemp(keep) == nullptr)
        die("mkdtemp");
    must(mount("/dev", keep, nullptr, MS_BIND | MS_REC, nullptr), "bind /dev");
    must(mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755"), "tmpfs /dev");
    for (const char *node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string dst = std::string("/dev/") + node;
        int fd = open(dst.c_str(), O_CREAT | O_WRONLY, 0666);
        if (fd >= 0)
            close(fd);
        mount((std::string(keep) + "/" + node).c_str(), dst.c_str(), nullptr, MS_BIND, nullptr);
    }
    symlink("/proc/self/fd", "/dev/fd");
    mkdir("/dev/socket", 0755);
    mkdir("/dev/shm", 01777);
    umount2(keep, MNT_DETACH);
    rmdir(keep);
}

void private_sys_class()
{
    must(mount("tmpfs", "/sys/class", "tmpfs", MS_NOSUID, "mode=0755"), "tmpfs /sys/class");
    mkdir("/sys/class/android_usb", 0755);
    mkdir("/sys/class/android_usb/android0", 0755);
    mkdir("/sys/class/android_usb/f_serial", 0755);
}

std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<std::size_t>(n));
    return s;
}

} // namespace

void enter(int /*argc*/, char ** /*argv*/)
{
    must(unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET), "unshare");
    pid_t child = fork();
    if (child < 0)
        die("fork");
    if (child > 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), "private /");
    must(mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr), "proc");
    private_dev();
    private_sys_class();
    // A burst of log datagrams must not meet the default queue of ten.
    FILE *q = fopen("/proc/sys/net/unix/max_dgram_qlen", "w");
    if (q != nullptr) {
        fputs("512", q);
        fclose(q);
    }
}

void write_file(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        throw std::runtime_error("cannot write " + path);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

void remove_file(const std::string &path)
{
    unlink(path.c_str());
}

NamedChild::NamedChild(const std::string &name, bool ignore_term)
{
    int ready[2];
    if (pipe(ready) != 0)
        throw std::runtime_error("pipe");
    pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, name.c_str());
        signal(SIGTERM, ignore_term ? SIG_IGN : SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (write(ready[1], "r", 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char c;
    if (read(ready[0], &c, 1) != 1)
        throw std::runtime_error("child did not start");
    close(ready[0]);
}

NamedChild::~NamedChild()
{
    if (!reaped && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

int NamedChild::wait_status(int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

Forked::Forked(std::function<int()> fn)
{
    int gate[2];
    int out[2];
    int err[2];
    if (pipe(gate) != 0 || pipe(out) != 0 || pipe(err) != 0)
        throw std::runtime_error("pipe");
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        close(gate[1]);
        char go;
        if (read(gate[0], &go, 1) != 1)
            _exit(98);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(err[0]);
        exit(fn());
    }
    close(gate[0]);
    close(out[1]);
    close(err[1]);
    gate_ = gate[1];
    out_ = out[0];
    err_ = err[0];
}

Forked::~Forked()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {gate_, out_, err_})
        if (fd >= 0)
            close(fd);
}

ForkResult Forked::finish()
{
    ForkResult r;
    if (write(gate_, "g", 1) != 1)
        throw std::runtime_error("cannot release the child");
    // Standard error first is safe: the child writes little to either.
    r.err = drain(err_);
    r.out = drain(out_);
    waitpid(pid_, &r.status, 0);
    pid_ = -1;
    return r;
}

ForkResult run_forked(const std::function<int()> &fn)
{
    return Forked(fn).finish();
}

} // namespace sandbox
