// The pure pieces of the daemon: what it makes of the bytes it reads.
#include "services/service_control.h"
#include "tests/unit/serial_counts.h"
#include "util/proc_lookup.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
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
    for (const auto &c : kSerialCounts)
        EXPECT_EQ(decode(c.bytes), c.count) << c.why;
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

// The lookups read each status file's first line with read(2); the parse must
// see what fgets(3) would have given it, whatever the file holds.
TEST(StatusLine, FirstLineReadAsFgetsReadsIt)
{
    const std::string cases[] = {
        "Name:\tsprue\nUmask:\t0022\n",
        "",
        "\n",
        "Name:\tsprue",
        "Name:\t" + std::string(300, 'n') + "\nState:\n",
        std::string(600, 'x'),
        std::string("Name:\tmul\0gate\nX", 17),
        std::string("\0\0\n", 3),
        std::string(253, 'a') + "\nrest",
        std::string(254, 'a') + "\nrest",
    };
    for (const std::string &content : cases) {
        int fd = memfd_create("status", MFD_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        for (int size : {255, 511, 2, 1}) {
            // What fgets stores: size - 1 bytes at most, through the first line feed.
            std::size_t len = std::min(content.size(), static_cast<std::size_t>(size - 1));
            if (std::size_t lf = content.find('\n'); lf != std::string::npos)
                len = std::min(len, lf + 1);
            const bool stored = size == 1 || len > 0;
            const std::string where = "size " + std::to_string(size) + ", file \"" + content.substr(0, 40) + "\"";

            std::vector<char> by_read(512, '#'), by_fgets(512, '#');
            lseek(fd, 0, SEEK_SET);
            EXPECT_EQ(read_first_line(fd, by_read.data(), size), stored) << where;
            lseek(fd, 0, SEEK_SET);
            FILE *f = fdopen(dup(fd), "r");
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(fgets(by_fgets.data(), size, f) != nullptr, stored) << where;
            fclose(f);
            if (!stored)
                continue;
            EXPECT_EQ(std::string(by_read.data(), len + 1), content.substr(0, len) + '\0') << where;
            EXPECT_EQ(std::string(by_fgets.data(), len + 1), content.substr(0, len) + '\0') << where;
        }
        close(fd);
    }
}
