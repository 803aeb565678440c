// Every request of the control channel: its fields and its reply (void:
// nothing but the status). A Device method sends one (Device::call); one
// method of one room serves it, and the room says so itself (Router::on in
// its routes()). A new capability of the device is a request here, the room
// method that serves it and the Device method that asks for it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "sim/device.h"

namespace sim::wire {

// A part of a journal (log entries, property writes...) from an index on;
// `more` when the part is full and the caller should ask again past it.
template <class T>
struct Chunk {
    std::vector<T> items;
    bool more = false;
    static constexpr auto fields() { return std::tuple{&Chunk::items, &Chunk::more}; }
};

// Journals are asked for from an index on.
struct From {
    uint32_t from = 0;
    static constexpr auto fields() { return std::tuple{&From::from}; }
};

// ---- the property service
struct SetProp {
    std::string name, value;
    using Reply = void;
    static constexpr auto fields() { return std::tuple{&SetProp::name, &SetProp::value}; }
};
struct GetProp {
    std::string name;
    using Reply = std::optional<std::string>;
    static constexpr auto fields() { return std::tuple{&GetProp::name}; }
};
struct Writes : From {
    using Reply = Chunk<PropertyWrite>;
};
struct Reads : From {
    using Reply = Chunk<PropertyRead>;
};
struct PropertyDelay {
    Millis delay{0};
    using Reply = void;
    static constexpr auto fields() { return std::tuple{&PropertyDelay::delay}; }
};

// ---- logd
struct Log : From {
    using Reply = Chunk<LogEntry>;
};
struct PauseLogd {
    bool paused = false;
    using Reply = void;
    static constexpr auto fields() { return std::tuple{&PauseLogd::paused}; }
};

// ---- service control
struct Services {
    using Reply = std::vector<ServiceInfo>;
    static constexpr auto fields() { return std::tuple{}; }
};
struct ServiceEvents : From {
    using Reply = Chunk<ServiceEvent>;
};
struct SetServiceOptions {
    std::string name;
    ServiceOptions options;
    using Reply = void;
    static constexpr auto fields() { return std::tuple{&SetServiceOptions::name, &SetServiceOptions::options}; }
};
struct SpawnNamed {
    std::string name;
    bool ignore_sigterm = false;
    using Reply = pid_t;
    static constexpr auto fields() { return std::tuple{&SpawnNamed::name, &SpawnNamed::ignore_sigterm}; }
};

// ---- the USB gadget
struct UsbState {
    std::string word;
    using Reply = void;
    static constexpr auto fields() { return std::tuple{&UsbState::word}; }
};
struct SendUevent {
    std::string bytes;
    using Reply = void;
    static constexpr auto fields() { return std::tuple{&SendUevent::bytes}; }
};

// ---- the file tree
struct WriteFile {
    std::string path, bytes;
    using Reply = void;
    static constexpr auto fields() { return std::tuple{&WriteFile::path, &WriteFile::bytes}; }
};
struct RemoveFile {
    std::string path;
    using Reply = void;
    static constexpr auto fields() { return std::tuple{&RemoveFile::path}; }
};
struct ReadFile {
    std::string path;
    using Reply = std::optional<std::string>;
    static constexpr auto fields() { return std::tuple{&ReadFile::path}; }
};
struct HideProc {
    bool hidden = false;
    using Reply = void;
    static constexpr auto fields() { return std::tuple{&HideProc::hidden}; }
};

// ---- programs and processes
struct StartJob {
    std::vector<std::string> argv;
    bool without_dac = false;
    using Reply = pid_t;
    static constexpr auto fields() { return std::tuple{&StartJob::argv, &StartJob::without_dac}; }
};
// A program's state with what it wrote from these offsets on, at most
// kChunk bytes of each.
struct Job {
    pid_t pid = 0;
    uint32_t out_from = 0, err_from = 0;
    using Reply = JobStatus;
    static constexpr auto fields() { return std::tuple{&Job::pid, &Job::out_from, &Job::err_from}; }
};
struct Ps {
    using Reply = std::vector<Process>;
    static constexpr auto fields() { return std::tuple{}; }
};
struct Kill {
    pid_t pid = 0;
    int sig = 0;
    using Reply = void;
    static constexpr auto fields() { return std::tuple{&Kill::pid, &Kill::sig}; }
};

// Every request; its place in the list is its number on the wire.
using Requests = std::tuple<SetProp, GetProp, Writes, Reads, PropertyDelay, Log, PauseLogd, Services, ServiceEvents,
                            SetServiceOptions, SpawnNamed, UsbState, SendUevent, WriteFile, RemoveFile, ReadFile,
                            HideProc, StartJob, Job, Ps, Kill>;

template <class T, class... All>
constexpr uint32_t number_in(std::tuple<All...> *)
{
    uint32_t i = 0;
    bool found = ((std::is_same_v<T, All> || (++i, false)) || ...);
    return found ? i : ~0U;
}
template <class T>
constexpr uint32_t kNumber = number_in<T>(static_cast<Requests *>(nullptr));

} // namespace sim::wire
