// Request framing, the request line, header lookup, the token gate and the
// fixed answer format. Everything that reads request bytes here is bounded
// by the request's own head.
#include "service/http.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "auth/auth.h"
#include "tls/tls.h"

namespace {

// Head and body of every answer go out as one write: every head we send is
// under 256 bytes and the longest body 47.
constexpr size_t kResponseSize = 512;
// Longest token value copied from a header for checking: above the 85
// characters of the longest valid token, so an over-long MAC still fails as
// over-long.
constexpr size_t kTokenCopyMax = 96;

// The C locale's isspace, as sscanf's "%s" uses it to end a field.
bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The text up to its first NUL: a NUL ends the request's text for every
// lookup, as it would for a C-string scan. (Views are cut by hand: substr
// may throw, and nothing here may pull in the C++ runtime.)
std::string_view until_nul(std::string_view s)
{
    size_t nul = s.find('\0');
    return nul == std::string_view::npos ? s : std::string_view(s.data(), nul);
}

// Copies the next blank-delimited word of `s` from `*pos` into `out`, at
// most `max` characters, after skipping blanks. False when no word is left.
bool scan_word(std::string_view s, size_t *pos, char *out, size_t max)
{
    size_t i = *pos;
    while (i < s.size() && is_blank(s[i]))
        ++i;
    size_t n = 0;
    while (i < s.size() && n < max && !is_blank(s[i]))
        out[n++] = s[i++];
    *pos = i;
    return n > 0;
}

}  // namespace

size_t find_head_end(const unsigned char *buf, size_t filled, size_t *search_start)
{
    for (size_t p = *search_start; p + 4 <= filled; ++p)
        if (buf[p] == '\r' && buf[p + 1] == '\n' && buf[p + 2] == '\r' && buf[p + 3] == '\n')
            return p + 4;
    *search_start = filled < 3 ? 0 : filled - 3;
    return 0;
}

bool parse_request_line(std::string_view head, char (&method)[kMethodSize],
                        char (&target)[kTargetSize])
{
    head = until_nul(head);
    // A method longer than 7 characters is cut; the rest of its word then
    // becomes the target, as "%7s %255s" would take it.
    size_t pos = 0;
    if (!scan_word(head, &pos, method, kMethodSize - 1))
        return false;
    return scan_word(head, &pos, target, kTargetSize - 1);
}

namespace {

// The whole value of the first header line named `name` in `head`, by
// header_value's rules; false when no line carries that name.
bool find_header(std::string_view head, const char *name, std::string_view *value)
{
    head = until_nul(head);
    const size_t n = strlen(name);
    for (size_t lf = head.find('\n'); lf != std::string_view::npos; lf = head.find('\n', lf + 1)) {
        std::string_view line(head.data() + lf + 1, head.size() - lf - 1);
        if (line.size() <= n || line[n] != ':')
            continue;
        bool match = true;
        for (size_t i = 0; i < n && match; ++i)
            match = ascii_lower(line[i]) == name[i];
        if (!match)
            continue;
        size_t v = n + 1;
        while (v < line.size() && line[v] == ' ')
            ++v;
        size_t len = 0;
        while (v + len < line.size() && line[v + len] != '\r' && line[v + len] != '\n')
            ++len;
        *value = std::string_view(line.data() + v, len);
        return true;
    }
    return false;
}

// The '&'-separated parameters of `query` (the text after a target's
// '?'), one a call from *pos (0 at first); an empty query has one empty
// parameter, as the walks over it always had. False after the last.
bool next_query_param(std::string_view query, size_t *pos, std::string_view *param)
{
    if (*pos > query.size())
        return false;
    size_t amp = query.find('&', *pos);
    if (amp == std::string_view::npos)
        amp = query.size();
    *param = std::string_view(query.data() + *pos, amp - *pos);
    *pos = amp + 1;
    return true;
}

}  // namespace

