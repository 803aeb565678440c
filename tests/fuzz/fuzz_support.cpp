// Linked into every fuzz target ahead of drovik_core, so the linker takes
// these definitions and never pulls the host platform's log and property
// objects: nothing a target does reaches a socket or standard error.
#include "tests/fuzz/fuzz_support.h"

#include <android/log.h>
#include <cutils/properties.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

Captured g_captured;

} // namespace

void fuzz_check_failed(const char *condition, const char *file, int line)
{
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    abort();
}

const Captured &captured()
{
    return g_captured;
}

void reset_captured()
{
    g_captured = {};
}

extern "C" int __android_log_print(int prio, const char *tag, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    g_captured.lines.push_back({prio, tag != nullptr ? tag : "", std::move(text)});
    return n < 0 ? -1 : n + 1;
}

extern "C" int property_get(const char *key, char *value, const char *default_value)
{
    g_captured.reads.emplace_back(key);
    const std::size_t n = default_value != nullptr ? strnlen(default_value, PROPERTY_VALUE_MAX - 1) : 0;
    memcpy(value, default_value != nullptr ? default_value : "", n);
    value[n] = '\0';
    return static_cast<int>(n);
}

extern "C" int property_set(const char *key, const char *value)
{
    g_captured.writes.emplace_back(key, value);
    return 0;
}
