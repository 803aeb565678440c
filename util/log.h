// The daemon's log: every message goes to the Android log under one tag.
#pragma once

inline constexpr const char *LOG_TAG_MULGATE = "MULGATE";
inline constexpr int LOG_PRIO_DEBUG = 3;
inline constexpr int LOG_PRIO_ERROR = 6;
// Room for one formatted message; the formatter may use all but the last byte,
// so a message is at most 1023 characters and is cut, never split.
inline constexpr int LOG_BUF_SIZE = 1025;
inline constexpr int LOG_FORMAT_LIMIT = 1024;

int log_debug(const char *format, ...) __attribute__((format(printf, 1, 2)));
int log_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
