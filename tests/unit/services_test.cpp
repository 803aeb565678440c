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
