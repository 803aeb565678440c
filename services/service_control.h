// Starting and stopping the two logging services through init.
#pragma once

#include <cstdint>
#include <span>

inline constexpr const char *SERVICE_MULGATE = "mulgate";
inline constexpr const char *SERVICE_SPRUE = "sprue";
inline constexpr const char *PROP_CTL_START = "ctl.start";
inline constexpr const char *PROP_CTL_STOP = "ctl.stop";
inline constexpr const char *PROP_MULGATE_STATE = "init.svc.mulgate";
inline constexpr const char *PROP_SPRUE_SWITCH = "persist.sys.v3.sprue.state";
inline constexpr const char *USB_SERIAL_PORT_FILE = "/sys/class/android_usb/f_serial/serial_port_num";

int stopService();
int startService();
std::uint8_t read_usb_serial_number();
int sprue_start_by_prop();

// The port count carried by the bytes of the serial function's attribute, as
// read_usb_serial_number() reads them (at most 10 bytes, only 9 looked at).
std::uint8_t decode_serial_count(std::span<const char> bytes);
