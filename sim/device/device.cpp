// The caller's side of a simulated device, its methods: each asks the
// device's init one request of the control channel (requests.h), or waits
// on such requests.
#include <cstdio>
#include <thread>

#include "channel/requests.h"
#include "channel/wire.h"

namespace sim {

template <class Req>
auto Device::call(const Req &q)
{
    wire::Writer w;
    w.u32(wire::kNumber<Req>);
    wire::put(w, q);
    std::string reply = request(w.data());
    if constexpr (!std::is_void_v<typename Req::Reply>) {
        wire::Reader r(reply);
        typename Req::Reply out{};
        wire::get(r, out);
        return out;
    }
}

template <class Req>
auto Device::fetch(size_t from)
{
    decltype(typename Req::Reply{}.items) out;
    for (;;) {
        Req q;
        q.from = static_cast<uint32_t>(from + out.size());
        auto part = call(q);
        for (auto &x : part.items)
            out.push_back(std::move(x));
        if (!part.more)
            return out;
    }
}

// ---------------------------------------------------------------- USB

void Device::plug()
{
    set_usb_state("CONNECTED");
    std::this_thread::sleep_for(opts_.uevent_gap);
    set_usb_state("CONFIGURED");
}

void Device::unplug()
{
    set_usb_state("DISCONNECTED");
}

void Device::set_usb_state(std::string_view word)
{
    call(wire::UsbState{std::string(word)});
}

void Device::set_ports(int count)
{
    write_file(kPortsFile, std::to_string(count) + "\n");
}

void Device::write_file(std::string_view path, std::string_view bytes)
{
    call(wire::WriteFile{std::string(path), std::string(bytes)});
}

void Device::remove_file(std::string_view path)
{
    call(wire::RemoveFile{std::string(path)});
}

std::optional<std::string> Device::read_file(std::string_view path)
{
    return call(wire::ReadFile{std::string(path)});
}

void Device::send_uevent(std::string_view bytes)
{
    call(wire::SendUevent{std::string(bytes)});
}

std::vector<int64_t> Device::uevent_listeners()
{
    std::vector<int64_t> out;
    // Read by init, so that /proc/1/net is the device's network namespace.
    auto text = read_file("/proc/1/net/netlink");
    if (!text)
        return out;
    size_t pos = text->find('\n'); // past the heading
    while (pos != std::string::npos && pos + 1 < text->size()) {
        size_t nl = text->find('\n', pos + 1);
        std::string line = text->substr(pos + 1, nl == std::string::npos ? std::string::npos : nl - pos - 1);
        pos = nl;
        char sk[32];
        int proto = 0;
        unsigned long port = 0, groups = 0;
        if (sscanf(line.c_str(), "%31s %d %lu %lx", sk, &proto, &port, &groups) != 4)
            continue;
        if (proto == 15 && (groups & 1))
            out.push_back(static_cast<int32_t>(static_cast<uint32_t>(port)));
    }
    return out;
}

bool Device::wait_daemon_listening(Millis timeout)
{
    return wait_until(
        [&] {
            if (daemon_pid_ <= 0)
                return false;
            for (auto p : uevent_listeners())
                if (p == daemon_pid_)
                    return true;
            return false;
        },
        timeout, 5ms);
}

// ---------------------------------------------------------------- properties and services

void Device::setprop(std::string_view name, std::string_view value)
{
    call(wire::SetProp{std::string(name), std::string(value)});
}

std::optional<std::string> Device::getprop(std::string_view name)
{
    return call(wire::GetProp{std::string(name)});
}

std::vector<PropertyWrite> Device::property_writes()
{
    return fetch<wire::Writes>(0);
}

std::vector<PropertyRead> Device::property_reads()
{
    return fetch<wire::Reads>(0);
}

std::vector<ServiceEvent> Device::service_events()
{
    return fetch<wire::ServiceEvents>(0);
}

std::vector<ServiceInfo> Device::services()
{
    return call(wire::Services{});
}

ServiceInfo Device::service(std::string_view name)
{
    for (auto &s : services())
        if (s.name == name)
            return s;
    throw Error("no such service: " + std::string(name));
}

void Device::set_service_options(std::string_view name, ServiceOptions o)
{
    call(wire::SetServiceOptions{std::string(name), o});
}

void Device::set_property_delay(Millis delay)
{
    call(wire::PropertyDelay{delay});
}

bool Device::wait_service_state(std::string_view name, std::string_view state, Millis timeout)
{
    return wait_until([&] { return service(name).state == state; }, timeout);
}

// ---------------------------------------------------------------- processes

std::vector<Process> Device::ps()
{
    return call(wire::Ps{});
}

std::vector<pid_t> Device::pids_named(std::string_view name)
{
    std::vector<pid_t> out;
    for (auto &p : ps())
        if (p.name == name)
            out.push_back(p.pid);
    return out;
}

pid_t Device::spawn_named(std::string_view name, bool ignore_sigterm)
{
    return call(wire::SpawnNamed{std::string(name), ignore_sigterm});
}

void Device::kill(pid_t pid, int sig)
{
    call(wire::Kill{pid, sig});
}

void Device::hide_proc(bool hidden)
{
    call(wire::HideProc{hidden});
}

// ---------------------------------------------------------------- programs and the daemon

pid_t Device::start_job(const std::vector<std::string> &argv)
{
    return call(wire::StartJob{argv, false});
}

JobStatus Device::job(pid_t pid)
{
    JobStatus j;
    j.pid = pid;
    for (;;) {
        auto part = call(wire::Job{pid, static_cast<uint32_t>(j.out.size()), static_cast<uint32_t>(j.err.size())});
        j.running = part.running;
        j.exit = part.exit;
        j.started = part.started;
        j.ended = part.ended;
        j.out += part.out;
        j.err += part.err;
        if (part.out.size() < wire::kChunk && part.err.size() < wire::kChunk)
            return j;
    }
}

std::optional<JobStatus> Device::wait_job(pid_t pid, Millis timeout)
{
    std::optional<JobStatus> last;
    bool done = wait_until(
        [&] {
            last = job(pid);
            return !last->running;
        },
        timeout, 5ms);
    if (!done)
        return std::nullopt;
    return last;
}

pid_t Device::start_daemon()
{
    std::lock_guard lk(mu_);
    if (daemon_pid_ > 0 && job(daemon_pid_).running)
        throw Error("the daemon is already running");
    setprop("ctl.start", opts_.daemon_service);
    if (follow_daemon() == 0)
        throw Error("init could not start the daemon's service " + opts_.daemon_service);
    return daemon_pid_;
}

pid_t Device::follow_daemon()
{
    std::lock_guard lk(mu_);
    // Its last start, even when it has ended since.
    pid_t p = 0;
    for (auto &e : service_events())
        if (e.service == opts_.daemon_service && e.state == "running")
            p = e.pid;
    if (p > 0)
        daemon_pid_ = p;
    return p;
}

pid_t Device::start_daemon(const std::vector<std::string> &argv)
{
    std::lock_guard lk(mu_);
    if (daemon_pid_ > 0 && job(daemon_pid_).running)
        throw Error("the daemon is already running");
    daemon_pid_ = call(wire::StartJob{argv, opts_.daemon_without_dac});
    return daemon_pid_;
}

void Device::signal_daemon(int sig)
{
    if (daemon_pid_ <= 0)
        throw Error("the daemon has not been started");
    kill(daemon_pid_, sig);
}

JobStatus Device::daemon_status()
{
    if (daemon_pid_ <= 0)
        return {};
    return job(daemon_pid_);
}

std::optional<ExitStatus> Device::wait_daemon_exit(Millis timeout)
{
    if (daemon_pid_ <= 0)
        throw Error("the daemon has not been started");
    auto j = wait_job(daemon_pid_, timeout);
    if (!j)
        return std::nullopt;
    return j->exit;
}

// ---------------------------------------------------------------- log

const std::vector<LogEntry> &Device::log()
{
    std::lock_guard lk(mu_);
    auto more = fetch<wire::Log>(log_.size());
    for (auto &e : more)
        log_.push_back(std::move(e));
    return log_;
}

std::optional<size_t> Device::wait_for_log(const std::function<bool(const LogEntry &)> &pred, Millis timeout,
                                           size_t from)
{
    std::optional<size_t> found;
    size_t next = from;
    wait_until(
        [&] {
            const auto &l = log();
            for (; next < l.size(); ++next) {
                if (pred(l[next])) {
                    found = next;
                    return true;
                }
            }
            return false;
        },
        timeout, 5ms);
    return found;
}

std::optional<size_t> Device::wait_for_message(std::string_view text, Millis timeout, size_t from)
{
    return wait_for_log([&](const LogEntry &e) { return e.message == text; }, timeout, from);
}

void Device::pause_logd(bool paused)
{
    call(wire::PauseLogd{paused});
}

size_t Device::wait_log_quiet(Millis quiet, Millis timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    size_t n = log().size();
    auto last_change = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
        size_t m = log().size();
        auto t = std::chrono::steady_clock::now();
        if (m != n) {
            n = m;
            last_change = t;
        } else if (t - last_change >= quiet) {
            break;
        }
    }
    return n;
}

bool Device::wait_until(const std::function<bool()> &cond, Millis timeout, Millis period)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(period);
    }
}

} // namespace sim
