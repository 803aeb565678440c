// The name parse of a /proc/<pid>/status first line, into buffers of several
// sizes: the smallest there is, small ones that cut most names, and the two
// the process lookups use (128 and 512). Each buffer is an allocation of its
// exact size, so a write past it is an AddressSanitizer report. The input is
// also a whole status file: its first line as the lookups read it, with the
// two read sizes they use, must be what fgets gives.
#include "tests/fuzz/fuzz_support.h"
#include "util/proc_lookup.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t DST_SIZES[] = {1, 2, 16, 128, 512};
constexpr char FILL = 0x5a;

bool is_space(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The second run of non-space characters, if there is one.
std::optional<std::string_view> second_token(std::string_view line)
{
    auto skip = [&](bool space) {
        std::size_t i = 0;
        while (i < line.size() && is_space(line[i]) == space)
            ++i;
        line.remove_prefix(i);
    };
    skip(true);
    skip(false);
    skip(true);
    if (line.empty())
        return std::nullopt;
    std::size_t len = 0;
    while (len < line.size() && !is_space(line[len]))
        ++len;
    return line.substr(0, len);
}

// The first line of the file, read both ways into buffers of its exact size.
void check_first_line(const std::uint8_t *data, std::size_t size)
{
    const int fd = memfd_create("status", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, data, size) == static_cast<ssize_t>(size));
    for (int read_size : {255, 511}) {
        std::vector<char> by_read(static_cast<std::size_t>(read_size), FILL);
        std::vector<char> by_fgets(static_cast<std::size_t>(read_size), FILL);
        lseek(fd, 0, SEEK_SET);
        const bool read_ok = read_first_line(fd, by_read.data(), read_size);
        lseek(fd, 0, SEEK_SET);
        FILE *f = fdopen(dup(fd), "r");
        FUZZ_CHECK(f != nullptr);
        const bool fgets_ok = fgets(by_fgets.data(), read_size, f) != nullptr;
        fclose(f);
        FUZZ_CHECK(read_ok == fgets_ok);
        if (!read_ok)
            continue;
        // Through the terminator fgets wrote; what the parse sees is the
        // text before the first zero byte of that.
        const auto lf = static_cast<const std::uint8_t *>(memchr(data, '\n', size));
        std::size_t len = std::min(size, static_cast<std::size_t>(read_size - 1));
        if (lf != nullptr)
            len = std::min(len, static_cast<std::size_t>(lf - data) + 1);
        FUZZ_CHECK(memcmp(by_read.data(), by_fgets.data(), len + 1) == 0);
        FUZZ_CHECK(by_read[len] == '\0');
    }
    close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view line(reinterpret_cast<const char *>(data), size);
    const std::optional<std::string_view> token = second_token(line);
    for (std::size_t dst_size : DST_SIZES) {
        std::vector<char> dst(dst_size, FILL);
        const int n = status_line_name(line, dst.data(), dst.size());
        if (!token) {
            FUZZ_CHECK(n == -1);
            continue;
        }
        const std::size_t want = token->size() < dst_size - 1 ? token->size() : dst_size - 1;
        FUZZ_CHECK(n >= 0 && static_cast<std::size_t>(n) == want);
        FUZZ_CHECK(memcmp(dst.data(), token->data(), want) == 0);
        FUZZ_CHECK(dst[want] == '\0');
        // Nothing written past the terminator.
        for (std::size_t i = want + 1; i < dst_size; ++i)
            FUZZ_CHECK(dst[i] == FILL);
    }
    check_first_line(data, size);
    return 0;
}
