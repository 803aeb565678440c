#include "properties.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include <host_wire.h>

#include "channel/router.h"
#include "posix.h"

namespace sim::detail {
namespace {

constexpr uint32_t kMaxField = 64 * 1024;

// Replies other than success; the daemon only tells success from the rest.
enum Status : uint32_t {
    kOk = PROP_SUCCESS,
    kBadRequest = 1,
    kValueTooLong = 2,
    kBadName = 3,
    kUnknownCommand = 4,
    kUnknownService = 5,
    kUnknownControl = 6,
    kReadOnly = 7,
};

const char *status_text(uint32_t s)
{
    switch (s) {
    case kOk: return "ok";
    case kBadRequest: return "malformed request";
    case kValueTooLong: return "value longer than 91 bytes";
    case kBadName: return "invalid name";
    case kUnknownCommand: return "unknown command";
    case kUnknownService: return "no such service";
    case kUnknownControl: return "unknown control property";
    case kReadOnly: return "read-only property, already set";
    default: return "refused";
    }
}

// A name Android's property service takes: letters, digits and "._-@:", in
// parts between dots that are never empty. There is no limit on its length.
bool legal_name(std::string_view name)
{
    if (name.empty() || name.front() == '.' || name.back() == '.' || name.find("..") != std::string_view::npos)
        return false;
    for (char c : name) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && c != '.' && c != '_' && c != '-' && c != '@' && c != ':')
            return false;
    }
    return true;
}

// Reads exactly n bytes; false on end, error or timeout.
bool read_full(int fd, void *p, size_t n)
{
    auto *c = static_cast<char *>(p);
    while (n > 0) {
        ssize_t r = read(fd, c, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

} // namespace

PropertyService::PropertyService(const Options &opts, PersistStore &persist) : persist_(persist)
{
    props_ = persist_.load();
    for (auto &[k, v] : opts.properties) {
        if (!legal_name(k))
            throw Error("invalid property name among the boot properties: \"" + printable(k, true) + "\"");
        props_[k] = v;
    }
    delay_ms_ = opts.property_delay.count();
    if (opts.property_service) {
        sock_ = unix_socket(SOCK_STREAM, PROPERTY_SOCKET, 0666);
        must(listen(sock_, 128) == 0, "listen");
    }
}

void PropertyService::start(MainLoopPort &loop, ServiceControlPort &services)
{
    loop_ = &loop;
    services_ = &services;
    if (sock_ >= 0)
        std::thread([this] { serve_loop(); }).detach();
}

namespace {

// What init does with a write before it is stored: a ctl.* never is.
uint32_t check(const std::string &name, const std::string &value)
{
    if (!legal_name(name))
        return kBadName;
    if (value.size() > PROP_VALUE_LEN_MAX)
        return kValueTooLong;
    if (name.rfind("ctl.", 0) == 0 && !is_control(name))
        return kUnknownControl;
    return kOk;
}

} // namespace

// Stores one write as init does, and tells init's loop of the change.
uint32_t PropertyService::store(const std::string &name, const std::string &value)
{
    {
        std::lock_guard lk(mu_);
        // ro.* take their first value for good, whether from the boot or a write.
        if (name.rfind("ro.", 0) == 0 && props_.count(name))
            return kReadOnly;
        props_[name] = value;
        if (PersistStore::is_persistent(name))
            persist_.save(props_);
    }
    if (loop_)
        loop_->property_changed(name, value);
    return kOk;
}

void PropertyService::answer(const PendingControl &c, bool found)
{
    uint32_t st = found ? kOk : kUnknownService;
    writes_.add({c.name, c.value, st, c.pid, c.time});
    (void)!send(c.conn, &st, sizeof st, MSG_NOSIGNAL);
    close(c.conn);
}

void PropertyService::routes(wire::Router &r)
{
    r.on<wire::SetProp>([this](const wire::SetProp &q) { set(q.name, q.value); });
    r.on<wire::GetProp>([this](const wire::GetProp &q) { return get(q.name); });
    r.on<wire::Writes>([this](const wire::Writes &q) { return writes_.chunk(q.from); });
    r.on<wire::Reads>([this](const wire::Reads &q) { return reads_.chunk(q.from); });
    r.on<wire::PropertyDelay>([this](const wire::PropertyDelay &q) { delay_ms_ = q.delay.count(); });
}

void PropertyService::set(const std::string &name, const std::string &value)
{
    uint32_t st = check(name, value);
    if (st == kOk && is_control(name))
        st = services_->control(control_of(name), value) ? kOk : kUnknownService;
    else if (st == kOk)
        st = store(name, value);
    if (st != kOk)
        throw Error("setprop " + printable(name) + ": refused (" + status_text(st) + ")");
}

std::optional<std::string> PropertyService::get(const std::string &name) const
{
    std::lock_guard lk(mu_);
    auto it = props_.find(name);
    if (it == props_.end())
        return std::nullopt;
    return it->second;
}

void PropertyService::set_own(const std::string &name, const std::string &value)
{
    store(name, value);
}

void PropertyService::serve_loop()
{
    for (;;) {
        int c = accept4(sock_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno != EINTR)
                usleep(1000);
            continue;
        }
        // A ctl.* write keeps its connection until init's loop answers it.
        if (!serve(c))
            close(c);
    }
}

bool PropertyService::serve(int c)
{
    // A writer that stops half-way must not hold the service for long.
    timeval tv{2, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ucred cred{};
    socklen_t cl = sizeof cred;
    getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &cl);

    auto reply = [&](const std::string &bytes) { (void)!send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL); };
    auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), sizeof v); };
    auto read_str = [&](std::string &s) {
        uint32_t n;
        if (!read_full(c, &n, sizeof n) || n > kMaxField)
            return false;
        s.resize(n);
        return n == 0 || read_full(c, s.data(), n);
    };
    auto delay = [&] {
        if (int64_t d = delay_ms_.load(); d > 0)
            std::this_thread::sleep_for(Millis(d));
    };

    uint32_t cmd;
    if (!read_full(c, &cmd, sizeof cmd))
        return false;
    Timestamp t = wire::now();
    if (cmd == PROP_MSG_SETPROP2) {
        std::string name, value;
        if (!read_str(name) || !read_str(value)) {
            reply(u32(kBadRequest));
            return false;
        }
        delay();
        uint32_t st = check(name, value);
        if (st == kOk && is_control(name)) {
            timeval none{0, 0};
            setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
            loop_->queue_control({name, value, c, cred.pid, t});
            return true;
        }
        if (st == kOk)
            st = store(name, value);
        writes_.add({name, value, st, cred.pid, t});
        reply(u32(st));
    } else if (cmd == PROP_MSG_GETPROP) {
        std::string name;
        if (!read_str(name))
            return false;
        delay();
        std::string value = get(name).value_or("").substr(0, PROP_VALUE_LEN_MAX);
        reads_.add({name, value, cred.pid, t});
        reply(u32(static_cast<uint32_t>(value.size())) + value);
    } else {
        reply(u32(kUnknownCommand));
    }
    return false;
}

} // namespace sim::detail
