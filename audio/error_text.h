// Private to the audio module: the writer of the caller's error buffer.
// Living in namespace audio keeps it apart from the tls module's own copy.
#pragma once

#include <cstddef>

namespace audio {
// Formats like vsnprintf into `err`: at most err_size - 1 characters, always
// terminated, longer text cut. Does nothing when `err` is null or err_size 0.
void format_error(char *err, size_t err_size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
}  // namespace audio
