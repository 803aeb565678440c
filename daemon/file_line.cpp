#include "daemon/daemon.h"

#include "util/log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int read_file_line(char *dst, int size, const char *path)
{
    memset(dst, 0, static_cast<std::size_t>(size));
    FILE *f = fopen(path, "r");
    if (f == nullptr) {
        int err = errno;
        log_debug("open(\"%s\") fail: %d - %s", path, err, strerror(err));
        return RESULT_FAILURE;
    }
    char line[100] = {};
    if (fgets(line, 99, f) == nullptr) {
        // End of file leaves errno as it was; the line shows whatever it held.
        int err = errno;
        log_debug("read fail: %d - %s", err, strerror(err));
        fclose(f);
        return RESULT_FAILURE;
    }
    std::size_t n = strlen(line);
    if (n > static_cast<std::size_t>(size - 1))
        n = static_cast<std::size_t>(size - 1);
    memcpy(dst, line, n);
    dst[n] = '\0';
    log_debug("read content: %s", dst);
    fclose(f);
    return 0;
}
