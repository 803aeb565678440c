#include "filesystem.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "channel/router.h"
#include "posix.h"

namespace sim::detail {

Filesystem::Filesystem()
{
    // Nothing mounted here may reach the host.
    must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make / private");

    // The host has no /dev/socket, and its /dev is not to be touched: the device
    // gets a /dev of its own with the few nodes programs expect.
    must(mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755,size=1m") == 0, "mount tmpfs on /dev");
    struct Node {
        const char *name;
        unsigned major, minor;
    };
    for (Node n : {Node{"null", 1, 3}, Node{"zero", 1, 5}, Node{"full", 1, 7}, Node{"random", 1, 8},
                   Node{"urandom", 1, 9}, Node{"tty", 5, 0}}) {
        std::string p = std::string("/dev/") + n.name;
        must(mknod(p.c_str(), S_IFCHR | 0666, makedev(n.major, n.minor)) == 0, "mknod " + p);
        chmod(p.c_str(), 0666);
    }
    symlink("/proc/self/fd", "/dev/fd");
    symlink("/proc/self/fd/0", "/dev/stdin");
    symlink("/proc/self/fd/1", "/dev/stdout");
    symlink("/proc/self/fd/2", "/dev/stderr");
    mkdir_p("/dev/shm", 01777);
    chmod("/dev/shm", 01777);
    mkdir_p("/dev/socket");
    must(mount("tmpfs", "/dev/socket", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755,size=64k") == 0,
         "mount tmpfs on /dev/socket");

    // As a device's: another uid's processes are seen only by root and the
    // readproc group (3009).
    must(mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, "hidepid=2,gid=3009") == 0, "mount /proc");
    // Kept so that ps works while /proc is hidden from the programs.
    proc_ = open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC);
    must(proc_ >= 0, "open /proc");
}

void Filesystem::routes(wire::Router &r)
{
    r.on<wire::WriteFile>([this](const wire::WriteFile &q) { write(q.path, q.bytes); });
    r.on<wire::RemoveFile>([this](const wire::RemoveFile &q) { remove(q.path); });
    r.on<wire::ReadFile>([this](const wire::ReadFile &q) { return read(q.path); });
    r.on<wire::HideProc>([this](const wire::HideProc &q) { hide_proc(q.hidden); });
}

void Filesystem::write(const std::string &path, std::string_view bytes)
{
    write_file(path, bytes);
}

void Filesystem::remove(const std::string &path)
{
    must(unlink(path.c_str()) == 0 || errno == ENOENT, "remove " + path);
}

std::optional<std::string> Filesystem::read(const std::string &path) const
{
    if (path.rfind("/proc/", 0) == 0)
        return read_file_at(proc_, path.substr(6));
    return read_file_at(AT_FDCWD, path);
}

void Filesystem::hide_proc(bool hide)
{
    if (hide && !proc_hidden_) {
        must(mount("tmpfs", "/proc", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=000,size=4k") == 0, "hide /proc");
        proc_hidden_ = true;
    } else if (!hide && proc_hidden_) {
        must(umount2("/proc", MNT_DETACH) == 0, "unhide /proc");
        proc_hidden_ = false;
    }
}

} // namespace sim::detail
