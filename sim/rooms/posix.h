// Small system-call helpers shared by the rooms of the device's init.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim::detail {

std::string errno_text(const std::string &what);
// Throws Error("what: <errno text>") unless ok.
void must(bool ok, const std::string &what);

void write_all(int fd, std::string_view bytes);
void write_file(const std::string &path, std::string_view bytes, mode_t mode = 0644);
// The whole file, or nullopt when it cannot be opened; relative paths are taken from dirfd.
std::optional<std::string> read_file_at(int dirfd, const std::string &path);
void mkdir_p(const std::string &path, mode_t mode = 0755);
// A Unix socket bound to path, with that mode.
int unix_socket(int type, const char *path, mode_t mode);

int64_t mono_ns();

} // namespace sim::detail
