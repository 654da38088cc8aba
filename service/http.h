// HTTP on one connection: framing a request head, its request line, header
// lookup, the token gate and the fixed answer format. Everything here that
// reads request bytes is bounded by the request's own head; any thread.
#pragma once

#include <cstddef>
#include <string_view>

struct TlsConnection;

constexpr size_t kRecvBufferSize = 8192;   // a head of 8191 bytes plus its NUL
constexpr size_t kRecvDataMax = kRecvBufferSize - 1;
constexpr size_t kMethodSize = 8;          // 7 characters and a NUL
constexpr size_t kTargetSize = 256;        // 255 characters and a NUL
// The loop's own lookups ("connection", "transfer-encoding") keep 31
// characters and a NUL: more than any value they act on.
constexpr size_t kHeaderValueSize = 32;

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
// LF or the head's end (a NUL in the head ends its text), and at most
// dest_size - 1 characters of it are stored in `dest` with a NUL. Returns 0
// when found, -1 otherwise or when dest_size is 0 (then `dest` is
// untouched).
int header_value(std::string_view head, const char *name, char *dest, size_t dest_size);
// 1 when the request carries a valid token (token_verify), else 0. The query
// of `target` (NUL terminated, query still attached) decides when it has a
// "token=" parameter, valid or not; otherwise the first "x-audio-token"
// line of `head` does, its value cut at 96 characters. Nothing beyond
// `head` is ever looked at, so a body or a pipelined request cannot lend
// its token to this request.
int request_authorized(std::string_view head, const char *target);
// The body length that `head` announces: its whole "content-length" value
// (not cut at 31 characters) read as strtoul reads base 10 (no digits gives
// 0, trailing characters are ignored, "-1" wraps to ULONG_MAX), or 0 when
// the head has no such line. Callers range-check the result.
unsigned long uplink_body_length(std::string_view head);
// Largest sequence index a post may carry: 2^53, the largest integer a
// browser's number holds exactly.
constexpr unsigned long long kMaxSeq = 1ull << 53;
// The "seq" parameter of the query in `head`'s request line (the whole
// target, not the 255 characters the token gate reads): 0 when there is
// none, 1 with `*seq` set when the first "seq" parameter is 1 to 16 decimal
// digits worth at most kMaxSeq, -1 when it is anything else (no '=', empty,
// a sign, a blank, percent-encoded, too large). Later "seq" parameters are
// never looked at: the first one decides, as the token's does.
int uplink_seq_param(std::string_view head, unsigned long long *seq);
// Writes one fixed-format answer, head and body in one write (one TLS
// record). `extra_lines`, when given, are whole header lines (each ended by
// CR LF) placed just before the Connection line. 0 when written, -1 when
// the write failed (the session is then dead, see tls_write_all) or the
// answer would not fit.
int send_response(TlsConnection *conn, const char *status, const char *content_type,
                  const char *body, int keep_alive, const char *extra_lines = nullptr);

// Copies `in` into `out` for a log line, each byte outside printable ASCII
// written as \xNN, so request bytes cannot put escape sequences or control
// characters into the log. Always terminates `out`; cuts what does not fit.
void escape_for_log(const char *in, char *out, size_t out_size);
