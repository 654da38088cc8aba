// The real request loop (connection_thread, read_head, handle_request) and
// the real answers, over an in-memory transport: the client's bytes arrive
// in pieces of any size, everything the service writes is kept, and the
// two route handlers are stand-ins that follow the handler contract (the tx
// one takes its body from the buffered tail, then from the connection).
//
// The wire output is checked against a second, plainer model that frames
// the byte stream on its own: each head is the stream up to the first
// "\r\n\r\n" within 8191 bytes of its start; the request line is read with
// sscanf "%7s %255s"; the routes and their fixed answers follow. The model
// leans on header_value, uplink_body_length and request_authorized for the
// header rules, each of which has a target of its own.
//
// Input: one byte seeding the piece sizes (its top bit: the card is
// present), then the bytes the client sends. "@T" / "@E" become a valid /
// an expired token.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>

#include "fuzz/fuzz_token.h"
#include "service/connections.h"
#include "service/http.h"
#include "service/log.h"
#include "service/request_loop.h"
#include "service/routes.h"
#include "service/uplink.h"
#include "tls/tls.h"

namespace {

constexpr char kStream[] = "/api/v1/voice_call/audio/stream";
constexpr char kTx[] = "/api/v1/voice_call/audio/tx";
constexpr char kHealth[] = "/api/v1/voice_call/audio/health";
constexpr unsigned long kMaxBody = 65536;

// The one connection of the current input.
struct Fake {
    std::string in;      // everything the client sends
    size_t sent;         // how much of it the service has read
    uint32_t rng;        // piece sizes
    std::string out;     // everything the service wrote
    std::string log;     // every log line, each ended by LF
    double deadline;     // the phase's deadline as last set; 0: none
    int closes;          // tls_close calls
    uint64_t reused;     // requests counted as not the first on the connection
    bool card;
};
Fake g_fake;
TlsConnection g_conn;

std::string answer(const char *status, const char *body, bool keep_alive,
                   const char *type = "application/json")
{
    char head[512];
    snprintf(head, sizeof(head),
             "HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
             "Access-Control-Allow-Origin: *\r\n"
             "Access-Control-Allow-Headers: content-type, x-audio-token\r\n"
             "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
             "Connection: %s\r\n\r\n",
             status, type, strlen(body), keep_alive ? "keep-alive" : "close");
    return std::string(head) + body;
}

// A logged field: printable ASCII as it is, any other byte as \xNN; at
// most `max` characters, never cut inside an escape.
std::string escaped(const char *text, size_t max = 4 * kTargetSize)
{
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        char hex[5];
        snprintf(hex, sizeof(hex), "\\x%02x", *p);
        const std::string piece = (*p >= 0x20 && *p <= 0x7e) ? std::string(1, static_cast<char>(*p)) : hex;
        if (out.size() + piece.size() > max)
            break;
        out += piece;
    }
    return out;
}

// What the service must write for the client's stream `s` and log, and how
// many requests it counts.
std::string model(const std::string &s, std::string *log, uint32_t *counted)
{
    std::string out;
    *counted = 0;
    size_t pos = 0;
    for (;;) {
        const std::string window = s.substr(pos, kRecvDataMax);
        const size_t blank = window.find("\r\n\r\n");
        if (blank == std::string::npos)
            return out;  // a full buffer or the end of the stream: no answer
        const std::string head = window.substr(0, blank + 4);
        pos += head.size();

        char method[kMethodSize] = {};
        char target[kTargetSize] = {};
        if (sscanf(head.c_str(), "%7s %255s", method, target) != 2)
            return out + answer("400 Bad Request", "{\"success\":false}", false);
        char framing[kHeaderValueSize] = {};
        if (strcmp(method, "POST") == 0 && header_value(head, "transfer-encoding", framing, sizeof(framing)) == 0)
            return out + answer("400 Bad Request", "{\"success\":false}", false);
        *counted += 1;

        char connection[kHeaderValueSize] = {};
        const bool wish = !(header_value(head, "connection", connection, sizeof(connection)) == 0 &&
                            strncasecmp(connection, "close", 5) == 0);
        const bool authorized = request_authorized(head, target) == 1;
        std::string path = target;
        path = path.substr(0, path.find('?'));

        bool keep = false;
        if (strcmp(method, "OPTIONS") == 0) {
            out += answer("204 No Content", "", wish, "text/plain");
            keep = wish;
        } else if (!authorized) {
            // Method and path (cut to 64 bytes), never the query that may
            // carry a token.
            *log += "rejected unauthenticated " + escaped(method) + " " + escaped(path.c_str(), 64) + "\n";
            out += answer("403 Forbidden", "{\"success\":false,\"error\":\"forbidden\"}", false);
        } else if (strcmp(method, "GET") == 0 && path == kStream) {
            out += "<stream>";
        } else if (strcmp(method, "POST") == 0 && path == kTx) {
            const unsigned long length = uplink_body_length(head);
            if (length > kMaxBody)
                return out + "<413>";
            if (s.size() - pos < length)
                return out;  // the body never comes in full: no answer
            out += "<tx " + s.substr(pos, length) + ">";
            pos += length;
            keep = wish;
        } else if (strcmp(method, "GET") == 0 && path == kHealth) {
            out += answer("200 OK",
                          g_fake.card ? "{\"success\":true,\"card_present\":true}"
                                      : "{\"success\":true,\"card_present\":false}",
                          wish);
            keep = wish;
        } else {
            out += answer("404 Not Found", "{\"success\":false}", false);
        }
        if (!keep)
            return out;
    }
}

}  // namespace

