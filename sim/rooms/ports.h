// The interfaces between rooms that call each other. The property service
// hands ctl.* writes to init's main loop (a queue) and tells it each change
// of a property; service control runs on that loop, asks programs to run the
// daemon's service, and keeps its states as init.svc.<name> through the
// property service.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "credentials.h"
#include "sim/device.h"

namespace sim::detail {

enum class Control { kStart, kStop };

// A write init hands to service control: ctl.start or ctl.stop.
inline bool is_control(const std::string &property)
{
    return property == "ctl.start" || property == "ctl.stop";
}

// Which of the two (is_control()) it is.
inline Control control_of(const std::string &property)
{
    return property == "ctl.start" ? Control::kStart : Control::kStop;
}

// init's service control, on the main loop: false, no such service.
class ServiceControlPort {
public:
    virtual bool control(Control what, const std::string &service) = 0;

protected:
    ~ServiceControlPort() = default;
};

// A ctl.* write waiting on the main loop; its writer is answered on `conn`
// once it has been handled.
struct PendingControl {
    std::string name, value;
    int conn = -1;
    pid_t pid = 0;
    Timestamp time;
};

// What the property service's thread hands to init's main loop.
class MainLoopPort {
public:
    virtual void queue_control(PendingControl c) = 0;
    virtual void property_changed(const std::string &name, const std::string &value) = 0;

protected:
    ~MainLoopPort() = default;
};

// The property service as init itself uses it.
class InitPropertiesPort {
public:
    virtual void set_own(const std::string &name, const std::string &value) = 0;
    virtual std::optional<std::string> get(const std::string &name) const = 0;

protected:
    ~InitPropertiesPort() = default;
};

// A program run with a service's credentials, its output captured.
class ProgramPort {
public:
    virtual pid_t run(const std::vector<std::string> &argv, const Credentials &cred) = 0;

protected:
    ~ProgramPort() = default;
};

} // namespace sim::detail
