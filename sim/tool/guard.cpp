// Whatever ends drovik-sim, its device and its temporary files go with it.
//
// The device's keeper dies with the tool (parent-death signal) and takes
// init's namespaces with it; what is left to do here is to wait for that
// before removing the temporary folder, since init writes the persist file
// into it. Everything in the signal handler is async-signal-safe.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "guard.h"

namespace tool {
namespace {

pid_t g_tool_pid = 0;
volatile pid_t g_init_pid = 0;
char g_temp_dir[4096];

// Empties a folder of the files init leaves there (no subfolders) and removes it.
void remove_dir(const char *path)
{
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        alignas(8) char buf[4096];
        for (;;) {
            long n = syscall(SYS_getdents64, fd, buf, sizeof buf);
            if (n <= 0)
                break;
            for (long off = 0; off < n;) {
                auto *e = reinterpret_cast<struct dirent64 *>(buf + off);
                off += e->d_reclen;
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    unlinkat(fd, e->d_name, 0);
            }
        }
        close(fd);
    }
    rmdir(path);
}

void on_fatal(int sig)
{
    if (getpid() != g_tool_pid) {
        // A copy in a child forked before it could reset its signals.
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    pid_t init = g_init_pid;
    if (init > 0) {
        kill(init, SIGKILL);
        // The keeper, the tool's only child, ends once the whole PID namespace is gone.
        while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
    }
    if (g_temp_dir[0])
        remove_dir(g_temp_dir);
    static const char msg[] = "\ndrovik-sim: interrupted; the device is torn down\n";
    if (sig != SIGABRT)
        (void)!write(2, msg, sizeof msg - 1);
    _exit(128 + sig);
}

} // namespace

void install_guards()
{
    g_tool_pid = getpid();
    struct sigaction sa {};
    sa.sa_handler = on_fatal;
    sigfillset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT})
        sigaction(s, &sa, nullptr);
    // Writes to a closed pipe fail instead; flush() turns that into OutputClosed.
    // Programs started inside the device get SIGPIPE back (init resets it).
    signal(SIGPIPE, SIG_IGN);
}

void guard_device(pid_t init_host_pid)
{
    g_init_pid = init_host_pid;
}

void flush()
{
    if (fflush(stdout) != 0 || ferror(stdout))
        throw OutputClosed{};
}

TempDir::TempDir(const char *prefix)
{
    const char *t = getenv("TMPDIR");
    std::string tmpl = std::string(t && *t == '/' ? t : "/tmp") + "/" + prefix + ".XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw sim::Error("cannot make a temporary folder " + tmpl + ": " + strerror(errno));
    path_ = tmpl;
    snprintf(g_temp_dir, sizeof g_temp_dir, "%s", path_.c_str());
}

TempDir::~TempDir()
{
    g_temp_dir[0] = 0;
    remove_dir(path_.c_str());
}

std::string persist_problem(const std::string &path)
{
    if (path.empty())
        return {};
    if (path.back() == '/')
        return "it names a folder, not a file";
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return "it is a folder, not a file";
        if (!S_ISREG(st.st_mode))
            return "it is not a regular file";
        if (access(path.c_str(), R_OK | W_OK) != 0)
            return std::string("it cannot be read and written: ") + strerror(errno);
    } else if (errno != ENOENT && errno != ENOTDIR) {
        return strerror(errno);
    }
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat ds {};
    if (stat(dir.c_str(), &ds) != 0)
        return "its folder " + dir + " does not exist";
    if (!S_ISDIR(ds.st_mode))
        return dir + " is not a folder";
    // The file is replaced through a new file beside it.
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return "its folder " + dir + " cannot be written: " + strerror(errno);
    return {};
}

} // namespace tool
