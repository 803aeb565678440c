#include "fakes.h"
#include "sandbox.h"
#include "util/log.h"

#include <android/log.h>

#include <ctime>
#include <gmock/gmock.h>
#include <regex>
#include <sstream>
#include <unistd.h>

using testing::ElementsAre;

TEST(Log, ReachesLogdWithTagPrioritySenderAndTextAsIs)
{
    LogCapture logd;
    const std::string long_arg(2000, 'x');
    log_debug("(drovik)No SPRUE running.\n");
    log_debug("name %s here", "%d%s%n");
    log_debug("%s", long_arg.c_str());
    log_error("pthread_kill(): %d - %s", 3, "No such process");
    const auto now = static_cast<std::uint32_t>(time(nullptr));

    auto e = logd.take();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].msg, "(drovik)No SPRUE running.\n");
    EXPECT_EQ(e[1].msg, "name %d%s%n here");
    EXPECT_EQ(e[2].msg, std::string(1023, 'x'));
    EXPECT_EQ(e[3].msg, "pthread_kill(): 3 - No such process");
    const int prio[] = {3, 3, 3, 6};
    for (std::size_t i = 0; i < e.size(); ++i) {
        EXPECT_EQ(e[i].log_id, 0);
        EXPECT_EQ(e[i].tag, "MULGATE");
        EXPECT_EQ(e[i].prio, prio[i]);
        EXPECT_EQ(e[i].pid, getpid());
        EXPECT_EQ(e[i].tid, gettid() & 0xffff);
        EXPECT_LE(now - e[i].sec, 2u);
        EXPECT_LT(e[i].nsec, 1000000000u);
    }
}

TEST(Log, HostLayerCutsAtThePayloadLimit)
{
    LogCapture logd;
    const std::string huge(5000, 'y');
    EXPECT_GT(__android_log_print(ANDROID_LOG_DEBUG, "T", "%s", huge.c_str()), 0);
    auto e = logd.take();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].tag, "T");
    EXPECT_EQ(e[0].msg, std::string(4067, 'y'));
}

TEST(Log, WithoutLogdEachLineGoesToStderrAsLogcatShowsIt)
{
    auto r = sandbox::run_forked([] {
        unlink("/dev/socket/logdw");
        printf("%d %d", getpid(), gettid());
        log_debug("\n    %s, version %s\n    Build time: %s\n", "drovik", "1.0.0", "Dec  5 2026 19:36:30");
        log_error("unknown signal: %d.\r\n", 12);
        log_debug("%s", "");
        return 0;
    });
    ASSERT_EQ(r.status, 0);
    std::istringstream ids(r.out);
    int pid = 0;
    int tid = 0;
    ids >> pid >> tid;

    const std::regex line(R"(^\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d +(\d+) +(\d+) ([DE]) MULGATE : ([^\n]*)$)");
    std::vector<std::string> texts;
    std::string prios;
    std::istringstream in(r.err);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        EXPECT_EQ(std::stoi(m[1]), pid);
        EXPECT_EQ(std::stoi(m[2]), tid);
        prios += m[3].str();
        texts.push_back(m[4]);
    }
    EXPECT_THAT(texts, ElementsAre("", "    drovik, version 1.0.0", "    Build time: Dec  5 2026 19:36:30",
                                   "unknown signal: 12.\r", ""));
    EXPECT_EQ(prios, "DDDED");
    // Right-aligned in five columns, as logcat shows small ids.
    EXPECT_NE(r.err.find(" D MULGATE : "), std::string::npos);
}
