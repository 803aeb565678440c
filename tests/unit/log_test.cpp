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

