// The uplink beyond its route handler (routes.h): its timing decisions as
// pure functions, the count of reused requests its statistics report, and
// the keeper thread that closes an idle card and bridges late posts. The
// latency budget these decisions share is stated once, in uplink.cc.
#pragma once

#include <cstdint>

// Bytes of a post that may be written to a card holding `delay_ms` of
// audio without passing the 80 ms ceiling: the room left, but at least one
// period (640). Above the ceiling `*trim` is set: the caller throws the
// queue away first, so the whole ceiling is free. A negative (unknown)
// delay allows everything (ULONG_MAX).
unsigned long uplink_allowed_bytes(int delay_ms, bool *trim);
// Bytes to skip at the front of a post of `length` bytes so that at most
// `allowed` are written: whole frames only, so an odd excess is rounded up
// (every later sample would otherwise be split across two frames).
unsigned long uplink_excess_bytes(unsigned long length, unsigned long allowed);
// Whole milliseconds of audio in `bytes` (an odd byte is no frame), as the
// skip counters count them.
uint32_t uplink_skipped_ms(unsigned long bytes);
// True when a post arriving `since_post` seconds after the last good post
// finds whatever that post left unstarted under the start cushion stale:
// it is dropped rather than played late in front of the new audio.
bool uplink_tail_is_stale(double since_post);

// Cushion shedding: the least queue the posts found in the current window,
// and what is still to shed. Zero-filled at start.
struct UplinkShed {
    int low_ms;
    double low_since;  // start of the window; 0.0 before the first post
    uint32_t shed_ms;  // still to shed
};
// Bytes of the oldest audio of a post of `length` bytes to leave out, so a
// queue that stayed at or above 30 ms for a whole 2 s window comes down to
// 20 ms, by at most half of each post (whole frames). `queued_ms` is the
// card's queue the post found (negative: unknown, nothing changes), `now`
// the post's time and `since_post` the seconds since the last good post; a
// pause longer than the stale tail starts a new window. Moves the window in
// `*s` and takes what it sheds off `s->shed_ms`.
unsigned long uplink_shed_bytes(UplinkShed *s, unsigned long length, int queued_ms, double now,
                                double since_post);

// A post's sequence index against the service's one sequence: `started`
// and `next` are the sequence (the index after the newest frame taken for
// the card), `seq` the index of the post's first frame and `frames` how
// many whole frames it carries. `old_frames` is how many of its first
// frames to leave out (taken before, or overtaken); the post brings
// nothing new when that is all of them (always so for no frames). `next`
// is the sequence's index once the rest is taken, and, when nothing is
// new, the index as it stands (the post's own `seq` before any sequence).
// A post that starts more than 1 s of frames (50) behind starts a new
// sequence; one ahead continues it.
struct UplinkSeqCut {
    uint64_t old_frames;
    uint64_t next;
};
UplinkSeqCut uplink_seq_cut(bool started, uint64_t next, uint64_t seq, uint64_t frames);

// What the keeper does at `now` (monotonic seconds): close an idle sink,
// queue silence (starting held audio too when `start_late`), or nothing;
// and when it looks next (`wake_at`). `timing` is set when that wake-up is
// due to the card's queue rather than the idle check, so a post need not
// wake it. `last_used` is the last post to reach the card's lock, good or
// failed; `last_post` the last good post; `level_ms` the card's queue read
// at `level_at` (negative: unknown).
struct UplinkKeeperStep {
    bool close;
    bool pad;
    bool start_late;
    bool timing;
    double wake_at;
};
UplinkKeeperStep uplink_keeper_step(double now, double last_used, double last_post, int level_ms,
                                    double level_at);
// The wake-up after the keeper queued silence or found audio held: the
// queue, `queued_ms` just now, is timed like a post's.
double uplink_keeper_wake(double now, int queued_ms);

// Counts one request that was not the first on its connection; the uplink
// statistics line reports the count since start. Any thread, no lock.
void uplink_count_reused_request();

// Reaper thread body: closes the sink once it has been idle for more than
// 10 s (checked at least every 2 s), and keeps the card fed with silence
// while a post is late, for up to 1 s after the last one. Never returns.
void *reaper_thread(void *);
