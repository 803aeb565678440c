// The USB monitor's path for one datagram: the bytes as its receive leaves
// them, the field scan, the classification and the usb_status log line,
// formatted by the daemon's own log_debug. The log and property calls stay
// in the process (fuzz_support.cpp), where the target reads the line back.
//
// handle_usb_state() itself is private to the monitor and goes on to start
// and stop services, so the target makes the monitor's log call for the
// field with the monitor's format.
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/uevent_rules.h"
#include "util/log.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr std::string_view STATUS_PREFIX = "zel_handle_monitor_usb_loop usb_status:[";
// The log keeps 1023 characters of a message and drops the rest.
constexpr std::size_t LOG_TEXT_MAX = 1023;

// The monitor's receive area, kept from one datagram to the next as the
// monitor keeps it: cleared before each receive, the spare byte never
// written.
char g_msg[UEVENT_BUF_SIZE + 1] = {};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    memset(g_msg, 0, UEVENT_BUF_SIZE);
    // A receive cuts a longer datagram to the area; an empty one is no event.
    const std::size_t n = size < UEVENT_BUF_SIZE ? size : UEVENT_BUF_SIZE;
    if (n == 0)
        return 0;
    memcpy(g_msg, data, n);

    const std::string_view field = find_usb_state_field(std::span<const char>(g_msg, n));
    const std::string_view expected = expected_usb_state_field(std::string_view(g_msg, n));
    FUZZ_CHECK(field.empty() ? expected.empty() : field.data() == expected.data() && field.size() == expected.size());
    FUZZ_CHECK(g_msg[UEVENT_BUF_SIZE] == '\0');
    if (field.empty())
        return 0;
    // A zero follows every field inside the area, the spare byte at worst, so
    // the field read as a C string is the field the scan returned.
    FUZZ_CHECK(field.data()[field.size()] == '\0');
    FUZZ_CHECK(classify_usb_state(field) == expected_usb_event(field));

    reset_captured_log();
    log_debug("zel_handle_monitor_usb_loop usb_status:[%.*s]", static_cast<int>(field.size()), field.data());
    std::string line(STATUS_PREFIX);
    line.append(field).push_back(']');
    if (line.size() > LOG_TEXT_MAX)
        line.resize(LOG_TEXT_MAX);
    const CapturedLog &log = captured_log();
    FUZZ_CHECK(log.calls == 1);
    FUZZ_CHECK(log.prio == LOG_PRIO_DEBUG);
    FUZZ_CHECK(std::string_view(log.tag) == LOG_TAG_MULGATE);
    FUZZ_CHECK(std::string_view(log.text, log.text_len) == line);
    return 0;
}
