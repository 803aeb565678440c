// read_file_line() over a file that holds the input: the first input byte
// picks the destination size (1 to 200), the rest is the file. The file is a
// memfd, opened again by path as the daemon opens the USB state file.
#include "daemon/daemon.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char FILL = 0x5a;
// fgets with a size of 99: 98 characters at most, the line feed kept.
constexpr std::size_t LINE_MAX_CHARS = 98;

struct InputFile {
    int fd = -1;
    char path[64] = {};
};

const InputFile &input_file()
{
    static const InputFile file = [] {
        InputFile f;
        f.fd = memfd_create("read_file_line", MFD_CLOEXEC);
        FUZZ_CHECK(f.fd >= 0);
        snprintf(f.path, sizeof f.path, "/proc/self/fd/%d", f.fd);
        return f;
    }();
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int dst_size = 1 + data[0] % 200;
    const std::string_view content(reinterpret_cast<const char *>(data) + 1, size - 1);
    const InputFile &file = input_file();
    FUZZ_CHECK(ftruncate(file.fd, 0) == 0);
    FUZZ_CHECK(pwrite(file.fd, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size()));

    std::vector<char> dst(static_cast<std::size_t>(dst_size), FILL);
    reset_captured();
    const int r = read_file_line(dst.data(), dst_size, file.path);

    // The first line as fgets reads it, as far as its first zero byte (the
    // copy measures it as a C string), cut to what dst holds.
    const std::size_t nl = content.find('\n');
    std::string_view line = content.substr(0, nl == std::string_view::npos ? content.size() : nl + 1);
    line = line.substr(0, LINE_MAX_CHARS);
    line = line.substr(0, line.find('\0'));
    line = line.substr(0, static_cast<std::size_t>(dst_size - 1));

    FUZZ_CHECK(memchr(dst.data(), '\0', dst.size()) != nullptr);
    const Captured &log = captured();
    FUZZ_CHECK(log.lines.size() == 1);
    const std::string &text = log.lines[0].text;
    if (content.empty()) {
        FUZZ_CHECK(r == RESULT_FAILURE);
        FUZZ_CHECK(dst[0] == '\0');
        FUZZ_CHECK(text.starts_with("read fail: "));
        return 0;
    }
    FUZZ_CHECK(r == 0);
    FUZZ_CHECK(std::string_view(dst.data()) == line);
    FUZZ_CHECK(text == "read content: " + std::string(line));
    return 0;
}
