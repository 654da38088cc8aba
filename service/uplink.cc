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

// The uplink's latency budget, every figure the card's queue is held to.
// Each decision that uses them is a pure function (uplink.h) with a table
// test of its own; the code around them only measures the card and acts.
//
//   buffer        120 ms the card plays from (audio::kPlaybackBufferFrames)
//   start         40 ms: a prepared card starts once two periods are queued,
//                 and again after it ran dry (audio::kPlaybackStartPeriods);
//                 one period would leave nothing to bridge the next post's
//                 jitter
//   ceiling       80 ms: a queue above it is thrown away before the next
//                 write (trim); a post larger than the room left loses its
//                 oldest audio (skip), but one period is always written, so
//                 a queue after a write is at most 100 ms, inside the buffer
//   stale tail    0.2 s: a post that comes this long after the last good
//                 post drops what that one left unstarted under the start
//                 cushion, rather than play it late in front of new audio;
//                 longer than any jitter between the posts of a talk spurt
//   shedding      a queue that stayed at or above 30 ms for a whole 2 s
//                 window is brought down to 20 ms, by at most half of each
//                 post, so a cushion grown over a burst of jitter does not
//                 stay as latency once the network is calm again
//   pad point     10 ms: between posts the keeper queues a period of silence
//                 once the card would hold that little (allowing for its own
//                 wake-up being a few milliseconds late), and restarts a card
//                 that ran dry
//   start late    40 ms (two periods) after the last good post, audio held
//                 under the start cushion is started with silence
//   bridge        for 1 s after the last good post the keeper feeds the
//                 card, so a network stall that short is bridged; after it
//                 the talk spurt is over and the card may run dry
//   idle close    more than 10 s after the last post to reach the card the
//                 sink is closed (looked at at least every 2 s), so the
//                 card's playback side is free when nobody speaks
//
// "The post before" is always the last good post (`last_post`); only the
// idle close counts failed posts as use (`last_used`). Posts that carry a
// sequence index are cut to their new frames first (uplink_seq_cut), and
// everything above applies to those frames only.
constexpr int kCeilingMs = 80;
constexpr unsigned long kMinWriteBytes = audio::kPeriodBytes;
constexpr double kStaleTailSeconds = 0.2;
constexpr double kShedWindowSeconds = 2.0;
constexpr int kShedAboveMs = 30;
constexpr int kShedToMs = 20;
constexpr int kPadBelowMs = 10;
constexpr double kStartLateSeconds = audio::kPlaybackStartPeriods * audio::kPeriodFrames /
                                     static_cast<double>(audio::kRate);
constexpr double kBridgeSeconds = 1.0;
constexpr double kIdleLimitSeconds = 10.0;     // strictly more closes the sink
constexpr double kReaperSleepSeconds = 2.0;
// A post more than this many frames behind the sequence starts a new one (a
// reloaded page, another tab); one that close behind is an overtaken or
// overlapping post of the same client, and its old frames are left out.
constexpr uint64_t kSeqRestartFrames = 50;     // 1 s

constexpr unsigned long kMaxBody = 65536;      // 2048 ms of audio
constexpr uint32_t kTrimLogEvery = 10;         // and the first
constexpr uint32_t kSkipLogEvery = 25;         // and the first
constexpr uint32_t kPadLogEvery = 25;          // and the first
constexpr uint32_t kShedLogEvery = 25;         // and the first
constexpr double kStatsWindowSeconds = 5.0;
// A body must be in within this long after its head ended, however the
// client spaces its bytes, so a trickling client cannot hold a thread and
// a 64 KiB buffer for hours.
constexpr double kBodySeconds = 20.0;
constexpr size_t kErrorSize = 256;

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
    double last_used = 0.0;        // monotonic seconds of the last post to reach the card, good or failed
    uint32_t trims = 0;            // since start
    uint32_t skipped_ms = 0;       // since start
    uint32_t skips = 0;            // since start
    int64_t ring_ms_sum = 0;       // card delay readings in this window
    uint32_t ring_samples = 0;
    uint32_t window_posts = 0;     // good posts in this window
    uint32_t window_bytes = 0;     // their body bytes (new frames), skipped parts included
    double window_start = 0.0;     // 0.0 until the first good post
    // The keeper (the reaper's thread) times the card's queue between posts
    // and queues silence when the next post is late, so the card does not
    // run dry inside a talk spurt. The keeper sets `wake` up itself.
    pthread_cond_t wake{};
    bool keeper_ready = false;     // `wake` is usable
    bool keeper_timing = false;    // the keeper will wake by itself in time
    double last_post = 0.0;        // monotonic seconds of the last good post's write
    double level_at = 0.0;         // when level_ms was read
    int level_ms = 0;              // card queue then, ms
    uint32_t pads = 0;             // periods of silence queued, since start
    UplinkShed shed{};             // cushion shedding's window
    uint32_t sheds = 0;            // posts that shed some, since start
    // The one sequence of posts that carry an index: the index after the
    // newest frame taken for the card. It ends with the sink: a sink closed
    // for idleness leaves nothing a late post could be played out of order
    // against.
    bool seq_started = false;
    uint64_t seq_next = 0;
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

