// Finding processes by command name in /proc.
//
// Two families live here. They look alike but answer differently, and callers
// depend on the differences (limits, messages, results), so neither is written
// in terms of the other's public operations; they share only the pure parse
// of a status line.
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr const char *PROC_DIR = "/proc";
// A process's status file, from its entry in PROC_DIR.
inline constexpr const char *PROC_STATUS_PATH = "/proc/%s/status";

// The command name of a /proc/<pid>/status first line ("Name:\t<comm>"): the
// second white-space-separated token, cut to dst_size - 1 characters and
// terminated. Returns the stored length, or -1 when there is no second token.
int status_line_name(std::string_view line, char *dst, std::size_t dst_size);

// The first line of an open file as fgets(line, size, stream) leaves it: at
// most size - 1 bytes, up to and with the first line feed, zero bytes
// included, then a terminator (bytes read past the line feed may follow it).
// False when nothing could be read (size 1 stores an empty line) or a read
// failed.
bool read_first_line(int fd, char *line, int size);

// Lookup used by the USB monitor: the caller clears pids; no zero entry is
// written. 0 when the scan ran, -1 on a bad argument or unreadable /proc.
int findPidByNameEx(const char *name, int *pids, int max);
// 0: at least one such process runs; -1: none, bad name or a negative id;
// 1: the lookup failed.
int isProcessRunningEx(const char *name, int *pids, int max);

// Lookup used by the restart: pids ends with a zero entry.
int find_pid_by_name(const char *name, int *pids, int max);
// 0: one runs; -2: none runs; -1: bad name or failed lookup.
int isProgramRunning(const char *name);
// Sends sig to every process of that name; 0, or -1 on the first failure.
int kill_process_by_name(const char *name, int sig);
