// What the daemon makes of the serial function's port count file, by the
// bytes it holds: one table for the decode's unit test and for the
// end-to-end test that has the daemon read the same bytes from the file.
#pragma once

#include <string>
#include <vector>

struct SerialCountCase {
    std::string bytes;
    int count;
    const char *why;
};

inline const std::vector<SerialCountCase> kSerialCounts{
    {"0\n", 0, "no port"},
    {"0", 0, "no port, no line feed"},
    {"1\n", 1, "one port"},
    {"4", 4, "a lone digit"},
    {"10\n", 1, "only the first byte counts"},
    {"7\n\n\n", 7, "line feeds at the end are stripped"},
    {" ", 240, "not a digit: its difference from '0', wrapped"},
    {std::string(1, '\0'), 208, "a zero byte has no special meaning"},
    {"\n\n\n", 0, "nothing but line feeds"},
    {"", 0, "empty"},
    {std::string(9, '\n') + "7", 0, "only nine of the ten bytes read are looked at"},
    {"\n2", 218, "a leading line feed is not stripped"},
};
