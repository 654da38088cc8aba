// One connection's request loop: frame a head, parse its request line, take
// the keep-alive wish, check the token, route, answer, and go on with any
// pipelined bytes already buffered.
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <strings.h>

#include "audio/audio.h"
#include "base/clock.h"
#include "service/connections.h"
#include "service/http.h"
#include "service/lock.h"
#include "service/log.h"
#include "service/request_loop.h"
#include "service/routes.h"
#include "service/uplink.h"
#include "tls/tls.h"

namespace {

constexpr char kStreamPath[] = "/api/v1/voice_call/audio/stream";
constexpr char kTxPath[] = "/api/v1/voice_call/audio/tx";
constexpr char kHealthPath[] = "/api/v1/voice_call/audio/health";

constexpr char kJson[] = "application/json";
constexpr size_t kErrorSize = 256;
// A head must be complete within this long of its first byte, however the
// client spaces its bytes; each read alone would otherwise restart the 20 s
// read time-out, and a byte every 19 s would hold the thread for ever.
constexpr double kHeadSeconds = 20.0;
// A refused request's method, every byte escaped (7 * 4), and its path,
// escaped and then cut to 64 bytes (never inside an escape), so a refusal
// line stays short whatever the client sends; each with its NUL.
constexpr size_t kLoggedMethodSize = 4 * (kMethodSize - 1) + 1;
constexpr size_t kLoggedPathSize = 64 + 1;
constexpr char kBodyFalse[] = "{\"success\":false}";

// Answers a client leaves unread: above this many bytes waiting unsent in
// the socket, its connection takes no further request and waits on its
// peer, evictable, until they drop below again; a pipelining client that
// never reads costs the service 16 KiB and a waiting thread, not hours of
// answers. A reading client never comes near it: no answer is over 512
// bytes.
constexpr long kUnsentMark = 16 * 1024;
// What one request can add to the unsent bytes at most: an answer of 512
// bytes and a TLS record's overhead. The unsent bytes are measured (a
// system call) only once this many per request could have passed the mark.
constexpr size_t kAnswerBound = 512 + 96;
// A peer that lets its answers lie unread this long is taken for gone,
// like a write that makes no progress.
constexpr double kDrainSeconds = 20.0;
constexpr long kDrainPollNs = 100L * 1000 * 1000;

// The refusals' log gate, shared by every connection thread.
pthread_mutex_t g_refusal_mutex = PTHREAD_MUTEX_INITIALIZER;
LogGate g_refusals;

struct Connection {
    TlsConnection *tls;
    int slot;                            // its place in the connection table
    unsigned char buf[kRecvBufferSize];  // data then a NUL, so it reads as text
    size_t filled;                       // data bytes, 0 to 8191
    size_t search_start;
    uint32_t requests;                   // requests handled on this connection
    size_t unsent_bound;                 // at least what waits unsent in the socket
};

// Logs a request refused for want of a token, through the refusals' gate;
// the path without its query, so a token never reaches the log, and
// neither do raw control bytes.
void log_refusal(const char *method, const char *path)
{
    char method_text[kLoggedMethodSize];
    char path_text[kLoggedPathSize];
    escape_for_log(method, method_text, sizeof(method_text));
    escape_for_log(path, path_text, sizeof(path_text));
    unsigned held = 0;
    double span = 0.0;
    bool pass;
    {
        MutexGuard lock(&g_refusal_mutex);
        pass = log_gate_pass(&g_refusals, monotonic_seconds(), &held, &span);
    }
    if (held > 0)
        log_line("rejected unauthenticated: %u more in the last %.0fs", held, span);
    if (pass)
        log_line("rejected unauthenticated %s %s", method_text, path_text);
}

// Before a request is handled: true when the peer reads its answers well
// enough to take another. Otherwise the connection waits on its peer,
// evictable, until the answers left unsent drop under the mark; false when
// they do not within kDrainSeconds, or the connection is evicted.
bool peer_keeps_up(Connection *c)
{
    if (c->unsent_bound <= static_cast<size_t>(kUnsentMark))
        return true;
    long unsent = tls_unsent_bytes(c->tls);
    if (unsent > kUnsentMark) {
        connection_waiting(c->slot, c->tls, true);
        const double until = monotonic_seconds() + kDrainSeconds;
        while (unsent > kUnsentMark) {
            if (connection_evicted(c->slot, c->tls) || monotonic_seconds() >= until)
                return false;
            const timespec pause{0, kDrainPollNs};
            clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
            unsent = tls_unsent_bytes(c->tls);
        }
        connection_waiting(c->slot, c->tls, false);
    }
    // Unreadable (-1): nothing to go by, so no wait either.
    c->unsent_bound = unsent > 0 ? static_cast<size_t>(unsent) : 0;
    return true;
}

// Reads until a whole head is buffered. Returns its end offset, or 0 when
// the connection must close without an answer (peer gone, time-out, error,
// or 8191 bytes without a blank line).
size_t read_head(Connection *c)
{
    // Between requests the connection waits on its peer (the read time-out
    // bounds that); once a head has begun, its deadline bounds the rest.
    bool begun = false;
    for (;;) {
        size_t end = find_head_end(c->buf, c->filled, &c->search_start);
        if (end) {
            if (begun)
                tls_deadline(c->tls, 0.0);
            return end;
        }
        if (c->filled > kRecvDataMax - 1)
            return 0;
        if (c->filled > 0 && !begun) {
            tls_deadline(c->tls, kHeadSeconds);
            begun = true;
        }
        int32_t n = tls_read(c->tls, c->buf + c->filled, kRecvDataMax - c->filled);
        if (n <= 0)
            return 0;
        c->filled += static_cast<size_t>(n);
        c->buf[c->filled] = '\0';
    }
}

// Handles the head that ends at `head_end`. Returns false when the
// connection must close; otherwise `*used` is how many buffered bytes the
// request took (its head and any body bytes).
bool handle_request(Connection *c, size_t head_end, size_t *used)
{
    std::string_view head(reinterpret_cast<const char *>(c->buf), head_end);
    const size_t tail_len = c->filled - head_end;

    char method[kMethodSize] = {};
    char target[kTargetSize] = {};
    if (!parse_request_line(head, method, target)) {
        send_response(c->tls, "400 Bad Request", kJson, kBodyFalse, 0);
        return false;  // not counted
    }
    // Only Content-Length frames a body here. A POST that names another
    // framing is refused before any of its body is read: taking its chunks
    // as requests, or answering it as if it had been played, would both
    // be wrong.
    char value[kHeaderValueSize] = {};
    if (strcmp(method, "POST") == 0 && header_value(head, "transfer-encoding", value, sizeof(value)) == 0) {
        send_response(c->tls, "400 Bad Request", kJson, kBodyFalse, 0);
        return false;  // not counted
    }

    char connection[kHeaderValueSize] = {};
    bool wish = true;
    if (header_value(head, "connection", connection, sizeof(connection)) == 0 && strncasecmp(connection, "close", 5) == 0)
        wish = false;

    const bool authorized = request_authorized(head, target) == 1;
    if (char *q = strchr(target, '?'))
        *q = '\0';

    // A failed answer ends the connection: its peer is gone or not reading.
    RouteResult r{false, 0};
    if (strcmp(method, "OPTIONS") == 0) {
        r.keep_alive = send_response(c->tls, "204 No Content", "text/plain", "", wish) == 0;
    } else if (!authorized) {
        log_refusal(method, target);
        send_response(c->tls, "403 Forbidden", kJson, "{\"success\":false,\"error\":\"forbidden\"}", 0);
    } else if (strcmp(method, "GET") == 0 && strcmp(target, kStreamPath) == 0) {
        r = downlink_stream(c->tls, head, c->buf + head_end, tail_len, wish);
    } else if (strcmp(method, "POST") == 0 && strcmp(target, kTxPath) == 0) {
        r = uplink_post(c->tls, head, c->buf + head_end, tail_len, wish);
    } else if (strcmp(method, "GET") == 0 && strcmp(target, kHealthPath) == 0) {
        r.keep_alive = send_response(c->tls, "200 OK", kJson,
                                     card_present() ? "{\"success\":true,\"card_present\":true}"
                                                    : "{\"success\":true,\"card_present\":false}",
                                     wish) == 0;
    } else {
        send_response(c->tls, "404 Not Found", kJson, kBodyFalse, 0);
    }

    c->requests += 1;
    if (c->requests > 1)
        uplink_count_reused_request();
    c->unsent_bound += kAnswerBound;

    // A handler never takes more than the tail; clamp anyway so a fault
    // there cannot make the move below run past the buffer.
    *used = head_end + (r.consumed < tail_len ? r.consumed : tail_len);
    return wish && r.keep_alive;
}

}  // namespace

