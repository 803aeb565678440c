// The control channel between a Device and its init: one SOCK_SEQPACKET
// message per request and per reply, made of fixed-width integers and
// length-prefixed byte strings in the machine's byte order.
//
// A record is encoded field by field from its list of fields, Fields<T>
// below or its own fields(): one list serves the writing and the reading.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "sim/device.h"

namespace sim::wire {

// Replies start with this: 0 = done, else an error text follows.
constexpr uint32_t kOk = 0;
constexpr uint32_t kErr = 1;

// The largest reply part a list request fills before it stops; the caller asks again.
constexpr size_t kChunk = 256 * 1024;

class Writer {
public:
    Writer &u32(uint32_t v) { return raw({reinterpret_cast<const char *>(&v), sizeof v}); }
    Writer &i64(int64_t v) { return raw({reinterpret_cast<const char *>(&v), sizeof v}); }
    Writer &str(std::string_view s)
    {
        u32(static_cast<uint32_t>(s.size()));
        return raw(s);
    }
    Writer &raw(std::string_view s)
    {
        buf_.append(s.data(), s.size());
        return *this;
    }
    const std::string &data() const { return buf_; }
    size_t size() const { return buf_.size(); }

private:
    std::string buf_;
};

class Reader {
public:
    explicit Reader(std::string_view d) : d_(d) {}
    uint32_t u32() { return take<uint32_t>(); }
    int64_t i64() { return take<int64_t>(); }
    std::string str()
    {
        uint32_t n = u32();
        need(n);
        std::string s(d_.substr(pos_, n));
        pos_ += n;
        return s;
    }
    bool done() const { return pos_ >= d_.size(); }

private:
    void need(size_t n) const
    {
        if (d_.size() - pos_ < n)
            throw Error("control channel: truncated message");
    }
    template <class T>
    T take()
    {
        T v;
        need(sizeof v);
        std::memcpy(&v, d_.data() + pos_, sizeof v);
        pos_ += sizeof v;
        return v;
    }
    std::string_view d_;
    size_t pos_ = 0;
};

// The fields of a record, in their order on the wire, as pointers to its
// members. A record of the channel's own lists them in a static fields();
// the device's public records are listed here.
template <class T>
struct Fields;
template <class T>
requires requires
{
    T::fields();
}
struct Fields<T> {
    static constexpr auto list() { return T::fields(); }
};

#define SIM_WIRE_FIELDS(T, ...)                                                                                        \
    template <>                                                                                                        \
    struct Fields<T> {                                                                                                 \
        static constexpr auto list() { return std::tuple{__VA_ARGS__}; }                                               \
    }

SIM_WIRE_FIELDS(Timestamp, &Timestamp::realtime_ns, &Timestamp::monotonic_ns);
SIM_WIRE_FIELDS(LogEntry, &LogEntry::well_formed, &LogEntry::log_id, &LogEntry::tid, &LogEntry::sec, &LogEntry::nsec,
                &LogEntry::priority, &LogEntry::tag, &LogEntry::message, &LogEntry::pid, &LogEntry::uid,
                &LogEntry::received, &LogEntry::raw);
SIM_WIRE_FIELDS(PropertyWrite, &PropertyWrite::name, &PropertyWrite::value, &PropertyWrite::status, &PropertyWrite::pid,
                &PropertyWrite::time);
SIM_WIRE_FIELDS(PropertyRead, &PropertyRead::name, &PropertyRead::value, &PropertyRead::pid, &PropertyRead::time);
SIM_WIRE_FIELDS(ServiceEvent, &ServiceEvent::service, &ServiceEvent::state, &ServiceEvent::pid, &ServiceEvent::time);
SIM_WIRE_FIELDS(ServiceInfo, &ServiceInfo::name, &ServiceInfo::state, &ServiceInfo::pid);
SIM_WIRE_FIELDS(ServiceOptions, &ServiceOptions::ignore_sigterm, &ServiceOptions::dies_after);
SIM_WIRE_FIELDS(Process, &Process::pid, &Process::ppid, &Process::state, &Process::name, &Process::uid, &Process::gid,
                &Process::groups);
SIM_WIRE_FIELDS(ExitStatus, &ExitStatus::exited, &ExitStatus::code, &ExitStatus::signal);
SIM_WIRE_FIELDS(JobStatus, &JobStatus::pid, &JobStatus::running, &JobStatus::exit, &JobStatus::out, &JobStatus::err,
                &JobStatus::started, &JobStatus::ended);

#undef SIM_WIRE_FIELDS

template <class T>
concept Record = requires
{
    Fields<T>::list();
};

template <class T>
struct IsVector : std::false_type {
};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {
};
template <class T>
struct IsOptional : std::false_type {
};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {
};
template <class T>
struct IsDuration : std::false_type {
};
template <class R, class P>
struct IsDuration<std::chrono::duration<R, P>> : std::true_type {
};

// Integers, flags and enums of up to four bytes go as four; eight-byte
// ones and durations (in their own unit) as eight.
template <class T>
void put(Writer &w, const T &v)
{
    if constexpr (Record<T>) {
        std::apply([&](auto... member) { (put(w, v.*member), ...); }, Fields<T>::list());
    } else if constexpr (std::is_same_v<T, std::string>) {
        w.str(v);
    } else if constexpr (IsVector<T>::value) {
        w.u32(static_cast<uint32_t>(v.size()));
        for (auto &x : v)
            put(w, x);
    } else if constexpr (IsOptional<T>::value) {
        w.u32(v.has_value());
        put(w, v.value_or(typename T::value_type{}));
    } else if constexpr (IsDuration<T>::value) {
        w.i64(static_cast<int64_t>(v.count()));
    } else if constexpr (sizeof(T) == 8) {
        w.i64(static_cast<int64_t>(v));
    } else {
        static_assert(std::is_integral_v<T> || std::is_enum_v<T>, "no encoding for this type");
        static_assert(sizeof(T) <= 4);
        w.u32(static_cast<uint32_t>(v));
    }
}

template <class T>
void get(Reader &r, T &v)
{
    if constexpr (Record<T>) {
        std::apply([&](auto... member) { (get(r, v.*member), ...); }, Fields<T>::list());
    } else if constexpr (std::is_same_v<T, std::string>) {
        v = r.str();
    } else if constexpr (IsVector<T>::value) {
        v.resize(r.u32());
        for (auto &x : v)
            get(r, x);
    } else if constexpr (IsOptional<T>::value) {
        bool present = r.u32() != 0;
        typename T::value_type x{};
        get(r, x);
        v = present ? std::optional(std::move(x)) : std::nullopt;
    } else if constexpr (IsDuration<T>::value) {
        v = T(r.i64());
    } else if constexpr (sizeof(T) == 8) {
        v = static_cast<T>(r.i64());
    } else {
        v = static_cast<T>(r.u32());
    }
}

// Current time on both clocks.
Timestamp now();

// Sends the message whole or throws; receives one whole message (false, and
// an empty message, at the end of the stream).
void send_msg(int fd, const std::string &m);
bool recv_msg(int fd, std::string &out);

} // namespace sim::wire
