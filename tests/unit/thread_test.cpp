#include "daemon/daemon.h"
#include "fakes.h"
#include "util/thread.h"

#include <atomic>
#include <csignal>
#include <gmock/gmock.h>
#include <unistd.h>

using testing::ElementsAre;

namespace {

void *cooperative_worker(void *)
{
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
    for (;;) {
        pub_util_end_thread_if_requested();
        usleep(20000);
    }
}

std::string end_line(pthread_t t)
{
    return "thread " + std::to_string(static_cast<int>(t)) + " will be end";
}

} // namespace

TEST(ThreadStop, EndsALiveWorkerAndClearsTheHandle)
{
    LogCapture logd;
    signal(SIGUSR1, pub_util_handle_thread_signal);
    pthread_t none = 0;
    EXPECT_EQ(pub_util_stop_thread(&none), 0);
    EXPECT_TRUE(logd.take_messages().empty());

    pthread_t worker;
    ASSERT_EQ(pthread_create(&worker, nullptr, cooperative_worker, nullptr), 0);
    const pthread_t id = worker;
    EXPECT_EQ(pub_util_stop_thread(&worker), 0);
    EXPECT_EQ(worker, pthread_t{0});
    ASSERT_EQ(pthread_join(id, nullptr), 0);
    EXPECT_THAT(logd.take_messages(), ElementsAre(end_line(id)));
}

TEST(ThreadStop, AnEndedThreadEndsNothingAndLogsNothing)
{
    LogCapture logd;
    std::atomic<bool> done{false};
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, [](void *d) -> void * {
        static_cast<std::atomic<bool> *>(d)->store(true);
        return nullptr;
    }, &done), 0);
    const pthread_t copy = t;
    while (!done)
        usleep(1000);
    usleep(20000);
    // A probe answering ESRCH leaves the handle as it is; glibc answers 0
    // until the thread is joined, so the request goes to nobody and the
    // handle is cleared. Either way: 0 and no line.
    EXPECT_EQ(pub_util_stop_thread(&t), 0);
    EXPECT_TRUE(t == copy || t == pthread_t{0});
    EXPECT_TRUE(logd.take_messages().empty());
    pthread_join(copy, nullptr);
}

TEST(ThreadStop, OtherSignalsAreReportedAndTheThreadGoesOn)
{
    LogCapture logd;
    pub_util_handle_thread_signal(SIGUSR2);
    pub_util_handle_thread_signal(0);
    auto e = logd.take();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].msg, "unknown signal: 12.\r\n");
    EXPECT_EQ(e[1].msg, "unknown signal: 0.\r\n");
    EXPECT_EQ(e[0].prio, 6);
    pub_util_end_thread_if_requested(); // returns: this thread was never asked to end

    EXPECT_EQ(manager_stop(), 0);
    EXPECT_THAT(logd.take_messages(), ElementsAre("manager_stop exit."));
}
