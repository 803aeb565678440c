#include "fakes.h"

#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

sockaddr_un unix_addr(const char *path)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    return addr;
}

int bound_socket(int type, const char *path)
{
    unlink(path);
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un addr = unix_addr(path);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        throw std::runtime_error(std::string("cannot bind ") + path);
    return fd;
}

bool read_exact(int fd, void *buf, std::size_t len)
{
    auto *p = static_cast<char *>(buf);
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

LogCapture::LogCapture() : fd_(bound_socket(SOCK_DGRAM, "/dev/socket/logdw"))
{
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
}

LogCapture::~LogCapture()
{
    close(fd_);
    unlink("/dev/socket/logdw");
}

std::vector<LogEntry> LogCapture::take()
{
    std::vector<LogEntry> out;
    for (;;) {
        char buf[8192];
        char control[CMSG_SPACE(sizeof(ucred))];
        iovec iov = {buf, sizeof buf};
        msghdr mh = {};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd_, &mh, MSG_DONTWAIT);
        if (n < 0)
            return out;
        LogEntry e;
        for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                ucred cred;
                memcpy(&cred, CMSG_DATA(c), sizeof cred);
                e.pid = cred.pid;
            }
        }
        if (n < 12)
            continue;
        std::uint16_t tid;
        e.log_id = static_cast<unsigned char>(buf[0]);
        memcpy(&tid, buf + 1, 2);
        memcpy(&e.sec, buf + 3, 4);
        memcpy(&e.nsec, buf + 7, 4);
        e.tid = tid;
        e.prio = static_cast<unsigned char>(buf[11]);
        std::string rest(buf + 12, static_cast<std::size_t>(n) - 12);
        std::size_t z = rest.find('\0');
        e.tag = rest.substr(0, z);
        std::string msg = z == std::string::npos ? "" : rest.substr(z + 1);
        // The payload ends in a zero byte of its own.
        if (!msg.empty() && msg.back() == '\0')
            msg.pop_back();
        e.msg = msg;
        out.push_back(e);
    }
}

std::vector<std::string> LogCapture::take_messages()
{
    std::vector<std::string> out;
    for (auto &e : take())
        out.push_back(e.msg);
    return out;
}

FakePropertyService::FakePropertyService()
    : fd_(bound_socket(SOCK_STREAM, "/dev/socket/property_service"))
{
    listen(fd_, 64);
    thread_ = std::thread([this] { serve(); });
}

FakePropertyService::~FakePropertyService()
{
    stop_ = true;
    thread_.join();
    close(fd_);
    unlink("/dev/socket/property_service");
}

void FakePropertyService::set(const std::string &name, const std::string &value)
{
    std::lock_guard<std::mutex> lock(mu_);
    props_[name] = value;
}

std::vector<std::pair<std::string, std::string>> FakePropertyService::writes()
{
    std::lock_guard<std::mutex> lock(mu_);
    return writes_;
}

std::vector<std::string> FakePropertyService::requests()
{
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

void FakePropertyService::serve()
{
    while (!stop_) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        handle(c);
        close(c);
    }
}

void FakePropertyService::handle(int fd)
{
    std::uint32_t cmd = 0;
    std::uint32_t len = 0;
    if (!read_exact(fd, &cmd, 4) || !read_exact(fd, &len, 4) || len > 4096)
        return;
    std::string name(len, '\0');
    if (!read_exact(fd, name.data(), len))
        return;
    std::string raw(reinterpret_cast<char *>(&cmd), 4);
    raw.append(reinterpret_cast<char *>(&len), 4).append(name);
    std::string value;
    if (cmd == 0x00020001) {
        std::uint32_t vlen = 0;
        if (!read_exact(fd, &vlen, 4) || vlen > 4096)
            return;
        value.resize(vlen);
        if (!read_exact(fd, value.data(), vlen))
            return;
        raw.append(reinterpret_cast<char *>(&vlen), 4).append(value);
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back(raw);
    }
    if (silent) {
        // Hold the connection open without a word until the client gives up.
        char b;
        while (read(fd, &b, 1) > 0) {
        }
        return;
    }
    if (cmd == 0x00020001) {
        if (on_set)
            on_set(name, value);
        {
            std::lock_guard<std::mutex> lock(mu_);
            writes_.emplace_back(name, value);
            if (name.rfind("ctl.", 0) != 0)
                props_[name] = value;
        }
        std::uint32_t status = set_status;
        write(fd, &status, 4);
    } else if (cmd == 0x00020002) {
        std::string v;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto it = props_.find(name);
            if (it != props_.end())
                v = it->second;
        }
        auto vlen = static_cast<std::uint32_t>(v.size());
        std::string reply(reinterpret_cast<char *>(&vlen), 4);
        reply += v;
        write(fd, reply.data(), reply.size());
    }
}
