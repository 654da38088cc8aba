#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "service/log.h"

namespace {
constexpr size_t kStampSize = 32;  // "YYYY-MM-DD HH:MM:SS" is 19
// A whole line on the stack: the longest the service writes (an error
// text of 255 bytes, or a refusal with its two cut fields) is well under.
constexpr size_t kLineSize = 1024;
}  // namespace

void log_line(const char *fmt, ...)
{
    char stamp[kStampSize] = {};
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local))
        strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    // One byte is kept back for the line feed.
    char line[kLineSize];
    int head = snprintf(line, sizeof(line) - 1, "%s call-audio: ", stamp);
    if (head < 0)
        return;
    size_t n = static_cast<size_t>(head);
    va_list ap;
    va_start(ap, fmt);
    // clang-analyzer misses the va_start just above.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    int body = vsnprintf(line + n, sizeof(line) - 1 - n, fmt, ap);
    va_end(ap);
    if (body > 0)
        n += static_cast<size_t>(body) < sizeof(line) - 1 - n ? static_cast<size_t>(body)
                                                               : sizeof(line) - 2 - n;
    line[n++] = '\n';
    for (size_t done = 0; done < n;) {
        ssize_t w = write(STDERR_FILENO, line + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        done += static_cast<size_t>(w);
    }
}

bool log_gate_pass(LogGate *g, double now, unsigned *held, double *span)
{
    // The line passes when fewer than a burst passed within the window.
    const bool pass = g->filled < kLogGateBurst || now - g->passed[g->next] >= kLogGateWindowSeconds;
    if (pass) {
        g->passed[g->next] = now;
        g->next = (g->next + 1) % kLogGateBurst;
        if (g->filled < kLogGateBurst)
            g->filled += 1;
    } else if (g->held++ == 0) {
        g->held_since = now;
    }
    *held = 0;
    if (g->held > 0 && now - g->held_since >= kLogGateWindowSeconds) {
        *held = g->held;
        *span = now - g->held_since;
        g->held = 0;
    }
    return pass;
}
