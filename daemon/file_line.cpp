#include "daemon/daemon.h"

#include "util/log.h"
#include "util/outside.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int read_file_line(char *dst, int size, const char *path)
{
    memset(dst, 0, static_cast<std::size_t>(size));
    // Opened through the outside layer, since a file the platform provides
    // may keep its reader waiting, and a stop must not wait with it.
    int fd = outside_open_to_read(path);
    FILE *f = fd < 0 ? nullptr : fdopen(fd, "r");
    if (f == nullptr) {
        int err = errno;
        if (fd >= 0)
            close(fd);
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
