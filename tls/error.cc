#include "tls/error.h"

#include <cstdarg>
#include <cstdio>

#include <mbedtls/error.h>

namespace {
constexpr size_t kLibErrorTextSize = 128;  // mbedtls_strerror text
}  // namespace

namespace tls {
void format_error(char *err, size_t err_size, const char *fmt, ...)
{
    if (!err || err_size == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    // clang-analyzer misses the va_start just above.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(err, err_size, fmt, ap);
    va_end(ap);
}
}  // namespace tls

void tls_error(char *err, size_t err_size, const char *step, int32_t code)
{
    char text[kLibErrorTextSize];
    mbedtls_strerror(code, text, sizeof(text));
    tls::format_error(err, err_size, "%s: %s (-0x%04x)", step, text,
                      static_cast<unsigned>(-static_cast<int64_t>(code)));
}
