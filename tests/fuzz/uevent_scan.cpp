// The uevent field scan and the classification of what it finds, on any
// bytes of any length. libFuzzer hands each input in an allocation of its
// exact size, so a scan that reads one byte too far is an AddressSanitizer
// report. The checks are properties of the answer, read off the bytes.
#include "tests/fuzz/fuzz_support.h"
#include "usb_monitor/usb_monitor.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::string_view KEY = "USB_STATE";

// What a class says of the text it was given.
void check_class(std::string_view text)
{
    switch (classify_usb_state(text)) {
    case UsbEvent::disconnected: FUZZ_CHECK(holds(text, "DISCONNECTED")); break;
    case UsbEvent::configured: FUZZ_CHECK(holds(text, "CONFIGURED") && !holds(text, "DISCONNECTED")); break;
    case UsbEvent::other: FUZZ_CHECK(!holds(text, "CONFIGURED") && !holds(text, "DISCONNECTED")); break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    const std::string_view all(bytes, size);
    const std::string_view field = find_usb_state_field(std::span<const char>(bytes, size));

    // Everything before the answer (all of the bytes, when there is none)
    // is made of fields without the key.
    const std::string_view before = field.empty() ? all : all.substr(0, field.data() - bytes);
    FUZZ_CHECK(!some_field_holds(before, KEY));
    if (!field.empty()) {
        FUZZ_CHECK(field.data() >= bytes && field.data() + field.size() <= bytes + size);
        FUZZ_CHECK(holds(field, KEY));
        // A whole field: it starts the bytes or follows a zero, holds none,
        // and a zero or the end of the bytes comes after it.
        FUZZ_CHECK(field.data() == bytes || field.data()[-1] == '\0');
        FUZZ_CHECK(memchr(field.data(), '\0', field.size()) == nullptr);
        FUZZ_CHECK(field.data() + field.size() == bytes + size || field.data()[field.size()] == '\0');
        check_class(field);
    }
    // The classification takes any text, not only what the scan returns.
    check_class(all);
    return 0;
}
