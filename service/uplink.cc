// The uplink: posted microphone audio played into the card under an 80 ms
// latency ceiling, the uplink statistics, and the reaper that frees the
// card's playback side when nobody speaks.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "audio/audio.h"
#include "base/clock.h"
#include "service/http.h"
#include "service/lock.h"
#include "service/log.h"
#include "service/routes.h"
#include "service/uplink.h"
#include "tls/tls.h"

namespace {

constexpr unsigned long kMaxBody = 65536;      // 2048 ms of audio
constexpr int kCeilingMs = 80;                 // most audio we let queue in the card
constexpr unsigned long kMinWriteBytes = 640;  // one period, 20 ms
constexpr uint32_t kTrimLogEvery = 10;         // and the first
constexpr uint32_t kSkipLogEvery = 25;         // and the first
constexpr double kStatsWindowSeconds = 5.0;
constexpr unsigned kReaperSleepSeconds = 2;
constexpr double kIdleLimitSeconds = 10.0;     // strictly more closes the sink
// A body must be in within this long after its head ended, however the
// client spaces its bytes, so a trickling client cannot hold a thread and
// a 64 KiB buffer for hours.
constexpr double kBodySeconds = 20.0;
constexpr size_t kErrorSize = 256;
// A post that comes this long after the one before finds whatever that one
// left unstarted (less than the card's start cushion) stale: it is thrown
// away rather than played late in front of the new audio. Longer than any
// jitter between the posts of one talk spurt.
constexpr double kStaleTailSeconds = 0.2;

// The keeper queues a period of silence once the card would hold less than
// this, allowing for its own wake-up being late by a few milliseconds.
constexpr int kPadBelowMs = 10;
// Audio left under the start cushion (a post that came to a card that had
// run dry, or the first of a talk spurt) is started with silence once the
// next post is this late: two periods after the post before.
constexpr double kStartLateSeconds = 0.04;
constexpr uint32_t kPadLogEvery = 25;          // and the first
// How long after the last post the card is kept fed: a network stall of up
// to this long is bridged with silence instead of an underrun; after it the
// talk spurt is over and the card may run dry.
constexpr double kBridgeSeconds = 1.0;
// A queue that stayed at or above kShedAboveMs for a whole window is brought
// down to kShedToMs, by at most half of each post, so a cushion grown over a
// burst of jitter does not stay as latency once the network is calm again.
constexpr double kShedWindowSeconds = 2.0;
constexpr int kShedAboveMs = 30;
constexpr int kShedToMs = 20;
constexpr uint32_t kShedLogEvery = 25;         // and the first

constexpr char kJson[] = "application/json";
constexpr char kBodyFalse[] = "{\"success\":false}";

struct FreeDeleter {
    void operator()(unsigned char *p) const { free(p); }
};

// Process-wide uplink state. `mutex` guards every other field but
// `reused_requests`, and every use of the sink; it is held across the card
// measurement, trim, blocking write and statistics of one post, never while
// a body is read or an answer sent.
struct UplinkState {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    PlaybackSink *sink = nullptr;  // the open sink, null while closed
    double last_used = 0.0;        // monotonic seconds of the last post to reach the lock
    uint32_t trims = 0;            // since start
    uint32_t skipped_ms = 0;       // since start
    uint32_t skips = 0;            // since start
    int64_t ring_ms_sum = 0;       // card delay readings in this window
    uint32_t ring_samples = 0;
    uint32_t window_posts = 0;     // good posts in this window
    uint32_t window_bytes = 0;     // their body bytes, skipped parts included
    double window_start = 0.0;     // 0.0 until the first good post
    // The keeper (the reaper's thread) times the card's queue between posts
    // and queues silence when the next post is late, so the card does not
    // run dry inside a talk spurt. The keeper sets `wake` up itself.
    pthread_cond_t wake{};
    bool keeper_ready = false;     // `wake` is usable
    bool keeper_timing = false;    // the keeper will wake by itself in time
    double last_post = 0.0;        // monotonic seconds of the last good post write
    double level_at = 0.0;         // when level_ms was read
    int level_ms = 0;              // card queue then, ms
    uint32_t pads = 0;             // periods of silence queued, since start
    // Cushion shedding: the least queue a post found in this window; a
    // queue that never fell near empty for a whole window holds more
    // latency than the network needs, and the next posts play less of
    // their oldest audio until it does.
    int low_ms = 0;
    double low_since = 0.0;
    uint32_t shed_ms = 0;          // still to shed, ms
    uint32_t sheds = 0;            // posts that shed some, since start
    // Requests that were not the first on their connection, since start.
    // Incremented by every request loop without the mutex, so atomic. The
    // machine word, not 64 bits: a 32-bit MIPS core has no 64-bit atomics,
    // and GCC would call libatomic, which the router does not carry. Wraps
    // after 2^32 on such a core (years of posts), harmlessly: it is only
    // reported.
    std::atomic<unsigned long> reused_requests{0};
};
UplinkState g_uplink;

}  // namespace

