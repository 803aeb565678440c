// A uid, gids and capabilities as init gives them to a service it starts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace sim::detail {

struct Credentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary
    // Kept across the uid change and the exec; without, a root service
    // keeps all and another none.
    std::optional<uint64_t> capabilities;
};

// Takes them on in a child between fork and exec, in init's order: keep the
// capabilities over the uid change, primary gid, supplementary groups, uid,
// then the kept set as inheritable and permitted with the bounding set cut
// down to it, and raised into the ambient set so that the exec keeps it
// effective. Only system calls (async-signal-safe). 0, or the errno.
int take_credentials(const Credentials &c);

} // namespace sim::detail
