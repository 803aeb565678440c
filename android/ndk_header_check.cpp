// The NDK build compiles the daemon against platform/include/cutils/
// properties.h, the platform build against libcutils' own header: both must
// declare the same calls (a differing declaration does not compile here) and
// the same limits.

#include <cutils/properties.h>

namespace {
constexpr int PLATFORM_KEY_MAX = PROPERTY_KEY_MAX;
constexpr int PLATFORM_VALUE_MAX = PROPERTY_VALUE_MAX;
} // namespace
#undef PROPERTY_KEY_MAX
#undef PROPERTY_VALUE_MAX

#include "platform/include/cutils/properties.h"

static_assert(PROPERTY_KEY_MAX == PLATFORM_KEY_MAX, "key limit differs from libcutils'");
static_assert(PROPERTY_VALUE_MAX == PLATFORM_VALUE_MAX, "value limit differs from libcutils'");
