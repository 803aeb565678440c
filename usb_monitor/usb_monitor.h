// The worker thread that follows the USB gadget's state through uevents.
#pragma once

#include <span>
#include <string_view>

inline constexpr int UEVENT_BUF_SIZE = 2048;

void *zel_handle_monitor_usb_loop(void *arg);

// What the monitor does with one datagram it has received: finds its
// USB_STATE field and, when there is one, logs it and acts on it.
void handle_uevent_datagram(std::span<const char> datagram);

// The first zero-terminated field of a uevent datagram that holds
// "USB_STATE", or an empty view when none does. A field that runs to the end
// of the bytes without a zero ends there.
std::string_view find_usb_state_field(std::span<const char> datagram);

// What a USB_STATE field asks of the daemon.
enum class UsbEvent { disconnected, configured, other };
UsbEvent classify_usb_state(std::string_view field);
