// The USB monitor's rules for a uevent datagram, stated apart from the
// daemon's code so that the targets can hold one against the other.
#pragma once

#include "usb_monitor/usb_monitor.h"

#include <string_view>

// The fields are the zero-separated pieces of the bytes; the last one ends
// with the bytes. An empty piece cannot hold the key, so it never matches.
inline std::string_view expected_usb_state_field(std::string_view bytes)
{
    for (;;) {
        const std::size_t end = bytes.find('\0');
        const std::string_view field = bytes.substr(0, end);
        if (field.find("USB_STATE") != std::string_view::npos)
            return field;
        if (end == std::string_view::npos)
            return {};
        bytes.remove_prefix(end + 1);
    }
}

// DISCONNECTED is looked for first: it holds CONNECTED, and a field may hold
// both state words.
inline UsbEvent expected_usb_event(std::string_view field)
{
    if (field.find("DISCONNECTED") != std::string_view::npos)
        return UsbEvent::disconnected;
    if (field.find("CONFIGURED") != std::string_view::npos)
        return UsbEvent::configured;
    return UsbEvent::other;
}
