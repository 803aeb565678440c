// What the fuzz targets share: a check that ends the run as a crash, and the
// Android log and property calls kept inside the process, where a target can
// read what the daemon logged and asked of init.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

[[noreturn]] void fuzz_check_failed(const char *condition, const char *file, int line);

// A plain assert would vanish under NDEBUG; this one stays in every build.
#define FUZZ_CHECK(condition) ((condition) ? static_cast<void>(0) : fuzz_check_failed(#condition, __FILE__, __LINE__))

inline bool holds(std::string_view text, std::string_view word)
{
    return text.find(word) != std::string_view::npos;
}

// Whether any of the zero-separated fields of the bytes holds the word (the
// last field ends with the bytes).
inline bool some_field_holds(std::string_view bytes, std::string_view word)
{
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = bytes.find('\0', at);
        if (holds(bytes.substr(at, end - at), word))
            return true;
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    return false;
}

struct LoggedLine {
    int prio;
    std::string tag;
    std::string text; // whole: a line longer than the daemon's buffer shows
};

// What reached the log and the property service since the last reset. Reads
// find every property unset, as on a device whose property service cannot
// be reached; writes succeed.
struct Captured {
    std::vector<LoggedLine> lines;
    std::vector<std::pair<std::string, std::string>> writes;
    std::vector<std::string> reads;
};

const Captured &captured();
void reset_captured();
