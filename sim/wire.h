// The control channel between a Device and its init: one SOCK_SEQPACKET
// message per request and per reply, made of fixed-width integers and
// length-prefixed byte strings in the machine's byte order.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device.h"

namespace sim::wire {

enum class Op : uint32_t {
    kReady = 1, // init to Device, once, when it is up (or kFailed with a text)
    kFailed,
    kSetProp,
    kGetProp,
    kWriteFile,
    kRemoveFile,
    kReadFile,
    kSendUevent,
    kUsbState,
    kLog,
    kWrites,
    kReads,
    kServiceEvents,
    kServices,
    kServiceOptions,
    kPropertyDelay,
    kPs,
    kSpawnNamed,
    kKill,
    kHideProc,
    kStartJob,
    kJob,
    kPauseLogd,
};

// Replies start with this: 0 = done, else an error text follows.
constexpr uint32_t kOk = 0;
constexpr uint32_t kErr = 1;

// The largest reply part a list request fills before it stops; the caller asks again.
constexpr size_t kChunk = 256 * 1024;

class Writer {
public:
    Writer &u32(uint32_t v) { return put(&v, sizeof v); }
    Writer &i64(int64_t v) { return put(&v, sizeof v); }
    Writer &str(std::string_view s)
    {
        u32(static_cast<uint32_t>(s.size()));
        buf_.append(s.data(), s.size());
        return *this;
    }
    Writer &raw(std::string_view s)
    {
        buf_.append(s.data(), s.size());
        return *this;
    }
    Writer &stamp(const Timestamp &t) { return i64(t.realtime_ns).i64(t.monotonic_ns); }
    const std::string &data() const { return buf_; }
    size_t size() const { return buf_.size(); }

private:
    Writer &put(const void *p, size_t n)
    {
        buf_.append(static_cast<const char *>(p), n);
        return *this;
    }
    std::string buf_;
};

class Reader {
public:
    explicit Reader(std::string_view d) : d_(d) {}
    uint32_t u32()
    {
        uint32_t v;
        get(&v, sizeof v);
        return v;
    }
    int64_t i64()
    {
        int64_t v;
        get(&v, sizeof v);
        return v;
    }
    std::string str()
    {
        uint32_t n = u32();
        need(n);
        std::string s(d_.substr(pos_, n));
        pos_ += n;
        return s;
    }
    Timestamp stamp()
    {
        Timestamp t;
        t.realtime_ns = i64();
        t.monotonic_ns = i64();
        return t;
    }
    bool done() const { return pos_ >= d_.size(); }

private:
    void need(size_t n) const
    {
        if (d_.size() - pos_ < n)
            throw Error("control channel: truncated message");
    }
    void get(void *p, size_t n)
    {
        need(n);
        std::memcpy(p, d_.data() + pos_, n);
        pos_ += n;
    }
    std::string_view d_;
    size_t pos_ = 0;
};

// One encoding per record, shared by both ends.

inline void put(Writer &w, const LogEntry &e)
{
    w.u32(e.well_formed).u32(e.log_id).u32(e.tid).u32(e.sec).u32(e.nsec).u32(e.priority);
    w.str(e.tag).str(e.message).u32(static_cast<uint32_t>(e.pid)).u32(e.uid).stamp(e.received).str(e.raw);
}

inline void get(Reader &r, LogEntry &e)
{
    e.well_formed = r.u32() != 0;
    e.log_id = static_cast<uint8_t>(r.u32());
    e.tid = static_cast<uint16_t>(r.u32());
    e.sec = r.u32();
    e.nsec = r.u32();
    e.priority = static_cast<uint8_t>(r.u32());
    e.tag = r.str();
    e.message = r.str();
    e.pid = static_cast<pid_t>(r.u32());
    e.uid = r.u32();
    e.received = r.stamp();
    e.raw = r.str();
}

// A text that may be absent (an unset property, a missing file).
inline void put_optional(Writer &w, const std::optional<std::string> &s)
{
    w.u32(s.has_value()).str(s.value_or(""));
}

inline std::optional<std::string> get_optional(Reader &r)
{
    bool present = r.u32() != 0;
    std::string s = r.str();
    if (!present)
        return std::nullopt;
    return s;
}

inline void put(Writer &w, const PropertyWrite &p)
{
    w.str(p.name).str(p.value).u32(p.status).u32(static_cast<uint32_t>(p.pid)).stamp(p.time);
}

inline void get(Reader &r, PropertyWrite &p)
{
    p.name = r.str();
    p.value = r.str();
    p.status = r.u32();
    p.pid = static_cast<pid_t>(r.u32());
    p.time = r.stamp();
}

inline void put(Writer &w, const PropertyRead &p)
{
    w.str(p.name).str(p.value).u32(static_cast<uint32_t>(p.pid)).stamp(p.time);
}

inline void get(Reader &r, PropertyRead &p)
{
    p.name = r.str();
    p.value = r.str();
    p.pid = static_cast<pid_t>(r.u32());
    p.time = r.stamp();
}

inline void put(Writer &w, const ServiceEvent &e)
{
    w.str(e.service).str(e.state).u32(static_cast<uint32_t>(e.pid)).stamp(e.time);
}

inline void get(Reader &r, ServiceEvent &e)
{
    e.service = r.str();
    e.state = r.str();
    e.pid = static_cast<pid_t>(r.u32());
    e.time = r.stamp();
}

inline void put(Writer &w, const ServiceInfo &s)
{
    w.str(s.name).str(s.state).u32(static_cast<uint32_t>(s.pid));
}

inline void get(Reader &r, ServiceInfo &s)
{
    s.name = r.str();
    s.state = r.str();
    s.pid = static_cast<pid_t>(r.u32());
}

inline void put(Writer &w, const ServiceOptions &o)
{
    w.u32(o.ignore_sigterm).u32(o.oneshot);
}

inline void get(Reader &r, ServiceOptions &o)
{
    o.ignore_sigterm = r.u32() != 0;
    o.oneshot = r.u32() != 0;
}

inline void put(Writer &w, const Process &p)
{
    w.u32(static_cast<uint32_t>(p.pid)).u32(static_cast<uint32_t>(p.ppid)).u32(uint8_t(p.state)).str(p.name);
}

inline void get(Reader &r, Process &p)
{
    p.pid = static_cast<pid_t>(r.u32());
    p.ppid = static_cast<pid_t>(r.u32());
    p.state = static_cast<char>(r.u32());
    p.name = r.str();
}

// A part of a program's state: out and err hold what it wrote from the
// offsets asked for on, at most kChunk bytes of each.
inline void put(Writer &w, const JobStatus &j)
{
    ExitStatus e = j.exit.value_or(ExitStatus{});
    w.u32(j.running).u32(e.exited).u32(static_cast<uint32_t>(e.code)).u32(static_cast<uint32_t>(e.signal));
    w.stamp(j.started).stamp(j.ended).str(j.out).str(j.err);
}

inline void get(Reader &r, JobStatus &j)
{
    j.running = r.u32() != 0;
    ExitStatus e;
    e.exited = r.u32() != 0;
    e.code = static_cast<int>(r.u32());
    e.signal = static_cast<int>(r.u32());
    j.exit = j.running ? std::nullopt : std::optional<ExitStatus>(e);
    j.started = r.stamp();
    j.ended = r.stamp();
    j.out = r.str();
    j.err = r.str();
}

inline void put(Writer &w, const std::string &s)
{
    w.str(s);
}

inline void get(Reader &r, std::string &s)
{
    s = r.str();
}

// A list: its length, then the items.
template <class T>
void put(Writer &w, const std::vector<T> &v)
{
    w.u32(static_cast<uint32_t>(v.size()));
    for (auto &x : v)
        put(w, x);
}

template <class T>
void get(Reader &r, std::vector<T> &v)
{
    v.resize(r.u32());
    for (auto &x : v)
        get(r, x);
}

// Current time on both clocks.
Timestamp now();

// Sends the message whole or throws; receives one whole message (empty
// optional-like "" and false on end of stream).
void send_msg(int fd, const std::string &m);
bool recv_msg(int fd, std::string &out);

// Persist file lines: name=value with backslash escapes, so that any byte survives.
std::string escape(std::string_view s);
std::string unescape(std::string_view s);

} // namespace sim::wire
