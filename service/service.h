// The service: start-up, the request loop, responses, the two route
// handlers and the state they share.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "audio/audio.h"
#include "tls/tls.h"

// --- Log writer and clock ---

// "<YYYY-MM-DD HH:MM:SS> call-audio: <message>\n" on stderr, flushed. Takes
// no lock: lines from two threads may interleave. Never pass a token.
void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// CLOCK_MONOTONIC in seconds. All intervals use it; only log stamps and
// token expiry use the wall clock.
double monotonic_seconds();

// Holds a pthread mutex for its scope. (std::mutex would pull in the C++
// runtime library, which the router does not carry for us.)
class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~MutexGuard() { pthread_mutex_unlock(m_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

private:
    pthread_mutex_t *m_;
};

// --- Requests and responses ---

constexpr size_t kRecvBufferSize = 8192;   // a head of 8191 bytes plus its NUL
constexpr size_t kRecvDataMax = kRecvBufferSize - 1;
constexpr size_t kMethodSize = 8;          // 7 characters and a NUL
constexpr size_t kTargetSize = 256;        // 255 characters and a NUL
constexpr size_t kHeaderValueSize = 32;    // 31 characters and a NUL

// What a route handler hands back to the request loop.
struct RouteResult {
    bool keep_alive;  // the handler lets the connection stay open
    size_t consumed;  // bytes of the buffered tail taken as the body
};

// Looks for "\r\n\r\n" in buf[0, filled) from *search_start on. Returns the
// offset just past it, or 0 when the head is not complete yet; then
// *search_start is moved to the first position not fully tested, so a
// blank line split across two reads is still found and no position is
// tested twice.
size_t find_head_end(const unsigned char *buf, size_t filled, size_t *search_start);
// Scans the request line of `head` like sscanf "%7s %255s" would, but never
// past the head (nor past a NUL in it). Fills the zero-filled `method` and
// `target`; false when either field is missing.
bool parse_request_line(std::string_view head, char (&method)[kMethodSize],
                        char (&target)[kTargetSize]);
// Looks up header `name` (lower case) in `head`, the request's own head
// from its request line to its blank line. The request line never counts;
// names compare without regard to case and must be followed directly by
// ':'; spaces (not tabs) after the colon are skipped; the value runs to CR,
// LF or the head's end, and at most 31 characters of it are stored with a
// NUL. Returns 0 when found, -1 otherwise (then `dest` is untouched).
int header_value(std::string_view head, const char *name, char (&dest)[kHeaderValueSize]);
// The body length that `head` announces: its "content-length" value read
// with strtoul in base 10 (no digits gives 0, trailing characters are
// ignored, "-1" wraps to ULONG_MAX), or 0 when the head has no such line.
// Callers range-check the result.
unsigned long uplink_body_length(std::string_view head);
// Writes one fixed-format answer, head and body in one write (one TLS
// record). Write failures are ignored: a dead peer shows at the next read.
void send_response(TlsConnection *conn, const char *status, const char *content_type,
                   const char *body, int keep_alive);

// Copies `in` into `out` for a log line, each byte outside printable ASCII
// written as \xNN, so request bytes cannot put escape sequences or control
// characters into the log. Always terminates `out`; cuts what does not fit.
void escape_for_log(const char *in, char *out, size_t out_size);

// Thread entry for one accepted connection: handshakes, then runs the
// request loop. Takes ownership of `arg` (a TlsConnection registered with
// connection_register) and releases and closes it when it ends.
void *connection_thread(void *arg);

// --- Live connections ---
//
// At most kMaxConnections exist at once, each with its thread. When all
// places are taken, the one that has waited longest on its peer (in its
// handshake, or for a request head) is closed to make room: a crowd of
// silent, trickling or idle clients cannot lock a user out, and memory and
// threads stay bounded.
constexpr size_t kMaxConnections = 256;

// Called by the accept loop before it accepts: returns once a place is
// free, closing the longest-waiting connection if none is.
void connection_wait_for_room();
// Registers a just-accepted connection, as waiting on its handshake, and
// returns its place (0 to kMaxConnections - 1), which the calls below take
// with the connection; -1 when no place is free (the caller then closes it).
int connection_register(TlsConnection *conn);
// The place of a registered connection, looked up once by its thread; -1
// when it is not registered.
int connection_slot(const TlsConnection *conn);
// The connection's thread marks whether it now waits on its peer for a
// handshake or a request head (true), which makes it the first to be
// closed when room is needed, or works on a request (false).
void connection_waiting(int slot, const TlsConnection *conn, bool waiting);
// Frees the connection's place; called before it is closed.
void connection_release(int slot, const TlsConnection *conn);

// --- Route handlers (same shape; the loop calls them once the head is
// framed, the token accepted and the target cut at '?') ---
//
// `head` is the request's own head, `tail`/`tail_len` the bytes buffered
// after it (the start of a body, maybe a pipelined request), `keep_alive`
// the client's wish. A handler writes its own answer, may read more from
// `conn`, keeps no pointer into the receive buffer and never closes `conn`.

// GET /api/v1/voice_call/audio/stream: endless chunked capture audio until
// superseded, the capture fails or the client goes. Always ends the
// connection (keep_alive false, consumed 0).
RouteResult downlink_stream(TlsConnection *conn, std::string_view head, const unsigned char *tail,
                            size_t tail_len, bool keep_alive);
// POST /api/v1/voice_call/audio/tx: plays the body into the card under the
// 80 ms ceiling. keep_alive true only after "200 OK"; consumed is the body
// bytes taken from the tail.
RouteResult uplink_post(TlsConnection *conn, std::string_view head, const unsigned char *tail,
                        size_t tail_len, bool keep_alive);

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
    // Incremented by every request loop without the mutex, so atomic.
    std::atomic<uint64_t> reused_requests{0};
};
extern UplinkState g_uplink;

// Reaper thread body: closes the sink once it has been idle for more than
// 10 s (checked at least every 2 s), and keeps the card fed with silence
// while a post is late, for up to 1 s after the last one. Never returns.
void *reaper_thread(void *);

// The downlink generation: each stream request that finds the card takes the
// next value; older streams end at the top of their next turn.
extern std::atomic<int32_t> g_downlink_generation;
