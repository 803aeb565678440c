// The USB monitor's handling of one datagram, run for real: the bytes as its
// receive leaves them in its receive area, the scan, the usb_status line and
// the reaction, down to what it asks of init. The log and the property
// service are kept in the process (fuzz_support.cpp): every property reads
// as unset there, so the sprue switch is off.
#include "tests/fuzz/fuzz_support.h"
#include "usb_monitor/usb_monitor.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr std::string_view STATUS_PREFIX = "zel_handle_monitor_usb_loop usb_status:[";
// The log keeps 1023 characters of a message and drops the rest.
constexpr std::size_t LOG_TEXT_MAX = 1023;
const std::pair<std::string, std::string> STOP_MULGATE{"ctl.stop", "mulgate"};

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
    const std::string_view bytes(g_msg, n);

    reset_captured();
    handle_uevent_datagram(std::span<const char>(g_msg, n));
    FUZZ_CHECK(g_msg[UEVENT_BUF_SIZE] == '\0');
    const Captured &c = captured();
    for (const auto &line : c.lines)
        FUZZ_CHECK(line.tag == "MULGATE" && line.prio == 3 && line.text.size() <= LOG_TEXT_MAX);

    if (c.lines.empty()) {
        // Silence only for a datagram none of whose fields holds the key.
        FUZZ_CHECK(!some_field_holds(bytes, "USB_STATE"));
        FUZZ_CHECK(c.writes.empty() && c.reads.empty());
        return 0;
    }

    // The first line names a whole field of the datagram, cut as the log cuts.
    const std::string &status = c.lines[0].text;
    FUZZ_CHECK(status.starts_with(STATUS_PREFIX));
    std::string_view field(status);
    field.remove_prefix(STATUS_PREFIX.size());
    const bool cut = status.size() == LOG_TEXT_MAX && !status.ends_with(']');
    if (!cut) {
        FUZZ_CHECK(field.ends_with(']'));
        field.remove_suffix(1);
    }
    const std::size_t at = bytes.find(field);
    FUZZ_CHECK(at != std::string_view::npos && (at == 0 || bytes[at - 1] == '\0'));
    FUZZ_CHECK(cut || at + field.size() == n || bytes[at + field.size()] == '\0');

    // The second line names the event, and the event what init is asked.
    FUZZ_CHECK(c.lines.size() >= 2);
    const std::string &event = c.lines[1].text;
    if (event == "zel_handle_monitor_usb_loop get usb disconnect event") {
        FUZZ_CHECK(holds(field, "DISCONNECTED") || cut);
        FUZZ_CHECK(!c.writes.empty() && c.writes[0] == STOP_MULGATE && c.writes.size() == 1);
    } else if (event == "zel_handle_monitor_usb_loop get usb CONFIGURED event") {
        FUZZ_CHECK((holds(field, "CONFIGURED") || cut) && !holds(field, "DISCONNECTED"));
        for (const auto &w : c.writes)
            FUZZ_CHECK(w != STOP_MULGATE);
    } else {
        FUZZ_CHECK(event == "zel_handle_monitor_usb_loop get usb other status event");
        FUZZ_CHECK(!holds(field, "CONFIGURED") && !holds(field, "DISCONNECTED"));
        FUZZ_CHECK(c.lines.size() == 2 && c.writes.empty() && c.reads.empty());
    }
    return 0;
}
