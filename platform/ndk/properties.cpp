// property_get / property_set for an NDK build, where libcutils is not
// available: thin wrappers over bionic's own property calls. A platform build
// (Android.bp) links libcutils instead and never compiles this file.

#include <cutils/properties.h>

#include <sys/system_properties.h>

#include <cstring>

static_assert(PROPERTY_VALUE_MAX == PROP_VALUE_MAX, "the daemon's buffers are sized for bionic's value limit");

namespace {

int store(char *value, const char *text)
{
    size_t len = text != nullptr ? strlen(text) : 0;
    if (len > PROPERTY_VALUE_MAX - 1) {
        len = PROPERTY_VALUE_MAX - 1;
    }
    if (len > 0) {
        memcpy(value, text, len);
    }
    value[len] = '\0';
    return static_cast<int>(len);
}

} // namespace

extern "C" int property_get(const char *key, char *value, const char *default_value)
{
    // bionic writes up to PROP_VALUE_MAX bytes, terminator included, and
    // returns the value's length: 0 for an unset property, an empty one, or
    // one this process may not read (SELinux hides it), all of which take the
    // default here.
    char read_value[PROP_VALUE_MAX] = {};
    if (__system_property_get(key, read_value) > 0) {
        return store(value, read_value);
    }
    return store(value, default_value);
}

extern "C" int property_set(const char *key, const char *value)
{
    return __system_property_set(key, value) == 0 ? 0 : -1;
}
