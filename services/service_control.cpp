#include "services/service_control.h"

#include "util/log.h"
#include "util/outside.h"
#include "util/thread.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int PROP_BUF_SIZE = 256;
constexpr int STATE_POLLS = 10;
constexpr useconds_t POLL_PAUSE_US = 200000;
constexpr useconds_t SETTLE_PAUSE_US = 10000;

} // namespace

int stopService()
{
    int r = outside_property_set(PROP_CTL_STOP, SERVICE_MULGATE);
    log_debug("stopService() return: %d", r);
    return r;
}

std::uint8_t decode_serial_count(std::span<const char> bytes)
{
    std::size_t n = bytes.size() < 9 ? bytes.size() : 9;
    while (n > 0 && bytes[n - 1] == '\n')
        --n;
    if (n == 0)
        return 0;
    // Only the first byte counts; anything but a digit wraps to a large
    // value, which callers take as "ports on offer".
    return static_cast<std::uint8_t>(static_cast<unsigned char>(bytes[0]) - 0x30);
}

std::uint8_t read_usb_serial_number()
{
    int fd = outside_open_to_read(USB_SERIAL_PORT_FILE);
    if (fd < 0)
        return 0;
    char buf[10];
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    if (n <= 0)
        return 0;
    return decode_serial_count(std::span<const char>(buf, static_cast<std::size_t>(n)));
}

int startService()
{
    std::uint8_t n = read_usb_serial_number();
    log_debug("read_usb_serial_number : [%d]", n);
    if (n == 0) {
        log_debug("usb_config_now not serial");
        return 0;
    }
    // One clear per call; the polls overwrite it, and property_get always
    // terminates what it stores.
    char value[PROP_BUF_SIZE] = {};
    for (int poll = 0; poll < STATE_POLLS; ++poll) {
        outside_property_get(PROP_MULGATE_STATE, value, "stopped");
        log_debug("current service: %s, state: %s", PROP_MULGATE_STATE, value);
        if (strstr(value, "stopped") != nullptr) {
            int r = outside_property_set(PROP_CTL_START, SERVICE_MULGATE);
            log_debug("startService() return: %d", r);
            pub_util_pause(SETTLE_PAUSE_US);
            return r;
        }
        pub_util_pause(POLL_PAUSE_US);
    }
    log_debug("current service: %s is not stopped during 2 seconds, state: %s", PROP_MULGATE_STATE, value);
    log_debug("startService() return: %d", 0);
    pub_util_pause(SETTLE_PAUSE_US);
    return 0;
}

int sprue_start_by_prop()
{
    char value[PROP_BUF_SIZE] = {};
    outside_property_get(PROP_SPRUE_SWITCH, value, "0");
    log_debug("current persist.sys.v3.sprue.state: %s", value);
    int r = 0;
    if (atoi(value) == 1) {
        r = outside_property_set(PROP_CTL_START, SERVICE_SPRUE);
        log_debug("property_set ctl.start sprue");
    }
    log_debug("sprue_start_by_prop return:%d.", r);
    pub_util_pause(SETTLE_PAUSE_US);
    return r;
}
