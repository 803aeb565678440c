#include "credentials.h"

#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace sim::detail {
namespace {

int set_caps(uint64_t inheritable_permitted, uint64_t effective)
{
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    const uint64_t permitted = inheritable_permitted | effective;
    for (int i = 0; i < 2; ++i) {
        data[i].inheritable = static_cast<uint32_t>(inheritable_permitted >> (32 * i));
        data[i].permitted = static_cast<uint32_t>(permitted >> (32 * i));
        data[i].effective = static_cast<uint32_t>(effective >> (32 * i));
    }
    return syscall(SYS_capset, &head, data) == 0 ? 0 : errno;
}

uint64_t bit(int cap)
{
    return uint64_t{1} << cap;
}

// Every capability the kernel knows but the kept ones leaves the bounding set.
int drop_bounding(uint64_t keep)
{
    for (int cap = 0; cap < 64; ++cap) {
        if (keep & bit(cap))
            continue;
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            return errno == EINVAL ? 0 : errno; // past the last capability
    }
    return 0;
}

int drop_inheritable()
{
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &head, data) != 0)
        return errno;
    data[0].inheritable = data[1].inheritable = 0;
    return syscall(SYS_capset, &head, data) == 0 ? 0 : errno;
}

} // namespace

int take_credentials(const Credentials &c)
{
    if (c.capabilities && c.uid != 0) {
        int bits = prctl(PR_GET_SECUREBITS);
        if (bits < 0 || prctl(PR_SET_SECUREBITS, bits | SECBIT_KEEP_CAPS | SECBIT_KEEP_CAPS_LOCKED) != 0)
            return errno;
    }
    if (c.gid != 0 && syscall(SYS_setresgid, c.gid, c.gid, c.gid) != 0)
        return errno;
    if (syscall(SYS_setgroups, c.groups.size(), c.groups.data()) != 0)
        return errno;
    if (c.uid != 0 && syscall(SYS_setresuid, c.uid, c.uid, c.uid) != 0)
        return errno;
    if (!c.capabilities)
        return c.uid != 0 ? drop_inheritable() : 0;
    const uint64_t keep = *c.capabilities;
    // SETPCAP only for as long as the bounding set is being cut.
    if (int e = set_caps(keep, bit(CAP_SETPCAP)))
        return e;
    if (int e = drop_bounding(keep))
        return e;
    if (int e = set_caps(keep, 0))
        return e;
    for (int cap = 0; cap < 64; ++cap)
        if ((keep & bit(cap)) && prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0) != 0)
            return errno;
    return 0;
}

} // namespace sim::detail
