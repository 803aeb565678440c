// The device's .rc files: the part of init's language this device honours.
// A keyword or an option it does not honour is an error naming the file and
// the line, never skipped: whatever a file says is what the device does.
//
// Threads: parsed once, by init at boot, before any thread exists.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "credentials.h"

namespace sim::detail {

struct RcService {
    std::string name;
    std::vector<std::string> argv; // the path first
    Credentials cred;
    std::vector<std::string> classes;
    bool disabled = false;
    bool oneshot = false;
    bool gentle_kill = false;
    std::string where; // "file:line" of its "service" line
};

// A command of an action: start SERVICE, stop SERVICE, setprop NAME VALUE.
struct RcCommand {
    std::string verb;
    std::vector<std::string> args;
    std::string where;
};

// on property:NAME=VALUE (VALUE "*": any value).
struct RcAction {
    std::string property, value;
    std::vector<RcCommand> commands;
    std::string where;
    bool matches(const std::string &name, const std::string &v) const
    {
        return name == property && (value == "*" || v == value);
    }
};

struct RcScript {
    std::vector<RcService> services;
    std::vector<RcAction> actions;
};

// Adds what `text` (the contents of `file`) says to `into`; throws
// Error("FILE:LINE: why") at the first line it cannot honour.
void parse_rc(const std::string &file, std::string_view text, RcScript &into);
// The files in order, as init reads them.
RcScript load_rc(const std::vector<std::string> &files);

} // namespace sim::detail
