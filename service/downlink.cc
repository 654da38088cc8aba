// The downlink: the far end's voice as one endless chunked response, one
// chunk per capture period, shedding backlog to keep the client near real
// time, and yielding to any newer stream request.
#include <cstdlib>
#include <cstring>

#include <atomic>

#include "audio/audio.h"
#include "base/clock.h"
#include "service/http.h"
#include "service/log.h"
#include "service/routes.h"
#include "tls/tls.h"

namespace {

// The downlink generation: each stream request that finds the card takes
// the next value; older streams end at the top of their next turn.
// Sequentially consistent fetch-and-add by each new stream; read once per
// loop turn by every live stream. It guards no other data, so the read
// needs nothing beyond its own atomicity.
std::atomic<int32_t> g_downlink_generation{0};

constexpr double kShedLeadSeconds = 0.25;   // strictly above this, reads are shed
constexpr double kStatusIntervalSeconds = 10.0;
constexpr size_t kErrorSize = 256;
// Size line ("280\r\n" at most 5 bytes for a read of up to 640 bytes), the
// audio and its CRLF, assembled to go out as one write and one TLS record.
constexpr size_t kSizeLineMax = 5;
constexpr size_t kChunkSize = kSizeLineMax + audio::kPeriodBytes + 2;
static_assert(audio::kPeriodBytes <= 0xfff, "a read's size fits the size line's three hex digits");

// Exactly 295 bytes, written in one piece.
constexpr char kStreamHead[] =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Cache-Control: no-store\r\n"
    "X-Accel-Buffering: no\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Headers: content-type, x-audio-token\r\n"
    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
    "Transfer-Encoding: chunked\r\n"
    "Connection: close\r\n"
    "\r\n";
static_assert(sizeof(kStreamHead) - 1 == 295, "stream head is 295 bytes");

constexpr char kLastChunk[] = "0\r\n\r\n";
constexpr char kJson[] = "application/json";

// Writes the chunk whose audio already sits in chunk[kSizeLineMax, +n): its
// size line (lowercase hex, no leading zeros) goes right before it and the
// CRLF after it. Written digit by digit: this runs for every chunk, and a
// printf call would cost more than all the rest of it but the cipher.
bool send_chunk(TlsConnection *conn, unsigned char (&chunk)[kChunkSize], size_t n)
{
    static const char kHex[] = "0123456789abcdef";
    if (n == 0 || n > audio::kPeriodBytes)
        return false;
    unsigned char *start = chunk + kSizeLineMax - 2;
    start[0] = '\r';
    start[1] = '\n';
    for (size_t v = n; v; v >>= 4)
        *--start = static_cast<unsigned char>(kHex[v & 15]);
    memcpy(chunk + kSizeLineMax + n, "\r\n", 2);
    const size_t size_line = static_cast<size_t>(chunk + kSizeLineMax - start);
    return tls_write_all(conn, start, size_line + n + 2) == 0;
}

// Upper bound of a TLS record's bytes beyond its plaintext (header, nonce,
// tag) for every suite we offer.
constexpr size_t kRecordOverheadMax = 96;

// What waits unsent in the socket, kept as an upper bound: the last
// measurement plus everything written since. Measuring is a system call,
// so it is made only when the bound could push the listener over the
// shedding threshold (about every quarter second in steady flow).
struct Backlog {
    double bytes;
};

// Seconds of audio the listener has not been sent yet: what the capture
// source read ahead of real time, plus what waits unsent in the socket
// because the listener reads slower than real time or not at all. Those
// unsent bytes carry chunk framing and TLS overhead (about 5 %) but count
// as audio, so the backlog is slightly over-counted: a listener is shed a
// little early, never late.
double listener_lag(const CaptureSource *src, const TlsConnection *conn, Backlog *b)
{
    const double lead = capture_lead(src);
    if (lead + audio::bytes_to_seconds(b->bytes) > kShedLeadSeconds) {
        long unsent = tls_unsent_bytes(conn);
        b->bytes = unsent > 0 ? static_cast<double>(unsent) : 0.0;
    }
    return lead + audio::bytes_to_seconds(b->bytes);
}

}  // namespace

