// The log writer, called from every thread of the service, and the gate
// that keeps lines a client can provoke from flooding it.
#pragma once

#include <cstddef>

// "<YYYY-MM-DD HH:MM:SS> call-audio: <message>\n" on stderr, formatted whole
// and written in one write(2), so lines from two threads never interleave.
// A message is cut to fit a line of 1024 bytes. Never pass a token.
void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A line that any client can make the service write, as often as it likes
// (a refused request, say), passes at most kLogGateBurst times in any
// kLogGateWindowSeconds; the lines held back are counted, and the count is
// due once per window. Otherwise a flood would wipe a router's small log
// ring in a second and push the service's real lines out.
constexpr size_t kLogGateBurst = 10;
constexpr double kLogGateWindowSeconds = 10.0;

struct LogGate {
    double passed[kLogGateBurst];  // monotonic seconds of the last lines let through
    size_t next;                   // the oldest of them, overwritten next
    size_t filled;                 // how many of `passed` are set
    unsigned held;                 // lines held back since held_since
    double held_since;
};

// Decides for one line at `now` (monotonic seconds): true when it may be
// written. When the count of lines held back is due (the first of them was
// held a window or more ago), stores it in `*held` and the seconds it spans
// in `*span`, and starts a new count (log it before the line itself);
// otherwise `*held` is 0. A zero-filled gate is ready; callers serialise.
bool log_gate_pass(LogGate *gate, double now, unsigned *held, double *span);
