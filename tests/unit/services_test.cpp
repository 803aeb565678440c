#include "daemon/daemon.h"
#include "fakes.h"
#include "sandbox.h"
#include "services/service_control.h"

#include <chrono>
#include <gmock/gmock.h>

using testing::ElementsAre;
using Writes = std::vector<std::pair<std::string, std::string>>;

namespace {

const std::string PORTS = "/sys/class/android_usb/f_serial/serial_port_num";

std::uint8_t decode(const std::string &bytes)
{
    return decode_serial_count(std::span<const char>(bytes.data(), bytes.size()));
}

} // namespace

TEST(SerialCount, OnlyTheFirstByteOfWhatRemainsCounts)
{
    EXPECT_EQ(decode("0\n"), 0);
    EXPECT_EQ(decode("1\n"), 1);
    EXPECT_EQ(decode("4"), 4);
    EXPECT_EQ(decode("10\n"), 1);
    EXPECT_EQ(decode(" "), 240);
    EXPECT_EQ(decode(std::string(1, '\0')), 208);
    EXPECT_EQ(decode("\n\n\n"), 0);
    EXPECT_EQ(decode(""), 0);
    // Only nine of the ten bytes read are looked at.
    EXPECT_EQ(decode(std::string(9, '\n') + "7"), 0);
    EXPECT_EQ(decode("\n2"), 218); // a leading line feed is not stripped

    sandbox::remove_file(PORTS);
    EXPECT_EQ(read_usb_serial_number(), 0);
    sandbox::write_file(PORTS, "");
    EXPECT_EQ(read_usb_serial_number(), 0);
    sandbox::write_file(PORTS, "3" + std::string(300, 'z'));
    EXPECT_EQ(read_usb_serial_number(), 3);
    sandbox::write_file(PORTS, std::string(9, '\n') + "7\n");
    EXPECT_EQ(read_usb_serial_number(), 0);
}

TEST(Services, SprueStartsOnlyWhenItsSwitchReadsOne)
{
    LogCapture logd;
    FakePropertyService ps;
    struct Case {
        std::optional<std::string> value;
        std::string shown;
        bool starts;
    };
    const Case cases[] = {
        {std::nullopt, "0", false}, {"1", "1", true},    {"  1", "  1", true}, {"1abc", "1abc", true},
        {"2", "2", false},          {"", "0", false},    {"abc", "abc", false}, {"11", "11", false},
    };
    for (const auto &c : cases) {
        if (c.value)
            ps.set("persist.sys.v3.sprue.state", *c.value);
        const auto before = ps.writes().size();
        EXPECT_EQ(sprue_start_by_prop(), 0);
        std::vector<std::string> want = {"current persist.sys.v3.sprue.state: " + c.shown};
        if (c.starts)
            want.push_back("property_set ctl.start sprue");
        want.push_back("sprue_start_by_prop return:0.");
        EXPECT_EQ(logd.take_messages(), want) << "value " << c.value.value_or("(unset)");
        EXPECT_EQ(ps.writes().size() - before, c.starts ? 1u : 0u);
        if (c.starts) {
            EXPECT_EQ(ps.writes().back(), std::make_pair(std::string("ctl.start"), std::string("sprue")));
        }
    }
    ps.set_status = 1;
    ps.set("persist.sys.v3.sprue.state", "1");
    EXPECT_EQ(sprue_start_by_prop(), -1);
    EXPECT_EQ(logd.take_messages().back(), "sprue_start_by_prop return:-1.");
}

TEST(Services, StartFollowsThePortsAndInitsReport)
{
    LogCapture logd;
    FakePropertyService ps;

    sandbox::write_file(PORTS, "0\n");
    EXPECT_EQ(startService(), 0);
    EXPECT_THAT(logd.take_messages(), ElementsAre("read_usb_serial_number : [0]", "usb_config_now not serial"));
    EXPECT_TRUE(ps.writes().empty());

    sandbox::write_file(PORTS, " ");
    EXPECT_EQ(startService(), 0);
    EXPECT_THAT(logd.take_messages(),
                ElementsAre("read_usb_serial_number : [240]", "current service: init.svc.mulgate, state: stopped",
                            "startService() return: 0"));
    EXPECT_EQ(ps.writes(), (Writes{{"ctl.start", "mulgate"}}));

    EXPECT_EQ(stopService(), 0);
    EXPECT_THAT(logd.take_messages(), ElementsAre("stopService() return: 0"));
    EXPECT_EQ(ps.writes().back(), std::make_pair(std::string("ctl.stop"), std::string("mulgate")));

    ps.set_status = 5;
    sandbox::write_file(PORTS, "1\n");
    EXPECT_EQ(startService(), -1);
    EXPECT_EQ(logd.take_messages().back(), "startService() return: -1");
}

TEST(Services, StartGivesUpAfterTwoSecondsOfAServiceNotStopped)
{
    LogCapture logd;
    FakePropertyService ps;
    sandbox::write_file(PORTS, "1\n");
    // "stopping" is init's word while it shuts a service down: not "stopped".
    ps.set("init.svc.mulgate", "stopping");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(startService(), 0);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 2010);
    EXPECT_LT(ms, 2600);

    std::vector<std::string> want = {"read_usb_serial_number : [1]"};
    for (int i = 0; i < 10; ++i)
        want.push_back("current service: init.svc.mulgate, state: stopping");
    want.push_back("current service: init.svc.mulgate is not stopped during 2 seconds, state: stopping");
    want.push_back("startService() return: 0");
    EXPECT_EQ(logd.take_messages(), want);
    EXPECT_TRUE(ps.writes().empty());
}

TEST(Startup, ReadFileLineReportsEveryOutcome)
{
    LogCapture logd;
    const std::string path = "/sys/class/android_usb/android0/state";
    char buf[100];

    sandbox::write_file(path, "CONFIGURED\n");
    EXPECT_EQ(read_file_line(buf, 100, path.c_str()), 0);
    EXPECT_STREQ(buf, "CONFIGURED\n");

    sandbox::write_file(path, std::string(200, 'A') + "\n");
    EXPECT_EQ(read_file_line(buf, 100, path.c_str()), 0);
    EXPECT_EQ(std::string(buf), std::string(98, 'A'));

    char small[5];
    EXPECT_EQ(read_file_line(small, 5, path.c_str()), 0);
    EXPECT_STREQ(small, "AAAA");

    sandbox::write_file(path, "");
    errno = 0;
    EXPECT_EQ(read_file_line(buf, 100, path.c_str()), RESULT_FAILURE);
    EXPECT_STREQ(buf, "");

    sandbox::remove_file(path);
    EXPECT_EQ(read_file_line(buf, 100, path.c_str()), -118);
    EXPECT_STREQ(buf, "");

    EXPECT_THAT(logd.take_messages(),
                ElementsAre("read content: CONFIGURED\n", "read content: " + std::string(98, 'A'), "read content: AAAA",
                            "read fail: 0 - Success",
                            "open(\"/sys/class/android_usb/android0/state\") fail: 2 - No such file or directory"));
}
