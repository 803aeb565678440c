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

CapturedLog g_log;

} // namespace

void fuzz_check_failed(const char *condition, const char *file, int line)
{
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    abort();
}

const CapturedLog &captured_log()
{
    return g_log;
}

void reset_captured_log()
{
    g_log.calls = 0;
    g_log.prio = -1;
    g_log.tag[0] = '\0';
    g_log.text[0] = '\0';
    g_log.text_len = 0;
}

extern "C" int __android_log_print(int prio, const char *tag, const char *fmt, ...)
{
    ++g_log.calls;
    g_log.prio = prio;
    snprintf(g_log.tag, sizeof g_log.tag, "%s", tag != nullptr ? tag : "");
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(g_log.text, sizeof g_log.text, fmt, ap);
    va_end(ap);
    g_log.text_len = n < 0 ? 0 : strnlen(g_log.text, sizeof g_log.text);
    return n < 0 ? -1 : n + 1;
}

// No target's path sets or reads a property; reaching one is a fault of the
// path under test, not something to answer.
extern "C" int property_get(const char *key, char *, const char *)
{
    fprintf(stderr, "property_get(\"%s\") reached from a fuzz target\n", key);
    abort();
}

extern "C" int property_set(const char *key, const char *)
{
    fprintf(stderr, "property_set(\"%s\") reached from a fuzz target\n", key);
    abort();
}
