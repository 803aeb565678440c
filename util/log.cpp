#include "util/log.h"

#include "util/outside.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Each call formats into a buffer of its own: the signal paths log from
// several threads at once and must never share one.
int log_vprint(int prio, const char *format, va_list ap)
{
    char buf[LOG_BUF_SIZE] = {};
    vsnprintf(buf, LOG_FORMAT_LIMIT, format, ap);
    // The text is an argument, never the format, so a '%' in a process name
    // or a file's content reaches the log as it is.
    return outside_log(prio, LOG_TAG_MULGATE, buf);
}

} // namespace

int log_debug(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int r = log_vprint(LOG_PRIO_DEBUG, format, ap);
    va_end(ap);
    return r;
}

int log_error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int r = log_vprint(LOG_PRIO_ERROR, format, ap);
    va_end(ap);
    return r;
}
