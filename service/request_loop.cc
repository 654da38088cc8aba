// One connection's request loop: frame a head, parse its request line, take
// the keep-alive wish, check the token, route, answer, and go on with any
// pipelined bytes already buffered.
#include <cstring>
#include <strings.h>

#include "auth/auth.h"
#include "service/service.h"

namespace {

constexpr char kStreamPath[] = "/api/v1/voice_call/audio/stream";
constexpr char kTxPath[] = "/api/v1/voice_call/audio/tx";
constexpr char kHealthPath[] = "/api/v1/voice_call/audio/health";

constexpr char kJson[] = "application/json";
constexpr char kBodyFalse[] = "{\"success\":false}";

struct Connection {
    TlsConnection *tls;
    unsigned char buf[kRecvBufferSize];  // data then a NUL, so it reads as text
    size_t filled;                       // data bytes, 0 to 8191
    size_t search_start;
    uint32_t requests;                   // requests handled on this connection
};

// Reads until a whole head is buffered. Returns its end offset, or 0 when
// the connection must close without an answer (peer gone, time-out, error,
// or 8191 bytes without a blank line).
size_t read_head(Connection *c)
{
    for (;;) {
        size_t end = find_head_end(c->buf, c->filled, &c->search_start);
        if (end)
            return end;
        if (c->filled > kRecvDataMax - 1)
            return 0;
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

    char connection[kHeaderValueSize] = {};
    bool wish = true;
    if (header_value(head, "connection", connection) == 0 && strncasecmp(connection, "close", 5) == 0)
        wish = false;

    const bool authorized = request_authorized(head, target) == 1;
    if (char *q = strchr(target, '?'))
        *q = '\0';

    RouteResult r{false, 0};
    if (strcmp(method, "OPTIONS") == 0) {
        send_response(c->tls, "204 No Content", "text/plain", "", wish);
        r.keep_alive = true;
    } else if (!authorized) {
        // The path is logged without its query: a token never reaches the log.
        log_line("rejected unauthenticated %s %s", method, target);
        send_response(c->tls, "403 Forbidden", kJson, "{\"success\":false,\"error\":\"forbidden\"}", 0);
    } else if (strcmp(method, "GET") == 0 && strcmp(target, kStreamPath) == 0) {
        r = downlink_stream(c->tls, head, c->buf + head_end, tail_len, wish);
    } else if (strcmp(method, "POST") == 0 && strcmp(target, kTxPath) == 0) {
        r = uplink_post(c->tls, head, c->buf + head_end, tail_len, wish);
    } else if (strcmp(method, "GET") == 0 && strcmp(target, kHealthPath) == 0) {
        send_response(c->tls, "200 OK", kJson,
                      card_present() ? "{\"success\":true,\"card_present\":true}"
                                     : "{\"success\":true,\"card_present\":false}",
                      wish);
        r.keep_alive = true;
    } else {
        send_response(c->tls, "404 Not Found", kJson, kBodyFalse, 0);
    }

    c->requests += 1;
    if (c->requests > 1)
        g_uplink.reused_requests.fetch_add(1, std::memory_order_relaxed);

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
    for (;;) {
        size_t head_end = read_head(c);
        if (!head_end)
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
    tls_close(c->tls);
    return nullptr;
}