RouteResult downlink_stream(TlsConnection *conn, std::string_view, const unsigned char *, size_t,
                            bool)
{
    const RouteResult done{false, 0};

    char *device = card_present() ? card_device_name() : nullptr;
    if (!device) {
        send_response(conn, "503 Service Unavailable", kJson,
                      "{\"success\":false,\"error\":\"no modem audio card\"}", 0);
        return done;
    }

    // Taken before the open, so the newest request wins even when its own
    // capture device then fails to open.
    const int32_t own = g_downlink_generation.fetch_add(1) + 1;

    char err[kErrorSize] = {};
    CaptureSource *src = capture_open(device, err, sizeof(err));
    free(device);
    if (!src) {
        log_line("capture open failed: %s", err);
        send_response(conn, "503 Service Unavailable", kJson,
                      "{\"success\":false,\"error\":\"capture unavailable\"}", 0);
        return done;
    }

    if (tls_write_all(conn, kStreamHead, sizeof(kStreamHead) - 1) != 0) {
        capture_close(src);
        return done;
    }
    log_line("downlink stream started");

    // The capture read lands where the chunk's audio goes.
    unsigned char chunk[kChunkSize];
    unsigned char *audio = chunk + kSizeLineMax;
    unsigned long long bytes_read = 0;
    unsigned long long chunks_shed = 0;
    double first_data = 0.0;
    double last_data = 0.0;
    double window_start = 0.0;
    Backlog backlog{0.0};

    while (g_downlink_generation.load() == own) {
        int n = capture_read(src, audio, err, sizeof(err));
        if (n < 0) {
            log_line("capture read failed: %s", err);
            break;
        }
        if (n == 0)
            continue;

        const double now = monotonic_seconds();
        last_data = now;
        if (first_data == 0.0)
            first_data = window_start = now;
        bytes_read += static_cast<unsigned>(n);  // shed audio counts too

        if (now - window_start >= kStatusIntervalSeconds) {
            log_line("downlink: %d ms queued in card, %.0f ms lead, %llu chunks shed so far",
                     capture_delay_ms(src), capture_lead(src) * 1000.0, chunks_shed);
            window_start = now;
        }

        // Shedding keeps the listener near real time: a stalled or slow
        // listener skips audio instead of queueing it, and its writes never
        // block, so the loop still sees a newer stream within a period.
        if (listener_lag(src, conn, &backlog) > kShedLeadSeconds) {
            chunks_shed += 1;
            capture_shed(src, static_cast<size_t>(n));
            if (chunks_shed == 1 || chunks_shed == 10 || chunks_shed == 100)
                log_line("downlink shedding buffered backlog (%llu chunks)", chunks_shed);
            continue;
        }

        if (!send_chunk(conn, chunk, static_cast<size_t>(n)))
            break;
        backlog.bytes += static_cast<double>(kSizeLineMax + static_cast<size_t>(n) + 2 + kRecordOverheadMax);
    }

    // The capture device goes first, so that a newer stream waiting for it
    // never waits on this listener; then every ending, a newer stream
    // included, closes the body cleanly.
    capture_close(src);
    tls_write_all(conn, kLastChunk, sizeof(kLastChunk) - 1);

    if (first_data > 0.0 && first_data < last_data) {
        const double seconds = last_data - first_data;
        const double frames = static_cast<double>(bytes_read) / audio::kBytesPerFrame;
        const int rate = static_cast<int>(frames / seconds);
        log_line("downlink ended: %llu bytes in %.2fs = %d Hz measured (asked %u), %llu chunks shed",
                 bytes_read, seconds, rate, audio::kRate, chunks_shed);
    } else {
        log_line("downlink stream ended (no data)");
    }
    return done;
}
