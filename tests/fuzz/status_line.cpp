// The name parse of a /proc/<pid>/status first line, into buffers of several
// sizes: the smallest there is, small ones that cut most names, and the two
// the process lookups use (128 and 512). Each buffer is an allocation of its
// exact size, so a write past it is an AddressSanitizer report.
#include "tests/fuzz/fuzz_support.h"
#include "util/proc_lookup.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <optional>
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
    return 0;
}
