// The uevent field scan and the classification of what it finds, on any
// bytes of any length. libFuzzer hands each input in an allocation of its
// exact size, so a scan that reads one byte too far is an AddressSanitizer
// report.
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/uevent_rules.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    const std::string_view field = find_usb_state_field(std::span<const char>(bytes, size));
    const std::string_view expected = expected_usb_state_field(std::string_view(bytes, size));

    FUZZ_CHECK(field.empty() == expected.empty());
    if (!field.empty()) {
        FUZZ_CHECK(field.data() >= bytes && field.data() + field.size() <= bytes + size);
        FUZZ_CHECK(field.find("USB_STATE") != std::string_view::npos);
        // A whole field: no zero inside, a zero or the end of the bytes after.
        FUZZ_CHECK(memchr(field.data(), '\0', field.size()) == nullptr);
        FUZZ_CHECK(field.data() + field.size() == bytes + size || field.data()[field.size()] == '\0');
        // The first such field, not merely one of them.
        FUZZ_CHECK(field.data() == expected.data() && field.size() == expected.size());
        FUZZ_CHECK(classify_usb_state(field) == expected_usb_event(field));
    }
    // The classification takes any text, not only what the scan returns.
    FUZZ_CHECK(classify_usb_state(std::string_view(bytes, size)) == expected_usb_event(std::string_view(bytes, size)));
    return 0;
}
