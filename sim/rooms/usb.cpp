#include "usb.h"

#include <linux/netlink.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include "channel/router.h"
#include "posix.h"

namespace sim {

std::string Device::uevent_datagram(std::initializer_list<std::string_view> fields)
{
    std::string d;
    for (auto f : fields) {
        d.append(f);
        d.push_back('\0');
    }
    return d;
}

std::string Device::usb_uevent(std::string_view state, unsigned seqnum)
{
    const std::string path(kUsbDevpath);
    return uevent_datagram({"change@" + path, "ACTION=change", "DEVPATH=" + path, "SUBSYSTEM=android_usb",
                            "USB_STATE=" + std::string(state), "SEQNUM=" + std::to_string(seqnum)});
}

namespace detail {

UsbGadget::UsbGadget(const Options &opts)
{
    must(mount("tmpfs", "/sys/class", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755,size=1m") == 0,
         "mount tmpfs on /sys/class");
    mkdir_p("/sys/class/android_usb/android0");
    mkdir_p("/sys/class/android_usb/f_serial");
    if (opts.usb_state)
        write_file(std::string(Device::kStateFile), *opts.usb_state);
    if (opts.serial_port_num)
        write_file(std::string(Device::kPortsFile), *opts.serial_port_num);

    sender_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    must(sender_ >= 0, "netlink socket");
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    // Port ids 0 and the caller's pid are bound explicitly by programs such
    // as the daemon: take one from the kernel's automatic range instead, which
    // starts at init's own pid (1) and so never collides with them.
    must(bind(sender_, reinterpret_cast<sockaddr *>(&self), sizeof self) == 0, "bind netlink");
}

void UsbGadget::routes(wire::Router &r)
{
    r.on<wire::UsbState>([this](const wire::UsbState &q) { set_state(q.word); });
    r.on<wire::SendUevent>([this](const wire::SendUevent &q) { send_uevent(q.bytes); });
}

void UsbGadget::send_uevent(std::string_view bytes)
{
    sockaddr_nl dst{};
    dst.nl_family = AF_NETLINK;
    dst.nl_groups = 1;
    must(sendto(sender_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&dst), sizeof dst) >= 0,
         "send uevent");
}

void UsbGadget::set_state(std::string_view word)
{
    write_file(std::string(Device::kStateFile), std::string(word) + "\n");
    send_uevent(Device::usb_uevent(word, seqnum_++));
}

} // namespace detail
} // namespace sim