unsigned long uplink_excess_bytes(unsigned long length, unsigned long allowed)
{
    if (length <= allowed)
        return 0;
    const unsigned long excess = length - allowed;
    return excess + excess % audio::kBytesPerFrame;
}

uint32_t uplink_skipped_ms(unsigned long bytes)
{
    return static_cast<uint32_t>(audio::bytes_to_ms(bytes));
}

bool uplink_tail_is_stale(double since_post)
{
    return since_post > kStaleTailSeconds;
}

unsigned long uplink_shed_bytes(UplinkShed *s, unsigned long length, int queued_ms, double now,
                                double since_post)
{
    if (queued_ms < 0)
        return 0;
    // The first post after a pause starts a new window, so a burst that
    // follows a stall is judged on its own.
    if (s->low_since == 0.0 || uplink_tail_is_stale(since_post)) {
        s->low_ms = queued_ms;
        s->low_since = now;
    } else if (queued_ms < s->low_ms) {
        s->low_ms = queued_ms;
    }
    if (now - s->low_since >= kShedWindowSeconds) {
        if (s->low_ms >= kShedAboveMs)
            s->shed_ms = static_cast<uint32_t>(s->low_ms - kShedToMs);
        s->low_ms = queued_ms;
        s->low_since = now;
    }
    if (s->shed_ms == 0)
        return 0;
    unsigned long bytes = audio::ms_to_bytes(s->shed_ms);
    const unsigned long half = length / 2 - (length / 2) % audio::kBytesPerFrame;
    if (bytes > half)
        bytes = half;
    const uint32_t ms = uplink_skipped_ms(bytes);
    if (ms == 0)
        return 0;
    s->shed_ms -= ms < s->shed_ms ? ms : s->shed_ms;
    return bytes;
}

UplinkSeqCut uplink_seq_cut(bool started, uint64_t next, uint64_t seq, uint64_t frames)
{
    if (frames == 0)
        return {0, started ? next : seq};
    // No sequence yet, a restart, a continuation or a jump ahead (the
    // frames between are lost or late; late ones will find themselves
    // behind): every frame is new.
    if (!started || seq >= next || next - seq > kSeqRestartFrames)
        return {0, seq + frames};
    const uint64_t old = next - seq;
    if (old >= frames)
        return {frames, next};  // overtaken, or a repeat: nothing new
    return {old, seq + frames};
}

UplinkKeeperStep uplink_keeper_step(double now, double last_used, double last_post, int level_ms,
                                    double level_at)
{
    UplinkKeeperStep step{false, false, false, false, now + kReaperSleepSeconds};
    if (now - last_used > kIdleLimitSeconds) {
        step.close = true;
        return step;
    }
    if (level_ms < 0 || now - last_post > kBridgeSeconds)
        return step;
    // Projected from the last reading, then read again only when it is
    // due: between punctual posts the keeper costs one wake-up.
    const double left_ms = level_ms - (now - level_at) * 1000.0;
    if (left_ms <= kPadBelowMs) {
        step.pad = true;
        step.start_late = now - last_post >= kStartLateSeconds;
        return step;
    }
    step.timing = true;
    step.wake_at = now + (left_ms - kPadBelowMs) / 1000.0;
    return step;
}

double uplink_keeper_wake(double now, int queued_ms)
{
    return now + (queued_ms - kPadBelowMs) / 1000.0;
}