void *connection_thread(void *arg)
{
    // The receive buffer lives on this thread's stack: nothing is allocated
    // per connection beyond the TLS record, nor per request.
    Connection conn{};
    Connection *c = &conn;
    c->tls = static_cast<TlsConnection *>(arg);
    // The handshake runs here, not on the accept loop, so a silent or slow
    // client delays nobody else. A failed one is not logged: port scanners
    // and plain-HTTP clients would fill the log.
    char err[kErrorSize] = {};
    c->slot = connection_slot(c->tls);
    bool up = tls_handshake(c->tls, err, sizeof(err)) == 0;
    while (up) {
        connection_waiting(c->slot, c->tls, true);
        size_t head_end = read_head(c);
        if (!head_end)
            break;
        connection_waiting(c->slot, c->tls, false);
        if (!peer_keeps_up(c))
            break;
        size_t used = 0;
        if (!handle_request(c, head_end, &used))
            break;
        // Bytes of the next request move to the front and are parsed before
        // the connection is read again.
        size_t remaining = c->filled - used;
        if (remaining > 0)
            memmove(c->buf, c->buf + used, remaining);
        c->filled = remaining;
        c->buf[c->filled] = '\0';
        c->search_start = 0;
    }
    // The place is given back only once the connection is closed, so the
    // cap counts a close that takes time.
    const TlsConnection *closed = c->tls;
    connection_leaving(c->slot, closed);
    tls_close(c->tls);
    connection_release(c->slot, closed);
    return nullptr;
}