int header_value(std::string_view head, const char *name, char *dest, size_t dest_size)
{
    std::string_view value;
    if (dest_size == 0 || !find_header(head, name, &value))
        return -1;
    const size_t len = value.size() < dest_size - 1 ? value.size() : dest_size - 1;
    memcpy(dest, value.data(), len);
    dest[len] = '\0';
    return 0;
}

int request_authorized(std::string_view head, const char *target)
{
    // The query decides when it has a "token=" parameter, valid or not.
    if (const char *query = strchr(target, '?')) {
        size_t pos = 0;
        std::string_view param;
        while (next_query_param(std::string_view(query + 1), &pos, &param))
            if (param.size() >= 6 && memcmp(param.data(), "token=", 6) == 0)
                return token_verify(param.data() + 6);  // the target's NUL ends it
    }
    // Then the first header line named x-audio-token. Its value is copied,
    // bounded by its line, so that token_verify never looks past this
    // request's head.
    char value[kTokenCopyMax + 1] = {};
    if (header_value(head, "x-audio-token", value, sizeof(value)) != 0)
        return 0;
    return token_verify(value);
}

unsigned long uplink_body_length(std::string_view head)
{
    std::string_view value;
    if (!find_header(head, "content-length", &value))
        return 0;
    // strtoul's reading (leading blanks, a sign, base 10 digits up to the
    // first other character, no digits gives 0, a minus sign negates), over
    // the whole value however many leading zeros it has: a length cut short
    // would leave its body to be parsed as requests. Done in 64 bits and
    // saturated, so that a 32-bit router reads every value as a 64-bit one
    // does: there, "-4294967295" would wrap to 1 instead of a length far too
    // large.
    size_t i = 0;
    while (i < value.size() && is_blank(value[i]))
        ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-'))
        negative = value[i++] == '-';
    unsigned long long v = 0;
    bool overflow = false;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        const auto d = static_cast<unsigned long long>(value[i] - '0');
        if (v > (ULLONG_MAX - d) / 10)
            overflow = true;
        else
            v = v * 10 + d;
    }
    if (overflow)
        return ULONG_MAX;  // strtoull's ERANGE, whatever the sign
    if (negative)
        v = 0 - v;
    return v > ULONG_MAX ? ULONG_MAX : static_cast<unsigned long>(v);
}

int uplink_seq_param(std::string_view head, unsigned long long *seq)
{
    // The target is the request line's second word, as parse_request_line
    // reads it (across line ends, as it does), but whole; its query starts
    // at the first '?'.
    head = until_nul(head);
    size_t i = 0;
    for (int word = 0; word < 2; ++word) {
        while (i < head.size() && is_blank(head[i]))
            ++i;
        if (word == 0)
            while (i < head.size() && !is_blank(head[i]))
                ++i;
    }
    // A line feed ends the word, so most posts (no index) are done with
    // after two searches of one line.
    const size_t lf = head.find('\n', i);
    const std::string_view line(head.data() + i, (lf == std::string_view::npos ? head.size() : lf) - i);
    if (line.find("seq") == std::string_view::npos)
        return 0;
    size_t end = i;
    while (end < head.size() && !is_blank(head[end]))
        ++end;
    const std::string_view target(head.data() + i, end - i);
    const size_t q = target.find('?');
    if (q == std::string_view::npos)
        return 0;
    size_t pos = 0;
    std::string_view param;
    const std::string_view query(target.data() + q + 1, target.size() - q - 1);
    while (next_query_param(query, &pos, &param)) {
        if (param.size() >= 3 && param[0] == 's' && param[1] == 'e' && param[2] == 'q' &&
            (param.size() == 3 || param[3] == '=')) {
            // 2^53 has 16 digits; leading zeros beyond them are refused
            // rather than counted, so the loop is bounded by the check.
            const std::string_view digits = param.size() > 3
                                                ? std::string_view(param.data() + 4, param.size() - 4)
                                                : std::string_view();
            if (digits.empty() || digits.size() > 16)
                return -1;
            unsigned long long v = 0;
            for (char c : digits) {
                if (c < '0' || c > '9')
                    return -1;
                v = v * 10 + static_cast<unsigned long long>(c - '0');
            }
            if (v > kMaxSeq)
                return -1;
            *seq = v;
            return 1;
        }
    }
    return 0;
}