namespace {

// Chooses the part of `length` bytes to play so that the card holds at
// most about 80 ms afterwards: a queue already above the ceiling is
// trimmed, otherwise the oldest audio beyond the room left is skipped, and
// a cushion that stayed high is shed. Returns the bytes to leave out at the
// front; `*queued_ms` is the queue left before the write (-1: unknown).
// Runs with the mutex held.
unsigned long apply_ceiling(UplinkState &u, unsigned long length, double now, int *queued_ms)
{
    bool trim = false;
    const int found = sink_delay_ms(u.sink);
    const unsigned long allowed = uplink_allowed_bytes(found, &trim);
    int queued = found;
    if (trim) {
        int trimmed = sink_trim(u.sink);
        u.trims += 1;
        u.shed.shed_ms = 0;
        if (u.trims == 1 || u.trims % kTrimLogEvery == 0)
            log_line("uplink: dropped %dms of queued audio from the card (%u trims)", trimmed, u.trims);
        queued = 0;
    }
    *queued_ms = queued;
    const unsigned long excess = uplink_excess_bytes(length, allowed);
    if (excess == 0) {
        // The shedding window sees the queue as the post found it.
        const unsigned long shed = uplink_shed_bytes(&u.shed, length, found, now, now - u.last_post);
        if (shed) {
            u.sheds += 1;
            if (u.sheds == 1 || u.sheds % kShedLogEvery == 0)
                log_line("uplink: played %ums less to lower a card queue that stayed above %dms (%u times)",
                         uplink_skipped_ms(shed), kShedAboveMs, u.sheds);
        }
        return shed;
    }
    const uint32_t skipped = uplink_skipped_ms(excess);
    u.skipped_ms += skipped;
    u.skips += 1;
    if (u.skips == 1 || u.skips % kSkipLogEvery == 0)
        log_line("uplink: skipped %ums of stale mic audio to hold the %dms ceiling (%u skips, %ums total)",
                 skipped, kCeilingMs, u.skips, u.skipped_ms);
    return excess;
}

// After a good write, with the mutex held. `level_ms` is the card's queue
// now: it also times the keeper, which is woken only when it is not timing
// the queue already.
void update_stats(UplinkState &u, unsigned long length, int level_ms, double now)
{
    if (level_ms >= 0) {
        u.ring_ms_sum += level_ms;
        u.ring_samples += 1;
    }
    u.level_ms = level_ms;
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

// The head lines a 200 adds for a post that carried an index: where the
// sequence stands, readable by a page of another origin.
void next_lines(uint64_t next, char (&out)[96])
{
    static const char kLead[] = "X-Audio-Next: ";
    static const char kExpose[] = "\r\nAccess-Control-Expose-Headers: X-Audio-Next\r\n";
    char digits[20];  // 2^64 has 20 digits
    size_t n = sizeof(digits);
    do {
        digits[--n] = static_cast<char>('0' + next % 10);
        next /= 10;
    } while (next && n);
    size_t o = 0;
    memcpy(out + o, kLead, sizeof(kLead) - 1);
    o += sizeof(kLead) - 1;
    memcpy(out + o, digits + n, sizeof(digits) - n);
    o += sizeof(digits) - n;
    memcpy(out + o, kExpose, sizeof(kExpose));  // with its NUL
    static_assert(sizeof(kLead) - 1 + 20 + sizeof(kExpose) <= 96, "fits");
}

}  // namespace

RouteResult uplink_post(TlsConnection *conn, std::string_view head, const unsigned char *tail,
                        size_t tail_len, bool keep_alive)
{
    // The length comes from this request's own head only, and the part of
    // the body already buffered is taken from the tail. A malformed index,
    // too long a body, or an indexed body of part of a frame is refused
    // before anything is read.
    unsigned long long seq = 0;
    const int indexed = uplink_seq_param(head, &seq);
    const unsigned long length = uplink_body_length(head);
    const size_t take = length < tail_len ? static_cast<size_t>(length) : tail_len;
    RouteResult result{false, take};
    if (indexed < 0) {
        send_response(conn, "400 Bad Request", kJson, kBodyFalse, 0);
        return result;
    }
    if (length > kMaxBody) {
        send_response(conn, "413 Payload Too Large", kJson, kBodyFalse, 0);
        return result;
    }
    if (indexed && length % audio::kPeriodBytes != 0) {
        send_response(conn, "400 Bad Request", kJson, kBodyFalse, 0);
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

    // One post at a time reaches the card: leave out frames taken before,
    // open the sink if none is, drop a stale unstarted tail, hold the
    // ceiling, write, and keep the statistics, all under the mutex. A post
    // with nothing new touches nothing.
    char err[kErrorSize] = {};
    bool good = false;
    bool fresh = true;
    uint64_t next = 0;
    {
        UplinkState &u = g_uplink;
        MutexGuard lock(&u.mutex);
        const unsigned char *part = body.get();
        unsigned long part_len = length;
        if (indexed) {
            const uint64_t frames = length / audio::kPeriodBytes;
            const UplinkSeqCut cut = uplink_seq_cut(u.seq_started, u.seq_next, seq, frames);
            next = cut.next;
            fresh = cut.old_frames < frames;
            part += cut.old_frames * audio::kPeriodBytes;
            part_len -= static_cast<unsigned long>(cut.old_frames * audio::kPeriodBytes);
        }
        if (fresh && !u.sink) {
            if (char *device = card_device_name()) {
                u.sink = sink_open(device, err, sizeof(err));
                free(device);
                if (u.sink)
                    log_line("uplink sink started");
                else
                    log_line("uplink sink open failed: %s", err);
            }
        }
        int level_ms = -1;
        if (fresh && u.sink) {
            const double arrived = monotonic_seconds();
            if (uplink_tail_is_stale(arrived - u.last_post))
                sink_drop_unstarted(u.sink);
            int queued_ms = -1;
            const unsigned long skip = apply_ceiling(u, part_len, arrived, &queued_ms);
            if (sink_write(u.sink, part + skip, part_len - skip, err, sizeof(err)) == 0) {
                good = true;
                // A write that fit the buffer never waited for room, so
                // the queue is what was there plus what went in: one card
                // query a post. An unknown queue, or a write that may have
                // waited, is read again.
                const int written_ms = static_cast<int>(uplink_skipped_ms(part_len - skip));
                level_ms = queued_ms >= 0 && queued_ms + written_ms <= sink_buffer_ms(u.sink)
                               ? queued_ms + written_ms
                               : sink_delay_ms(u.sink);
            } else {
                log_line("uplink write failed: %s", err);
                sink_close(u.sink);
                u.sink = nullptr;
            }
        }
        if (fresh) {
            const double now = monotonic_seconds();
            if (good) {
                update_stats(u, part_len, level_ms, now);
                if (indexed) {
                    u.seq_started = true;
                    u.seq_next = next;
                }
            }
            u.last_used = now;
        }
    }
    body.reset();

    // The answer goes out with the mutex free and the body released.
    if (fresh && !good) {
        send_response(conn, "503 Service Unavailable", kJson, kBodyFalse, 0);
        return result;
    }
    if (indexed) {
        char lines[96];
        next_lines(next, lines);
        send_response(conn, "200 OK", kJson, "{\"success\":true}", keep_alive, lines);
    } else {
        send_response(conn, "200 OK", kJson, "{\"success\":true}", keep_alive);
    }
    result.keep_alive = true;
    return result;
}

namespace {

// One turn of the keeper, with the mutex held: closes an idle sink, queues
// silence when the card is about to run dry inside a talk spurt, and
// returns when to look again (monotonic seconds).
double keeper_turn(UplinkState &u, double now)
{
    u.keeper_timing = false;
    if (!u.sink)
        return now + kReaperSleepSeconds;
    const UplinkKeeperStep step = uplink_keeper_step(now, u.last_used, u.last_post, u.level_ms, u.level_at);
    if (step.close) {
        sink_close(u.sink);
        u.sink = nullptr;
        u.seq_started = false;
        log_line("uplink sink idle, closed");
        return step.wake_at;
    }
    if (!step.pad) {
        u.keeper_timing = step.timing;
        return step.wake_at;
    }
    char err[kErrorSize] = {};
    int queued = -1;
    const int padded = sink_pad(u.sink, kPadBelowMs, step.start_late, &queued, err, sizeof(err));
    if (padded < 0) {
        log_line("uplink write failed: %s", err);
        sink_close(u.sink);
        u.sink = nullptr;
        return now + kReaperSleepSeconds;
    }
    if (queued < 0 || (padded == 0 && queued <= kPadBelowMs))
        return now + kReaperSleepSeconds;  // nothing to keep playing: the next post starts it
    if (padded) {
        u.pads += 1;
        if (u.pads == 1 || u.pads % kPadLogEvery == 0)
            log_line("uplink: played %dms of silence while a post was late (%u times)", padded, u.pads);
    }
    u.level_ms = queued;
    u.level_at = now;
    u.keeper_timing = true;
    return uplink_keeper_wake(now, queued);
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
