#include "fakes.h"
#include "sandbox.h"
#include "util/proc_lookup.h"

#include <csignal>
#include <sstream>
#include <thread>
#include <gmock/gmock.h>
#include <sys/wait.h>
#include <unistd.h>

using testing::ElementsAre;

namespace {

std::string name_of(std::string_view line, std::size_t size)
{
    std::vector<char> buf(size, '#');
    int n = status_line_name(line, buf.data(), buf.size());
    return n < 0 ? "<none>" : std::string(buf.data(), static_cast<std::size_t>(n));
}

std::string line(const char *fmt, int a, int b = 0)
{
    char buf[256];
    snprintf(buf, sizeof buf, fmt, a, b);
    return buf;
}

} // namespace

TEST(StatusLine, SecondTokenCutToItsBuffer)
{
    EXPECT_EQ(name_of("Name:\tsprue\n", 128), "sprue");
    EXPECT_EQ(name_of("  Name:   mul gate\n", 128), "mul");
    EXPECT_EQ(name_of("Name:\n", 128), "<none>");
    EXPECT_EQ(name_of("", 128), "<none>");
    EXPECT_EQ(name_of("Name:\t" + std::string(300, 'n'), 128), std::string(127, 'n'));
    EXPECT_EQ(name_of("Name:\t%s%d", 128), "%s%d");
}

TEST(PresenceCheck, CountsExactNamesWithinItsLimit)
{
    LogCapture logd;
    sandbox::NamedChild a("sprue");
    sandbox::NamedChild b("sprue");
    sandbox::NamedChild near("sprue2");
    int pids[32];

    EXPECT_EQ(isProcessRunningEx("sprue", pids, 32), 0);
    auto lines = logd.take_messages();
    ASSERT_EQ(lines.size(), 2u);
    // The directory decides the order; both ids appear, numbered 0 and 1.
    const char *fmt = "process(sprue) pid is: %d, i:%d. \n";
    const std::vector<std::string> ab = {line(fmt, a.pid, 0), line(fmt, b.pid, 1)};
    const std::vector<std::string> ba = {line(fmt, b.pid, 0), line(fmt, a.pid, 1)};
    EXPECT_TRUE(lines == ab || lines == ba) << lines[0] << lines[1];
    EXPECT_EQ(pids[2], 0);

    EXPECT_EQ(isProcessRunningEx("sprue", pids, 2), 0);
    EXPECT_THAT(logd.take_messages(), ElementsAre("search num has reached its limit\n", testing::StartsWith("process(sprue) pid is: ")));
    EXPECT_EQ(pids[1], 0);

    EXPECT_EQ(isProcessRunningEx("sprue", pids, 1), 1);
    EXPECT_THAT(logd.take_messages(),
                ElementsAre("findPidByName invalid parameter. \n", "call findPidByNameEx, return error. \n"));

    EXPECT_EQ(isProcessRunningEx("sprue3", pids, 32), -1);
    EXPECT_EQ(isProcessRunningEx("sprue2", pids, 32), 0);
    EXPECT_EQ(isProcessRunningEx("Sprue", pids, 32), -1);
    EXPECT_THAT(logd.take_messages(), ElementsAre(line("process(sprue2) pid is: %d, i:%d. \n", near.pid, 0)));

    pids[0] = 77;
    EXPECT_EQ(isProcessRunningEx("", pids, 32), -1);
    EXPECT_EQ(pids[0], 77) << "a bad name leaves the array alone";
    EXPECT_THAT(logd.take_messages(), ElementsAre("isProcessRunningEx invalid parameter. \n"));
}

TEST(RestartLookup, FindsSignalsAndEndsAZeroTerminatedList)
{
    LogCapture logd;
    EXPECT_EQ(isProgramRunning("mulgate"), -2);
    EXPECT_EQ(kill_process_by_name("mulgate", SIGTERM), 0);
    EXPECT_TRUE(logd.take_messages().empty());

    sandbox::NamedChild m("mulgate");
    sandbox::NamedChild other("mulgate2");
    EXPECT_EQ(isProgramRunning("mulgate"), 0);
    EXPECT_THAT(logd.take_messages(), ElementsAre(line("process(mulgate) pid is: %d, i:%d.", m.pid)));

    sandbox::NamedChild m2("mulgate");
    int pids[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(find_pid_by_name("mulgate", pids, 2), 0);
    EXPECT_TRUE(pids[0] == m.pid || pids[0] == m2.pid);
    EXPECT_EQ(pids[1], 0);
    EXPECT_EQ(pids[2], 9);
    EXPECT_TRUE(logd.take_messages().empty()) << "the limit is reached silently here";

    EXPECT_EQ(kill_process_by_name("mulgate", SIGTERM), 0);
    auto lines = logd.take_messages();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_THAT(lines[0], testing::EndsWith(", i:0."));
    EXPECT_THAT(lines[1], testing::MatchesRegex("send signal OK\\. pid:[0-9]+, signo:15\\."));
    EXPECT_THAT(lines[2], testing::EndsWith(", i:1."));
    for (auto *c : {&m, &m2}) {
        int st = c->wait_status(2000);
        ASSERT_NE(st, -1);
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM);
    }
    EXPECT_EQ(other.wait_status(0), -1) << "mulgate2 must not be signalled";

    EXPECT_EQ(isProgramRunning(""), -1);
    EXPECT_EQ(kill_process_by_name(nullptr, 15), -1);
    EXPECT_EQ(find_pid_by_name("mulgate", pids, 1), -1);
    EXPECT_THAT(logd.take_messages(), ElementsAre("isProgramRunning invalid parameter.", "find_pid_by_name invalid parameter.",
                                                  "find_pid_by_name invalid parameter."));
}

TEST(ProcLookup, ProcessesVanishingMidScanAreSkipped)
{
    // Short-lived processes of the searched names come and go while both
    // families scan: each scan either counts one or skips it, never fails.
    LogCapture logd;
    sandbox::NamedChild stays("sprue");
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            sandbox::NamedChild a("sprue");
            sandbox::NamedChild b("mulgate");
        }
    });
    int pids[32];
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(isProcessRunningEx("sprue", pids, 32), 0);
        EXPECT_NE(isProgramRunning("mulgate"), -1);
        logd.take();
    }
    stop = true;
    churn.join();
}

TEST(ProcLookup, UnreadableProcIsReportedDifferentlyByEachFamily)
{
    // Without /proc: a chroot into an empty directory.
    auto r = sandbox::run_forked([] {
        char dir[] = "/tmp/drovik-noproc-XXXXXX";
        if (mkdtemp(dir) == nullptr || chroot(dir) != 0 || chdir("/") != 0)
            return 99;
        int pids[8];
        int a = isProcessRunningEx("sprue", pids, 8);
        int b = isProgramRunning("mulgate");
        int c = kill_process_by_name("mulgate", 15);
        return (a == 1 && b == -1 && c == -1) ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(r.out, "cannot open /proccannot open /proc");
    // No logd inside the chroot: the log lines arrive on standard error.
    std::vector<std::string> texts;
    std::istringstream in(r.err);
    for (std::string l; std::getline(in, l);)
        texts.push_back(l.substr(l.find("MULGATE : ") + 10));
    EXPECT_THAT(texts, ElementsAre("cannot open /proc", "call findPidByNameEx, return error. ",
                                   "cal find_pid_by_name, return error.", "cal find_pid_by_name, return error."));
}