namespace {

// The fixed parts of every answer's head, around its status, type and
// length.
constexpr char kStatusLead[] = "HTTP/1.1 ";
constexpr char kTypeLead[] = "\r\nContent-Type: ";
constexpr char kLengthLead[] = "\r\nContent-Length: ";
constexpr char kCorsLines[] = "\r\nAccess-Control-Allow-Origin: *\r\n"
                              "Access-Control-Allow-Headers: content-type, x-audio-token\r\n"
                              "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n";
constexpr char kConnectionLead[] = "Connection: ";
constexpr char kKeepAliveEnd[] = "keep-alive\r\n\r\n";
constexpr char kCloseEnd[] = "close\r\n\r\n";

// Appends to a fixed buffer; once something did not fit, nothing more is
// taken and `ok` stays false.
struct Answer {
    char text[kResponseSize];
    size_t len;
    bool ok;
};

void append(Answer *a, const char *s, size_t n)
{
    if (!a->ok || n > sizeof(a->text) - a->len) {
        a->ok = false;
        return;
    }
    memcpy(a->text + a->len, s, n);
    a->len += n;
}

void append(Answer *a, const char *s) { append(a, s, strlen(s)); }

void append_decimal(Answer *a, size_t v)
{
    char digits[24];  // any size_t
    size_t n = sizeof(digits);
    do {
        digits[--n] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v && n);
    append(a, digits + n, sizeof(digits) - n);
}

}  // namespace

int send_response(TlsConnection *conn, const char *status, const char *content_type,
                   const char *body, int keep_alive, const char *extra_lines)
{
    // Copied together from the fixed texts rather than formatted: the
    // answer to every post is made here, and printf's machinery costs
    // several times the copying.
    Answer a;
    a.len = 0;
    a.ok = true;
    append(&a, kStatusLead, sizeof(kStatusLead) - 1);
    append(&a, status);
    append(&a, kTypeLead, sizeof(kTypeLead) - 1);
    append(&a, content_type);
    append(&a, kLengthLead, sizeof(kLengthLead) - 1);
    const size_t body_len = strlen(body);
    append_decimal(&a, body_len);
    append(&a, kCorsLines, sizeof(kCorsLines) - 1);
    if (extra_lines)
        append(&a, extra_lines);
    append(&a, kConnectionLead, sizeof(kConnectionLead) - 1);
    if (keep_alive)
        append(&a, kKeepAliveEnd, sizeof(kKeepAliveEnd) - 1);
    else
        append(&a, kCloseEnd, sizeof(kCloseEnd) - 1);
    append(&a, body, body_len);
    // Callers pass only the fixed texts, which fit; a cut answer would lie
    // about its length, so it is not sent at all.
    if (!a.ok)
        return -1;
    return tls_write_all(conn, a.text, a.len);
}

void escape_for_log(const char *in, char *out, size_t out_size)
{
    static const char kHex[] = "0123456789abcdef";
    if (out_size == 0)
        return;
    size_t o = 0;
    for (; *in; ++in) {
        const auto b = static_cast<unsigned char>(*in);
        const bool plain = b >= 0x20 && b < 0x7f;
        const size_t need = plain ? 1 : 4;
        if (o + need >= out_size)
            break;
        if (plain) {
            out[o++] = static_cast<char>(b);
        } else {
            out[o++] = '\\';
            out[o++] = 'x';
            out[o++] = kHex[b >> 4];
            out[o++] = kHex[b & 15];
        }
    }
    out[o] = '\0';
}
