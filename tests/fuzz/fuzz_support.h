// What the fuzz targets share: a check that ends the run as a crash, and the
// Android log and property calls kept inside the process, where a target can
// read what the daemon logged.
#pragma once

#include <cstddef>
#include <string_view>

[[noreturn]] void fuzz_check_failed(const char *condition, const char *file, int line);

// A plain assert would vanish under NDEBUG; this one stays in every build.
#define FUZZ_CHECK(condition) ((condition) ? static_cast<void>(0) : fuzz_check_failed(#condition, __FILE__, __LINE__))

// What reached __android_log_print since the last reset: the number of
// calls and the last call's priority, tag and text, whole (room to spare
// beyond what the daemon's own buffer could hold, so a line too long shows).
struct CapturedLog {
    int calls;
    int prio;
    char tag[64];
    char text[8192];
    std::size_t text_len;
};

const CapturedLog &captured_log();
void reset_captured_log();
