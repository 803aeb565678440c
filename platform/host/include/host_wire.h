// What the host layer's property and log calls put on their sockets, for
// both ends: the host layer (platform/host) that sends, and any simulated
// device that answers. Integers are in the machine's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

#include <cutils/properties.h>

// The property service: one stream connection per call. A request is its
// command, then each text as a 4-byte length and its bytes (no zero). SET
// is answered by a 4-byte status, GET by a 4-byte length and the value.
constexpr const char *PROPERTY_SOCKET = "/dev/socket/property_service";
constexpr std::uint32_t PROP_MSG_SETPROP2 = 0x00020001; // name, value
constexpr std::uint32_t PROP_MSG_GETPROP = 0x00020002;  // name
constexpr std::uint32_t PROP_SUCCESS = 0;
// The longest value, without the terminating zero that PROPERTY_VALUE_MAX counts.
constexpr std::size_t PROP_VALUE_LEN_MAX = PROPERTY_VALUE_MAX - 1;

// logd: one datagram per message, the header below (packed, little-endian
// on every Android ABI), then the tag and the message, each ended by a zero.
constexpr const char *LOGDW_SOCKET = "/dev/socket/logdw";
constexpr std::size_t LOG_HEADER_ID = 0;        // 1 byte, 0 for the main log
constexpr std::size_t LOG_HEADER_TID = 1;       // 2 bytes, the low 16 bits of gettid()
constexpr std::size_t LOG_HEADER_SEC = 3;       // 4 bytes of CLOCK_REALTIME
constexpr std::size_t LOG_HEADER_NSEC = 7;      // 4 bytes
constexpr std::size_t LOG_HEADER_PRIORITY = 11; // 1 byte
constexpr std::size_t LOG_HEADER_SIZE = 12;
// The message with its terminating zero, at most.
constexpr std::size_t LOG_PAYLOAD_MAX = 4068;
