// The one clock every interval is measured with. The bottom layer: any
// module may include it, and it includes nothing of ours.
#pragma once

#include <ctime>

// CLOCK_MONOTONIC in seconds (whole seconds plus nanoseconds / 1e9). All
// intervals use it (deadlines, the capture lead, idle and statistics
// windows); only log stamps and token expiry read the wall clock. Any
// thread. Header-only, so the lower layers use it without linking to the
// service.
inline double monotonic_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
