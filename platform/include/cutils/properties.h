// Android's property calls where libcutils is not at hand: the host build
// implements them over a property service socket (platform/host), an NDK
// build over bionic's system property calls (platform/ndk).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define PROPERTY_KEY_MAX 32
#define PROPERTY_VALUE_MAX 92

// Stores the value (or default_value when unset, empty or unreachable), cut
// to PROPERTY_VALUE_MAX - 1 bytes and terminated; returns the stored length.
int property_get(const char *key, char *value, const char *default_value);
// 0 on success, -1 on any failure.
int property_set(const char *key, const char *value);

#ifdef __cplusplus
}
#endif