void uplink_count_reused_request()
{
    // Only the count matters, nothing is ordered by it: relaxed suffices.
    g_uplink.reused_requests.fetch_add(1, std::memory_order_relaxed);
}

unsigned long uplink_allowed_bytes(int delay_ms, bool *trim)
{
    *trim = delay_ms > kCeilingMs;
    if (delay_ms < 0)
        return ULONG_MAX;  // delay unknown: play it all, count nothing
    if (*trim)
        delay_ms = 0;  // the queue is thrown away before the write
    const unsigned long allowed = audio::ms_to_bytes(static_cast<unsigned long>(kCeilingMs - delay_ms));
    return allowed < kMinWriteBytes ? kMinWriteBytes : allowed;
}

uint32_t uplink_skipped_ms(unsigned long bytes)
{
    return static_cast<uint32_t>(audio::bytes_to_ms(bytes));
}

namespace {

// Tracks the least queue the posts find, and once it stayed high for a
// whole window, skips up to half of this post's oldest audio (whole frames)
// toward the lower cushion. The first post after a pause starts a new
// window, so a burst that follows a stall is judged on its own.
void shed_cushion(UplinkState &u, unsigned long length, int queued_ms, double now,
                  unsigned long *skip)
{
    if (queued_ms < 0)
        return;
    if (u.low_since == 0.0 || now - u.last_post > kStaleTailSeconds) {
        u.low_ms = queued_ms;
        u.low_since = now;
    } else if (queued_ms < u.low_ms) {
        u.low_ms = queued_ms;
    }
    if (now - u.low_since >= kShedWindowSeconds) {
        if (u.low_ms >= kShedAboveMs)
            u.shed_ms = static_cast<uint32_t>(u.low_ms - kShedToMs);
        u.low_ms = queued_ms;
        u.low_since = now;
    }
    if (u.shed_ms == 0)
        return;
    unsigned long bytes = audio::ms_to_bytes(u.shed_ms);
    const unsigned long half = length / 2 - (length / 2) % audio::kBytesPerFrame;
    if (bytes > half)
        bytes = half;
    const uint32_t ms = uplink_skipped_ms(bytes);
    if (ms == 0)
        return;
    u.shed_ms -= ms < u.shed_ms ? ms : u.shed_ms;
    u.sheds += 1;
    if (u.sheds == 1 || u.sheds % kShedLogEvery == 0)
        log_line("uplink: played %ums less to lower a card queue that stayed above %dms (%u times)",
                 ms, kShedAboveMs, u.sheds);
    *skip = bytes;
}

// Chooses the part of the body to play so that the card holds at most
// about 80 ms afterwards: a queue already above the ceiling is trimmed,
// otherwise the body's oldest audio beyond the room left is skipped. Runs
// with the mutex held.
void apply_ceiling(UplinkState &u, unsigned long length, double now, unsigned long *skip)
{
    *skip = 0;
    bool trim = false;
    const int queued_ms = sink_delay_ms(u.sink);
    const unsigned long allowed = uplink_allowed_bytes(queued_ms, &trim);
    if (trim) {
        int trimmed = sink_trim(u.sink);
        u.trims += 1;
        u.shed_ms = 0;
        if (u.trims == 1 || u.trims % kTrimLogEvery == 0)
            log_line("uplink: dropped %dms of queued audio from the card (%u trims)", trimmed, u.trims);
    }
    if (length <= allowed) {
        shed_cushion(u, length, queued_ms, now, skip);
        return;
    }
    // Whole frames only: an odd excess is rounded up, or every sample after
    // it would be split across two frames. The milliseconds counted are
    // those of the frames really skipped.
    unsigned long excess = length - allowed;
    excess += excess % audio::kBytesPerFrame;
    const uint32_t skipped = uplink_skipped_ms(excess);
    u.skipped_ms += skipped;
    u.skips += 1;
    if (u.skips == 1 || u.skips % kSkipLogEvery == 0)
        log_line("uplink: skipped %ums of stale mic audio to hold the %dms ceiling (%u skips, %ums total)",
                 skipped, kCeilingMs, u.skips, u.skipped_ms);
    *skip = excess;
}

// After a good write, with the mutex held. The queue read here also times
// the keeper, which is woken only when it is not timing the queue already.
void update_stats(UplinkState &u, unsigned long length, double now)
{
    int d = sink_delay_ms(u.sink);
    if (d >= 0) {
        u.ring_ms_sum += d;
        u.ring_samples += 1;
    }
    u.level_ms = d;
    u.level_at = now;
    u.last_post = now;
    if (u.keeper_ready && !u.keeper_timing)
        pthread_cond_signal(&u.wake);
    u.window_posts += 1;
    u.window_bytes += static_cast<uint32_t>(length);
    if (u.window_start == 0.0) {
        u.window_start = now;
        return;
    }
    double elapsed = now - u.window_start;
    if (elapsed < kStatsWindowSeconds)
        return;
    double per_post_ms = audio::bytes_to_seconds(u.window_bytes) * 1000.0 /
                         (u.window_posts ? u.window_posts : 1);
    long ring_avg = u.ring_samples ? static_cast<long>(u.ring_ms_sum / static_cast<int64_t>(u.ring_samples)) : -1;
    log_line("uplink: %u posts in %.1fs (%.1f/s), %.0fms audio per post, card ring %ldms avg, %llu reused requests",
             u.window_posts, elapsed, u.window_posts / elapsed, per_post_ms, ring_avg,
             static_cast<unsigned long long>(u.reused_requests.load()));
    u.ring_ms_sum = 0;
    u.ring_samples = 0;
    u.window_posts = 0;
    u.window_bytes = 0;
    u.window_start = now;
}

}  // namespace

