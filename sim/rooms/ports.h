// The two interfaces between rooms that call each other. The property
// service hands ctl.* writes to init's service control; service control tells
// the property service each service's state, which it keeps as init.svc.<name>.
//
// Lock order: service control calls service_state() with its own lock held,
// so the property service never holds its lock while it calls control().
#pragma once

#include <string>

namespace sim::detail {

enum class Control { kStart, kStop };

class ServiceControlPort {
public:
    // Makes the change (fork, SIGTERM, state) before it returns, so that the
    // writer of ctl.* is answered only once it is done. False: no such service.
    virtual bool control(Control what, const std::string &service) = 0;

protected:
    ~ServiceControlPort() = default;
};

class ServiceStatePort {
public:
    virtual void service_state(const std::string &service, const std::string &state) = 0;

protected:
    ~ServiceStatePort() = default;
};

} // namespace sim::detail
