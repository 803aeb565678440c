#include "usb_monitor/usb_monitor.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

std::string_view scan(const std::string &bytes)
{
    return find_usb_state_field(std::span<const char>(bytes.data(), bytes.size()));
}

std::string datagram(std::initializer_list<std::string> fields)
{
    std::string d;
    for (const auto &f : fields)
        d.append(f).push_back('\0');
    return d;
}

} // namespace

TEST(UeventScan, FindsTheFirstUsbStateFieldAnywhere)
{
    const std::string header = "change@/devices/virtual/android_usb/android0";
    EXPECT_EQ(scan(datagram({header, "ACTION=change", "USB_STATE=DISCONNECTED", "SEQNUM=7"})),
              "USB_STATE=DISCONNECTED");
    EXPECT_EQ(scan(datagram({header, "USB_STATE=CONFIGURED", "USB_STATE=DISCONNECTED"})), "USB_STATE=CONFIGURED");
    EXPECT_EQ(scan(datagram({header, "USB_STATE_X=1"})), "USB_STATE_X=1");
    // The header is tested like any field, and so is text around the key.
    EXPECT_EQ(scan(datagram({"add@/x/USB_STATE", "USB_STATE=CONFIGURED"})), "add@/x/USB_STATE");
    EXPECT_EQ(scan(datagram({"", "", "xUSB_STATE=CONNECTED"})), "xUSB_STATE=CONNECTED");
    EXPECT_TRUE(scan(datagram({header, "ACTION=change", "USB_STAT=CONFIGURED"})).empty());
    EXPECT_TRUE(scan(datagram({header})).empty());
    EXPECT_TRUE(scan("").empty());
    EXPECT_TRUE(scan(std::string(5, '\0')).empty());
}

TEST(UeventScan, StaysInsideADatagramWithoutZeroBytes)
{
    // Exactly the buffer's size, no terminator: a read past the end shows up
    // under AddressSanitizer, the result shows a wrong length anywhere.
    std::vector<char> full(UEVENT_BUF_SIZE, 'A');
    const std::string key = "USB_STATE=CONFIGURED";
    std::copy(key.begin(), key.end(), full.end() - static_cast<long>(key.size()));
    auto f = find_usb_state_field(std::span<const char>(full.data(), full.size()));
    EXPECT_EQ(f.size(), full.size());
    EXPECT_EQ(f.data(), full.data());

    std::mt19937 rng(42);
    for (int i = 0; i < 2000; ++i) {
        std::vector<char> d(rng() % (UEVENT_BUF_SIZE + 1));
        for (auto &c : d)
            c = static_cast<char>("US_BTAE=\0x"[rng() % 10]);
        auto v = find_usb_state_field(std::span<const char>(d.data(), d.size()));
        if (v.empty())
            continue;
        EXPECT_GE(v.data(), d.data());
        EXPECT_LE(v.data() + v.size(), d.data() + d.size());
        EXPECT_NE(v.find("USB_STATE"), std::string_view::npos);
    }
}

TEST(UeventScan, DisconnectIsTestedBeforeConfigured)
{
    EXPECT_EQ(classify_usb_state("USB_STATE=DISCONNECTED"), UsbEvent::disconnected);
    EXPECT_EQ(classify_usb_state("USB_STATE=CONFIGURED"), UsbEvent::configured);
    EXPECT_EQ(classify_usb_state("USB_STATE=CONFIGURED_DISCONNECTED"), UsbEvent::disconnected);
    EXPECT_EQ(classify_usb_state("USB_STATE=CONNECTED"), UsbEvent::other);
    EXPECT_EQ(classify_usb_state("USB_STATE=configured"), UsbEvent::other);
    EXPECT_EQ(classify_usb_state("USB_STATE_X=1"), UsbEvent::other);
}
