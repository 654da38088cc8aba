#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "service/log.h"

namespace {
constexpr size_t kStampSize = 32;  // "YYYY-MM-DD HH:MM:SS" is 19
}

void log_line(const char *fmt, ...)
{
    char stamp[kStampSize] = {};
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local))
        strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    fprintf(stderr, "%s call-audio: ", stamp);
    va_list ap;
    va_start(ap, fmt);
    // clang-analyzer misses the va_start just above.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    fflush(stderr);
}
