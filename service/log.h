// The log writer, called from every thread of the service.
#pragma once

// "<YYYY-MM-DD HH:MM:SS> call-audio: <message>\n" on stderr, flushed. Takes
// no lock: lines from two threads may interleave. Never pass a token.
void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