RouteResult uplink_post(TlsConnection *conn, std::string_view head, const unsigned char *tail,
                        size_t tail_len, bool keep_alive)
{
    // The length comes from this request's own head only, and the part of
    // the body already buffered is taken from the tail. Too long a body is
    // refused before anything is read.
    const unsigned long length = uplink_body_length(head);
    const size_t take = length < tail_len ? static_cast<size_t>(length) : tail_len;
    RouteResult result{false, take};
    if (length > kMaxBody) {
        send_response(conn, "413 Payload Too Large", kJson, kBodyFalse, 0);
        return result;
    }

    // Gather the whole body before any lock, so a slow client never
    // holds up other posts or the reaper.
    std::unique_ptr<unsigned char, FreeDeleter> body(
        static_cast<unsigned char *>(malloc(length ? length : 1)));
    if (!body) {
        send_response(conn, "500 Internal Server Error", kJson, kBodyFalse, 0);
        return result;
    }
    if (take)
        memcpy(body.get(), tail, take);
    if (take < length)
        tls_deadline(conn, kBodySeconds);
    for (size_t have = take; have < length;) {
        int32_t n = tls_read(conn, body.get() + have, length - have);
        if (n <= 0)
            return result;  // peer gone, timed out or too slow: no answer
        have += static_cast<size_t>(n);
    }
    tls_deadline(conn, 0.0);

    // The card is tested only once the body is in.
    if (!card_present()) {
        send_response(conn, "503 Service Unavailable", kJson,
                      "{\"success\":false,\"error\":\"no modem audio card\"}", 0);
        return result;
    }

    // One post at a time reaches the card: open the sink if none is, drop a
    // stale unstarted tail, hold the ceiling, write, and keep the
    // statistics, all under the mutex.
    char err[kErrorSize] = {};
    bool good = false;
    {
        UplinkState &u = g_uplink;
        MutexGuard lock(&u.mutex);
        if (!u.sink) {
            if (char *device = card_device_name()) {
                u.sink = sink_open(device, err, sizeof(err));
                free(device);
                if (u.sink)
                    log_line("uplink sink started");
                else
                    log_line("uplink sink open failed: %s", err);
            }
        }
        if (u.sink) {
            const double arrived = monotonic_seconds();
            if (arrived - u.last_used > kStaleTailSeconds)
                sink_drop_unstarted(u.sink);
            unsigned long skip = 0;
            apply_ceiling(u, length, arrived, &skip);
            if (sink_write(u.sink, body.get() + skip, length - skip, err, sizeof(err)) == 0) {
                good = true;
            } else {
                log_line("uplink write failed: %s", err);
                sink_close(u.sink);
                u.sink = nullptr;
            }
        }
        const double now = monotonic_seconds();
        if (good)
            update_stats(u, length, now);
        u.last_used = now;
    }
    body.reset();

    // The answer goes out with the mutex free and the body released.
    if (!good) {
        send_response(conn, "503 Service Unavailable", kJson, kBodyFalse, 0);
        return result;
    }
    send_response(conn, "200 OK", kJson, "{\"success\":true}", keep_alive);
    result.keep_alive = true;
    return result;
}

