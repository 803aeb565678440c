// The device's options and a program's end, as the caller sees them.
#include <cstdlib>
#include <cstring>

#include "sim/device.h"

#ifndef DROVIK_RC
#define DROVIK_RC "drovik.rc"
#define DROVIK_DEVICE_RC "android/device/services.rc"
#endif
#ifndef DROVIK_DAEMON_PATH
#define DROVIK_DAEMON_PATH "drovik"
#endif

namespace sim {

std::string ExitStatus::describe() const
{
    if (exited)
        return "exit status " + std::to_string(code);
    return "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
}

std::vector<std::string> split_command(std::string_view text)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t')
            ++j;
        if (j > i)
            out.emplace_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

std::vector<std::string> default_rc_files()
{
    return rc_files_with(DROVIK_RC);
}

std::vector<std::string> rc_files_with(const std::string &drovik_rc)
{
    return {drovik_rc, DROVIK_DEVICE_RC};
}

std::vector<std::string> default_daemon_command()
{
    const char *env = getenv("DROVIK_DAEMON_CMD");
    if (env && *env) {
        auto v = split_command(env);
        if (!v.empty())
            return v;
    }
    return {DROVIK_DAEMON_PATH};
}

} // namespace sim
