// Private to the tls module: the writers of the caller's error buffer, for
// the listener and connections (tls.cc) and the policy (policy.cc) alike.
// Living in namespace tls keeps format_error apart from the audio module's
// own copy.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tls {
// Formats like vsnprintf into `err`: at most err_size - 1 characters, always
// terminated, longer text cut. Does nothing when `err` is null or err_size 0.
void format_error(char *err, size_t err_size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
}  // namespace tls

// "<step>: <library text> (-0x<code>)" into `err`; the code in hex, the
// form mbed TLS's own headers use for it.
void tls_error(char *err, size_t err_size, const char *step, int32_t code);
