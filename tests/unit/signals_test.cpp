#include "daemon/daemon.h"
#include "fakes.h"
#include "sandbox.h"

#include <csignal>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using testing::ElementsAre;
using Writes = std::vector<std::pair<std::string, std::string>>;

namespace {

// A genuine fault of the daemon's own kind: the kernel raises the signal on
// the faulting thread, it is not sent by anybody.
void touch_unmapped_page()
{
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile char *>(page) = 1;
}

void touch_beyond_end_of_file()
{
    int fd = open("/dev/shm/drovik-bus", O_RDWR | O_CREAT | O_TRUNC, 0600);
    void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    *static_cast<volatile char *>(page) = 1;
}

} // namespace

TEST(Signals, ARealFaultTakesTheOrderlyStop)
{
    for (auto [sig, fault] : {std::pair{SIGSEGV, &touch_unmapped_page}, std::pair{SIGBUS, &touch_beyond_end_of_file}}) {
        sandbox::Forked child([fault = fault] {
            install_signal_handling();
            fault();
            return 3; // not reached: the stop path exits
        });
        LogCapture logd;
        FakePropertyService ps;
        auto r = child.finish();
        ASSERT_TRUE(WIFEXITED(r.status)) << "signal " << sig;
        EXPECT_EQ(WEXITSTATUS(r.status), 0);
        EXPECT_THAT(logd.take_messages(), ElementsAre("(drovik)receive signal: " + std::to_string(sig),
                                                      "stopService() return: 0", "manager_stop exit."));
        EXPECT_EQ(ps.writes(), (Writes{{"ctl.stop", "sprue"}, {"ctl.stop", "mulgate"}}));
    }
}

TEST(Signals, AStopThatCannotFinishStillEndsWithinASecond)
{
    // A property service that never answers makes each request wait out its
    // timeout; the stop's own watchdog ends the process first.
    sandbox::Forked child([] {
        install_signal_handling();
        touch_unmapped_page();
        return 3;
    });
    LogCapture logd;
    FakePropertyService ps;
    ps.silent = true;
    auto t0 = std::chrono::steady_clock::now();
    auto r = child.finish();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_LT(ms, 1500);
    EXPECT_THAT(logd.take_messages(), ElementsAre("(drovik)receive signal: 11"));
}
