// The uplink's Content-Length handling: the announced length must be what
// strtoul makes of the first "content-length" value of the request's own
// head, or 0 without one.
//
// Input: the head. Inputs that look like a bare value are also tried inside
// a real request, so the value itself gets fuzzed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/service.h"

namespace {

void check(const std::string &head)
{
    unsigned long got = uplink_body_length(std::string_view(head));

    char value[kHeaderValueSize] = {};
    unsigned long want = 0;
    if (header_value(std::string_view(head), "content-length", value) == 0)
        want = strtoul(value, nullptr, 10);
    if (got != want)
        abort();

    // The decision that matters, worked out digit by digit: whitespace, an
    // optional sign, decimal digits; anything else ends the number. A
    // negative non-zero number wraps to a huge length, so it is refused.
    const char *p = value;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    unsigned long long n = 0;
    bool huge = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + static_cast<unsigned>(*p - '0');
        if (n > 1000000)
            huge = true, n = 1000000;
    }
    bool too_long = huge || (negative ? n != 0 : n > 65536);
    if ((got > 65536) != too_long)
        abort();
    if (!too_long && got != n)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > kRecvDataMax)
        return 0;
    std::string raw(reinterpret_cast<const char *>(data), size);
    check(raw);
    std::string value = raw.substr(0, raw.find_first_of("\r\n"));
    check("POST /api/v1/voice_call/audio/tx HTTP/1.1\r\nContent-Length:" + value +
          "\r\nContent-Length: 7\r\n\r\n");
    return 0;
}
