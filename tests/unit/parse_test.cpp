// The pure pieces of the daemon: what it makes of the bytes it reads.
#include "services/service_control.h"
#include "util/proc_lookup.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::uint8_t decode(const std::string &bytes)
{
    return decode_serial_count(std::span<const char>(bytes.data(), bytes.size()));
}

std::string name_of(std::string_view line, std::size_t size)
{
    std::vector<char> buf(size, '#');
    int n = status_line_name(line, buf.data(), buf.size());
    return n < 0 ? "<none>" : std::string(buf.data(), static_cast<std::size_t>(n));
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
}

TEST(StatusLine, SecondTokenCutToItsBuffer)
{
    EXPECT_EQ(name_of("Name:\tsprue\n", 128), "sprue");
    EXPECT_EQ(name_of("  Name:   mul gate\n", 128), "mul");
    EXPECT_EQ(name_of("Name:\n", 128), "<none>");
    EXPECT_EQ(name_of("", 128), "<none>");
    EXPECT_EQ(name_of("Name:\t" + std::string(300, 'n'), 128), std::string(127, 'n'));
    EXPECT_EQ(name_of("Name:\t%s%d", 128), "%s%d");
}
