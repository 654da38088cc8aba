// The uplink beyond its route handler (routes.h): the ceiling's arithmetic,
// the count of reused requests its statistics report, and the keeper
// thread that closes an idle card and bridges late posts.
#pragma once

#include <cstdint>

// The ceiling's arithmetic, apart from the card so it can be checked alone.
// Bytes of a post that may be written to a card holding `delay_ms` of
// audio without passing the 80 ms ceiling: the room left, but at least one
// period (640). Above the ceiling `*trim` is set: the caller throws the
// queue away first, so the whole ceiling is free. A negative (unknown)
// delay allows everything (ULONG_MAX).
unsigned long uplink_allowed_bytes(int delay_ms, bool *trim);
// Whole milliseconds of audio in `bytes` (an odd byte is no frame), as the
// skip counters count them.
uint32_t uplink_skipped_ms(unsigned long bytes);

// Counts one request that was not the first on its connection; the uplink
// statistics line reports the count since start. Any thread, no lock.
void uplink_count_reused_request();

// Reaper thread body: closes the sink once it has been idle for more than
// 10 s (checked at least every 2 s), and keeps the card fed with silence
// while a post is late, for up to 1 s after the last one. Never returns.
void *reaper_thread(void *);
