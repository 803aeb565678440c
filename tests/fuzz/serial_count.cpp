// The decode of the serial function's port count. The daemon hands it at
// most the 10 bytes it read; the target hands it inputs of any length, in an
// allocation of their exact size, so a read past the bytes is reported.
#include "services/service_control.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    const std::uint8_t count = decode_serial_count(std::span<const char>(bytes, size));

    // Of the first nine bytes, with the line feeds at their end dropped,
    // nothing left is a count of 0; otherwise the first byte less '0',
    // wrapped to a byte.
    const std::string_view head(bytes, size < 9 ? size : 9);
    const bool blank = head.find_last_not_of('\n') == std::string_view::npos;
    const unsigned expected = blank ? 0U : (static_cast<unsigned char>(head[0]) + 256U - 0x30U) % 256U;
    FUZZ_CHECK(count == expected);
    return 0;
}
