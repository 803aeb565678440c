#include "usb_monitor/usb_monitor.h"

#include "services/service_control.h"
#include "util/gate.h"
#include "util/log.h"
#include "util/proc_lookup.h"
#include "util/thread.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <linux/netlink.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int SPRUE_LOOKUP_MAX = 32;
constexpr unsigned SETUP_RETRY_MAX_S = 64;

// Binds the kernel's uevent broadcast. -1 when any step fails: without the
// socket there is nothing to wait on, and select() on a bad descriptor would
// spin.
int open_uevent_socket()
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return -1;
    sockaddr_nl addr = {};
    addr.nl_family = AF_NETLINK;
    addr.nl_pad = 0;
    addr.nl_pid = static_cast<__u32>(getpid());
    addr.nl_groups = 1;
    int rcvbuf = 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || fd >= FD_SETSIZE) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// A daemon without its uevent socket would never react to the cable, so a
// failed set-up is logged and retried, with a growing pause, for as long as
// the thread lives. The thread still ends promptly when asked to.
int open_uevent_socket_retrying()
{
    unsigned pause_s = 1;
    int last_err = 0;
    for (;;) {
        int fd = open_uevent_socket();
        if (fd >= 0)
            return fd;
        int err = errno;
        if (err != last_err)
            log_debug("zel_handle_monitor_usb_loop uevent socket fail: %d - %s", err, strerror(err));
        last_err = err;
        for (unsigned t = 0; t < pause_s * 10; ++t) {
            pub_util_end_thread_if_requested();
            pub_util_pause(100000);
        }
        if (pause_s < SETUP_RETRY_MAX_S)
            pause_s *= 2;
    }
}

void handle_usb_state(std::string_view field)
{
    log_debug("zel_handle_monitor_usb_loop usb_status:[%.*s]", static_cast<int>(field.size()), field.data());
    switch (classify_usb_state(field)) {
    case UsbEvent::disconnected: {
        log_debug("zel_handle_monitor_usb_loop get usb disconnect event");
        stopService();
        int pids[SPRUE_LOOKUP_MAX];
        if (isProcessRunningEx(SERVICE_SPRUE, pids, SPRUE_LOOKUP_MAX) == 0) {
            log_debug("(drovik)SPRUE is already running.\n");
        } else {
            log_debug("(drovik)No SPRUE running.\n");
            sprue_start_by_prop();
        }
        break;
    }
    case UsbEvent::configured:
        log_debug("zel_handle_monitor_usb_loop get usb CONFIGURED event");
        startService();
        break;
    case UsbEvent::other: log_debug("zel_handle_monitor_usb_loop get usb other status event"); break;
    }
}

} // namespace

std::string_view find_usb_state_field(std::span<const char> datagram)
{
    std::size_t off = 0;
    while (off < datagram.size()) {
        const char *p = datagram.data() + off;
        std::size_t len = strnlen(p, datagram.size() - off);
        std::string_view field(p, len);
        if (len > 0 && field.find("USB_STATE") != std::string_view::npos)
            return field;
        off += len + 1;
    }
    return {};
}

void handle_uevent_datagram(std::span<const char> datagram)
{
    std::string_view field = find_usb_state_field(datagram);
    if (!field.empty())
        handle_usb_state(field);
}

UsbEvent classify_usb_state(std::string_view field)
{
    // DISCONNECTED holds CONNECTED, so the order of these tests matters.
    if (field.find("DISCONNECTED") != std::string_view::npos)
        return UsbEvent::disconnected;
    if (field.find("CONFIGURED") != std::string_view::npos)
        return UsbEvent::configured;
    return UsbEvent::other;
}

void *zel_handle_monitor_usb_loop(void * /*arg*/)
{
    // The stop ends this thread with SIGUSR1. One sent to the whole process
    // goes to the idle main thread first, so a stray signal does not leave
    // the daemon deaf to the cable.
    signal(SIGUSR1, pub_util_handle_thread_signal);
    pub_util_await_threads_created();

    int fd = open_uevent_socket_retrying();

    // One spare byte past the receive area stays zero, so a datagram that
    // fills the whole area still ends in a terminator.
    char msg[UEVENT_BUF_SIZE + 1] = {};
    for (;;) {
        pub_util_end_thread_if_requested();
        memset(msg, 0, UEVENT_BUF_SIZE);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval timeout = {0, 100000};
        // The wait holds no lock: a stop signal that no other thread is
        // free to take is taken here.
        int r = gate_wait(Call::idle, [&] { return select(fd + 1, &readable, nullptr, nullptr, &timeout); });
        if (r <= 0 || !FD_ISSET(fd, &readable))
            continue;
        ssize_t n = recvfrom(fd, msg, UEVENT_BUF_SIZE, 0, nullptr, nullptr);
        if (n <= 0)
            continue;
        handle_uevent_datagram(std::span<const char>(msg, static_cast<std::size_t>(n)));
    }
}
