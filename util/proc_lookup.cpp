#include "util/proc_lookup.h"

#include "util/log.h"
#include "util/outside.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int RESTART_LOOKUP_MAX = 128;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool empty_name(const char *name)
{
    return name == nullptr || name[0] == '\0';
}

// The command name of one /proc entry, read from its status file through a
// path buffer and a first-line read of the given sizes. False when the entry
// has vanished or its first line holds no name.
bool read_status_name(const char *entry, char *path, std::size_t path_size, char *line, int line_read_size, char *name,
                      std::size_t name_size)
{
    memset(path, 0, path_size);
    // A name too long for the buffer cannot be a process id; the cut path
    // would name nothing.
    int n = snprintf(path, path_size, PROC_STATUS_PATH, entry);
    if (n < 0 || static_cast<std::size_t>(n) >= path_size)
        return false;
    // A plain descriptor: a stream would cost an allocation, a buffer and a
    // stat of the file for each of the hundreds of entries a scan reads.
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool got_line = read_first_line(fd, line, line_read_size);
    close(fd);
    return got_line && status_line_name(line, name, name_size) >= 0;
}

} // namespace

bool read_first_line(int fd, char *line, int size)
{
    if (size <= 0)
        return false;
    int got = 0;
    while (got < size - 1) {
        ssize_t n = read(fd, line + got, static_cast<std::size_t>(size - 1 - got));
        if (n < 0)
            return false;
        if (n == 0)
            break;
        const void *lf = memchr(line + got, '\n', static_cast<std::size_t>(n));
        if (lf != nullptr) {
            got = static_cast<int>(static_cast<const char *>(lf) - line) + 1;
            break;
        }
        got += static_cast<int>(n);
    }
    if (got == 0 && size > 1)
        return false;
    line[got] = '\0';
    return true;
}

int status_line_name(std::string_view line, char *dst, std::size_t dst_size)
{
    std::size_t i = 0;
    auto skip_space = [&] {
        while (i < line.size() && is_space(line[i]))
            ++i;
    };
    skip_space();
    while (i < line.size() && !is_space(line[i]))
        ++i;
    skip_space();
    if (i == line.size() || dst_size == 0)
        return -1;
    std::size_t n = 0;
    while (i < line.size() && !is_space(line[i]) && n + 1 < dst_size)
        dst[n++] = line[i++];
    dst[n] = '\0';
    return static_cast<int>(n);
}

// --- the USB monitor's family ---------------------------------------------

int findPidByNameEx(const char *name, int *pids, int max)
{
    if (empty_name(name) || max <= 1) {
        log_debug("findPidByName invalid parameter. \n");
        return -1;
    }
    DIR *dir = opendir(PROC_DIR);
    if (dir == nullptr) {
        log_debug("cannot open /proc\n");
        return -1;
    }
    int count = 0;
    while (const dirent *e = readdir(dir)) {
        if (strcmp(e->d_name, "..") == 0 || strcmp(e->d_name, ".") == 0)
            continue;
        if (e->d_type != DT_DIR)
            continue;
        int pid = atoi(e->d_name);
        if (pid == 0)
            continue;
        char path[128];
        char line[256] = {};
        char comm[128] = {};
        if (!read_status_name(e->d_name, path, sizeof path, line, 255, comm, sizeof comm))
            continue;
        if (strcmp(comm, name) != 0)
            continue;
        pids[count++] = pid;
        if (count >= max - 1) {
            log_debug("search num has reached its limit\n");
            break;
        }
    }
    closedir(dir);
    return 0;
}

int isProcessRunningEx(const char *name, int *pids, int max)
{
    if (empty_name(name)) {
        log_debug("isProcessRunningEx invalid parameter. \n");
        return -1;
    }
    for (int i = 0; i < max; ++i)
        pids[i] = 0;
    if (findPidByNameEx(name, pids, max) != 0) {
        log_debug("call findPidByNameEx, return error. \n");
        return 1;
    }
    if (pids[0] == 0)
        return -1;
    for (int i = 0; i < max && pids[i] != 0;) {
        int pid = pids[i];
        log_debug("process(%s) pid is: %d, i:%d. \n", name, pid, i);
        ++i;
        if (pid < 0) {
            log_debug("getted pid(%d) is not valid. \n", pid);
            return -1;
        }
    }
    return 0;
}

// --- the restart's family -------------------------------------------------

int find_pid_by_name(const char *name, int *pids, int max)
{
    if (empty_name(name) || max <= 1) {
        log_debug("find_pid_by_name invalid parameter.");
        return -1;
    }
    pids[0] = 0;
    DIR *dir = opendir(PROC_DIR);
    if (dir == nullptr) {
        // Deliberately not the log, and not flushed: it leaves with the
        // rest of standard output at exit.
        fputs("cannot open /proc", stdout);
        return -1;
    }
    int count = 0;
    while (const dirent *e = readdir(dir)) {
        if (strcmp(e->d_name, "..") == 0)
            continue;
        if (!isdigit(static_cast<unsigned char>(e->d_name[0])))
            continue;
        int pid = atoi(e->d_name);
        if (pid == 0)
            continue;
        char path[512];
        char line[512] = {};
        char comm[512] = {};
        if (!read_status_name(e->d_name, path, sizeof path, line, 511, comm, sizeof comm))
            continue;
        if (strcmp(comm, name) != 0)
            continue;
        pids[count++] = pid;
        if (count >= max - 1)
            break;
    }
    pids[count] = 0;
    closedir(dir);
    return 0;
}

int isProgramRunning(const char *name)
{
    if (empty_name(name)) {
        log_debug("isProgramRunning invalid parameter.");
        return -1;
    }
    int pids[RESTART_LOOKUP_MAX];
    if (find_pid_by_name(name, pids, RESTART_LOOKUP_MAX) != 0) {
        log_debug("cal find_pid_by_name, return error.");
        return -1;
    }
    for (int i = 0; i < RESTART_LOOKUP_MAX && pids[i] != 0; ++i) {
        log_debug("process(%s) pid is: %d, i:%d.", name, pids[i], i);
        if (pids[i] > 0)
            return 0;
        log_debug("getted pid(%d) is not valid.", pids[i]);
    }
    return -2;
}

int kill_process_by_name(const char *name, int sig)
{
    if (empty_name(name)) {
        log_debug("find_pid_by_name invalid parameter.");
        return -1;
    }
    int pids[RESTART_LOOKUP_MAX];
    if (find_pid_by_name(name, pids, RESTART_LOOKUP_MAX) != 0) {
        log_debug("cal find_pid_by_name, return error.");
        return -1;
    }
    const auto signo = static_cast<unsigned>(sig);
    for (int i = 0; i < RESTART_LOOKUP_MAX && pids[i] != 0; ++i) {
        int pid = pids[i];
        log_debug("process(%s) pid is: %d, i:%d.", name, pid, i);
        if (pid > 0) {
            int r = outside_kill(pid, sig);
            int err = errno;
            if (r != 0) {
                log_debug("send signal error:%d-%s. pid:%d, signo:%u.", err, strerror(err), pid, signo);
                return -1;
            }
            log_debug("send signal OK. pid:%d, signo:%u.", pid, signo);
        } else {
            log_debug("getted pid(%d) is not valid.", pid);
        }
    }
    return 0;
}
