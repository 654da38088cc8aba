// The uplink's Content-Length reading against a 64-bit reading of the rule
// written out digit by digit: the first "content-length" value of the
// request's own head, leading white space skipped, an optional sign, then
// decimal digits up to the first other character; no digits give 0, a
// magnitude above 2^64 - 1 gives 2^64 - 1 whatever the sign, and a minus
// sign negates modulo 2^64. Neither strtoul nor strtoull is asked, so a
// 32-bit long cannot hide behind agreeing library calls.
//
// The uplink's sequence index is checked the same way, against a reading
// with sscanf's words and the C library's own conversion.
//
// Input: the head. Inputs that look like a bare value are also tried inside
// a real request, so the value itself gets fuzzed.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/http.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

uint64_t rule_value(const char *p)
{
    while (is_space(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    uint64_t n = 0;
    bool overflow = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const uint64_t d = static_cast<uint64_t>(*p - '0');
        if (n > (UINT64_MAX - d) / 10)
            overflow = true;
        else
            n = n * 10 + d;
    }
    if (overflow)
        return UINT64_MAX;
    return negative ? 0 - n : n;
}

void check(const std::string &head)
{
    char value[kRecvBufferSize] = {};  // the whole value, however long
    uint64_t want = 0;
    if (header_value(std::string_view(head), "content-length", value, sizeof(value)) == 0)
        want = rule_value(value);
    // A long narrower than 64 bits saturates; the size check that follows
    // in the uplink then refuses the body just the same.
    if (want > ULONG_MAX)
        want = ULONG_MAX;
    if (uplink_body_length(std::string_view(head)) != want)
        abort();
}

// The first "seq" parameter of the request line's second word: absent (0),
// 1 to 16 decimal digits worth at most 2^53 (1), anything else (-1).
int rule_seq(const std::string &head, unsigned long long *seq)
{
    std::string text = head.substr(0, head.find('\0'));
    std::string target;
    size_t i = text.find_first_not_of(" \t\n\v\f\r");
    if (i != std::string::npos) {
        i = text.find_first_of(" \t\n\v\f\r", i);
        i = i == std::string::npos ? i : text.find_first_not_of(" \t\n\v\f\r", i);
        if (i != std::string::npos)
            target = text.substr(i, text.find_first_of(" \t\n\v\f\r", i) - i);
    }
    const size_t q = target.find('?');
    if (q == std::string::npos)
        return 0;
    std::string query = target.substr(q + 1) + "&";
    for (size_t p = 0, amp; (amp = query.find('&', p)) != std::string::npos; p = amp + 1) {
        const std::string param = query.substr(p, amp - p);
        if (param != "seq" && param.compare(0, 4, "seq=") != 0)
            continue;
        const std::string digits = param.size() > 4 ? param.substr(4) : "";
        if (digits.empty() || digits.size() > 16 || digits.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        const unsigned long long v = strtoull(digits.c_str(), nullptr, 10);
        if (v > kMaxSeq)
            return -1;
        *seq = v;
        return 1;
    }
    return 0;
}

void check_seq(const std::string &head)
{
    unsigned long long want = 0, got = 0;
    const int rc = rule_seq(head, &want);
    if (uplink_seq_param(std::string_view(head), &got) != rc || got != want)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > kRecvDataMax)
        return 0;
    std::string raw(reinterpret_cast<const char *>(data), size);
    check(raw);
    check_seq(raw);
    std::string value = raw.substr(0, raw.find_first_of("\r\n"));
    check("POST /api/v1/voice_call/audio/tx HTTP/1.1\r\nContent-Length:" + value +
          "\r\nContent-Length: 7\r\n\r\n");
    return 0;
}
