// The decode of the serial function's port count. The daemon hands it at
// most the 10 bytes it read; the target hands it inputs of any length, in an
// allocation of their exact size, so a read past the bytes is reported. The
// checks compare the decode with itself on related inputs, and with the
// meaning of a leading digit.
#include "services/service_control.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

std::uint8_t decode(std::string_view bytes)
{
    return decode_serial_count(std::span<const char>(bytes.data(), bytes.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const std::uint8_t count = decode(bytes);

    // Only the first nine bytes are looked at.
    const std::string head(bytes.substr(0, 9));
    FUZZ_CHECK(decode(head) == count);
    // Nothing but line feeds (or nothing at all) is no port.
    if (head.find_first_not_of('\n') == std::string::npos) {
        FUZZ_CHECK(count == 0);
        return 0;
    }
    // Otherwise only the first byte counts, whatever follows it.
    FUZZ_CHECK(decode(std::string{head[0], 'x'}) == count);
    if (head[0] >= '0' && head[0] <= '9') {
        FUZZ_CHECK(count == head[0] - '0');
    } else {
        // Any other first byte is never taken for "no port".
        FUZZ_CHECK(count != 0);
    }
    return 0;
}