// --- The transport, in memory ---

int tls_handshake(TlsConnection *, char *, size_t) { return 0; }
void tls_deadline(TlsConnection *, double s) { g_fake.deadline = s > 0.0 ? s : 0.0; }
long tls_unsent_bytes(const TlsConnection *) { return 0; }
void tls_abort(const TlsConnection *) { abort(); }  // nothing here ever evicts the one connection

int32_t tls_read(TlsConnection *conn, unsigned char *dst, size_t cap)
{
    if (conn != &g_conn || cap == 0)
        abort();
    if (g_fake.sent == g_fake.in.size())
        return 0;  // the client has nothing more to say
    g_fake.rng = g_fake.rng * 1103515245u + 12345u;
    const size_t left = g_fake.in.size() - g_fake.sent;
    const size_t n = std::min({size_t{1} + (g_fake.rng >> 16) % 700, cap, left});
    memcpy(dst, g_fake.in.data() + g_fake.sent, n);
    g_fake.sent += n;
    return static_cast<int32_t>(n);
}

int tls_write_all(TlsConnection *conn, const void *data, size_t len)
{
    if (conn != &g_conn || g_fake.closes)
        abort();
    g_fake.out.append(static_cast<const char *>(data), len);
    return 0;
}

void tls_close(TlsConnection *conn)
{
    if (conn != &g_conn)
        abort();
    g_fake.closes += 1;
}

// --- The rest of the service, as far as the loop reaches ---

void log_line(const char *fmt, ...)
{
    char line[2 * 4 * kTargetSize + 64];  // two escaped fields and the words
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    g_fake.log += std::string(line) + "\n";
}

// Every refusal is logged here: the gate that thins a flood has a unit
// test of its own.
bool log_gate_pass(LogGate *, double, unsigned *held, double *)
{
    *held = 0;
    return true;
}

void uplink_count_reused_request() { g_fake.reused += 1; }

int card_present() { return g_fake.card ? 1 : 0; }

RouteResult downlink_stream(TlsConnection *conn, std::string_view, const unsigned char *, size_t,
                            bool)
{
    // No phase deadline of the head may outlive it into a handler.
    if (g_fake.deadline != 0.0)
        abort();
    tls_write_all(conn, "<stream>", 8);
    return RouteResult{false, 0};
}

RouteResult uplink_post(TlsConnection *conn, std::string_view head, const unsigned char *tail,
                        size_t tail_len, bool)
{
    if (g_fake.deadline != 0.0)
        abort();
    const unsigned long length = uplink_body_length(head);
    const size_t take = length < tail_len ? static_cast<size_t>(length) : tail_len;
    if (length > kMaxBody) {
        tls_write_all(conn, "<413>", 5);
        return RouteResult{false, take};
    }
    static unsigned char body[kMaxBody];
    memcpy(body, tail, take);
    for (size_t have = take; have < length;) {
        const int32_t n = tls_read(conn, body + have, length - have);
        if (n <= 0)
            return RouteResult{false, take};
        have += static_cast<size_t>(n);
    }
    std::string seen = "<tx " + std::string(reinterpret_cast<const char *>(body), length) + ">";
    tls_write_all(conn, seen.data(), seen.size());
    return RouteResult{true, take};
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_token::load_secret();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 3 * kRecvBufferSize)
        return 0;
    const long long now = static_cast<long long>(time(nullptr));
    g_fake = Fake{};
    g_fake.rng = data[0] * 2654435761u + 1;
    g_fake.card = (data[0] & 0x80) != 0;
    g_fake.in = fuzz_token::expand(std::string(reinterpret_cast<const char *>(data + 1), size - 1),
                                   fuzz_token::mint(now + 3600), fuzz_token::mint(now - 3600));

    uint32_t counted = 0;
    std::string want_log;
    const std::string want = model(g_fake.in, &want_log, &counted);
    g_conn = TlsConnection{};
    if (connection_register(&g_conn) < 0)
        abort();
    connection_thread(&g_conn);

    if (g_fake.out != want || g_fake.log != want_log || g_fake.closes != 1)
        abort();
    if (g_fake.reused != (counted > 1 ? counted - 1 : 0))
        abort();
    // The slot went back: registering again must find room at once.
    const int slot = connection_register(&g_conn);
    if (slot < 0)
        abort();
    connection_release(slot, &g_conn);
    return 0;
}
