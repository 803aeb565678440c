// The end-to-end test program. Run with "--device-helper ..." it is instead
// a program that the tests start inside a device:
//   fault KIND            installs the daemon's signal handling and then
//                         faults in its own code, which nothing outside a
//                         process can make the daemon itself do;
//   fault-in-stop         the same handling takes a SIGTERM, and its thread
//                         faults 150 ms into the stop;
//   pipes OUT ERR CMD...  runs CMD with its standard output and error each
//                         "keep" (as given), or a pipe that is "closed" (its
//                         reader gone), "unread" (one page, nobody reads it)
//                         or "full" (the same, already full).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "daemon/daemon.h"
#include "e2e.h"

namespace e2e {

const std::string &self_exe()
{
    static const std::string path = [] {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }();
    return path;
}

std::vector<std::string> helper(std::vector<std::string> args)
{
    args.insert(args.begin(), {self_exe(), "--device-helper"});
    return args;
}

} // namespace e2e

namespace {

// segv: a store to a page with no access; bus: a store past the end of a
// mapped file. Either way the kernel raises the signal on this thread.
int fault(const std::string &kind)
{
    install_signal_handling();
    void *page = MAP_FAILED;
    if (kind == "segv") {
        page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    } else if (kind == "bus") {
        int fd = open("/dev/shm/drovik-bus", O_RDWR | O_CREAT | O_TRUNC, 0600);
        page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (page == MAP_FAILED)
        return 64;
    *static_cast<volatile char *>(page) = 1;
    return 65; // not reached: the stop path exits
}

volatile char *g_no_access = nullptr;

void fault_here(int /*sig*/)
{
    *g_no_access = 1;
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
constexpr bool kThreadSanitizer = __has_feature(thread_sanitizer);
#else
constexpr bool kThreadSanitizer = false;
#endif

// The stop of a SIGTERM, run as the thread that takes one runs it; a second
// thread interrupts it 150 ms later with a signal whose handler makes a real
// fault on the stopping thread. ThreadSanitizer runs a handler it has held
// back with every signal blocked, so a fault there would end the program
// before any handler: under it, the second thread sends SIGSEGV instead.
int fault_in_stop()
{
    install_signal_handling();
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED)
        return 64;
    g_no_access = static_cast<volatile char *>(page);
    signal(SIGRTMIN, fault_here);
    const pthread_t stopping = pthread_self();
    std::thread([stopping] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        pthread_kill(stopping, kThreadSanitizer ? SIGSEGV : SIGRTMIN);
    }).detach();
    on_daemon_signal(SIGTERM);
    return 66; // not reached: the stop path exits
}

// Makes fd the write end of a pipe in the given state. The read end of an
// unread pipe stays open in this process, and so in the program it becomes.
bool pipe_as(int fd, const std::string &how)
{
    if (how == "keep")
        return true;
    int p[2];
    if (pipe(p) != 0 || fcntl(p[1], F_SETPIPE_SZ, 4096) < 0)
        return false;
    if (how == "closed") {
        close(p[0]);
    } else if (how == "full") {
        fcntl(p[1], F_SETFL, O_NONBLOCK);
        char page[4096] = {};
        while (write(p[1], page, sizeof page) > 0) {
        }
        fcntl(p[1], F_SETFL, 0);
    } else if (how != "unread") {
        return false;
    }
    return dup2(p[1], fd) == fd && close(p[1]) == 0;
}

int run_with_pipes(char **argv)
{
    if (!pipe_as(STDOUT_FILENO, argv[0]) || !pipe_as(STDERR_FILENO, argv[1]))
        return 64;
    execvp(argv[2], argv + 2);
    return 65;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 3 && std::string(argv[1]) == "--device-helper" && std::string(argv[2]) == "fault")
        return fault(argv[3]);
    if (argc > 2 && std::string(argv[1]) == "--device-helper" && std::string(argv[2]) == "fault-in-stop")
        return fault_in_stop();
    if (argc > 5 && std::string(argv[1]) == "--device-helper" && std::string(argv[2]) == "pipes")
        return run_with_pipes(argv + 3);
    testing::InitGoogleTest(&argc, argv);
    bool listing = testing::GTEST_FLAG(list_tests);
    if (!listing && geteuid() != 0) {
        fprintf(stderr, "drovik_e2e: the end-to-end tests boot simulated devices in namespaces of their own\n"
                        "and must run as root\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