namespace {

// One turn of the keeper, with the mutex held: closes an idle sink, queues
// silence when the card is about to run dry inside a talk spurt, and
// returns when to look again (monotonic seconds).
double keeper_turn(UplinkState &u, double now)
{
    const double reap_at = now + kReaperSleepSeconds;
    u.keeper_timing = false;
    if (!u.sink)
        return reap_at;
    if (now - u.last_used > kIdleLimitSeconds) {
        sink_close(u.sink);
        u.sink = nullptr;
        log_line("uplink sink idle, closed");
        return reap_at;
    }
    if (u.level_ms < 0 || now - u.last_post > kBridgeSeconds)
        return reap_at;
    // Projected from the last reading, then read again only when it is
    // due: between punctual posts the keeper costs one wake-up.
    double left_ms = u.level_ms - (now - u.level_at) * 1000.0;
    if (left_ms <= kPadBelowMs) {
        char err[kErrorSize] = {};
        int queued = -1;
        const bool stale = now - u.last_post >= kStartLateSeconds;
        const int padded = sink_pad(u.sink, kPadBelowMs, stale, &queued, err, sizeof(err));
        if (padded < 0) {
            log_line("uplink write failed: %s", err);
            sink_close(u.sink);
            u.sink = nullptr;
            return reap_at;
        }
        if (queued < 0 || (padded == 0 && queued <= kPadBelowMs))
            return reap_at;  // nothing to keep playing: the next post starts it
        if (padded) {
            u.pads += 1;
            if (u.pads == 1 || u.pads % kPadLogEvery == 0)
                log_line("uplink: played %dms of silence while a post was late (%u times)", padded,
                         u.pads);
        }
        u.level_ms = queued;
        u.level_at = now;
        left_ms = queued;
    }
    u.keeper_timing = true;
    return now + (left_ms - kPadBelowMs) / 1000.0;
}

}  // namespace

void *reaper_thread(void *)
{
    UplinkState &u = g_uplink;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    MutexGuard lock(&u.mutex);
    pthread_cond_init(&u.wake, &attr);
    pthread_condattr_destroy(&attr);
    u.keeper_ready = true;
    for (;;) {
        const double at = keeper_turn(u, monotonic_seconds());
        struct timespec ts;
        ts.tv_sec = static_cast<time_t>(at);
        ts.tv_nsec = static_cast<long>((at - static_cast<double>(ts.tv_sec)) * 1e9);
        if (!u.keeper_timing) {
            // Until a post wakes it, or the next look at an idle sink.
            pthread_cond_timedwait(&u.wake, &u.mutex, &ts);
            continue;
        }
        // Timing the queue between posts: a plain sleep with the mutex
        // free, one system call a turn. (A condition wait costs two: glibc
        // takes the mutex back marked as contended, so every unlock after
        // it wakes the kernel.)
        pthread_mutex_unlock(&u.mutex);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        pthread_mutex_lock(&u.mutex);
    }
    return nullptr;
}
