// Request framing and the request-line scan, driven the way one
// connection's loop drives them: bytes arrive in pieces of any size into the
// 8192-byte receive buffer, each complete head is parsed and the rest moves
// to the front for the next request.
//
// Input: one byte of piece-size seed, then the bytes the client sends.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/service.h"

namespace {

// What the loop has to find: the first "\r\n\r\n" anywhere in the data,
// with no memory of where earlier searches stopped.
size_t naive_head_end(const unsigned char *buf, size_t filled)
{
    for (size_t p = 0; p + 4 <= filled; ++p)
        if (memcmp(buf + p, "\r\n\r\n", 4) == 0)
            return p + 4;
    return 0;
}

// sscanf with "%7s %255s" over the head alone, as a C string: the reference
// the bounded scanner must agree with.
void sscanf_reference(const unsigned char *head, size_t len, char (&method)[kMethodSize],
                      char (&target)[kTargetSize], int *fields)
{
    static char text[kRecvBufferSize];
    memcpy(text, head, len);
    text[len] = '\0';
    *fields = sscanf(text, "%7s %255s", method, target);
}

void check_request_line(const unsigned char *head, size_t len)
{
    char method[kMethodSize] = {};
    char target[kTargetSize] = {};
    bool ok = parse_request_line(std::string_view(reinterpret_cast<const char *>(head), len), method, target);

    char ref_method[kMethodSize] = {};
    char ref_target[kTargetSize] = {};
    int fields = 0;
    sscanf_reference(head, len, ref_method, ref_target, &fields);
    if (ok != (fields == 2))
        abort();
    if (ok && (strcmp(method, ref_method) != 0 || strcmp(target, ref_target) != 0))
        abort();
    if (method[kMethodSize - 1] != '\0' || target[kTargetSize - 1] != '\0')
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint32_t rng = data[0] * 2654435761u + 1;
    ++data;
    --size;

    static unsigned char buf[kRecvBufferSize];
    size_t filled = 0;
    size_t search_start = 0;
    size_t sent = 0;
    for (;;) {
        size_t end = find_head_end(buf, filled, &search_start);
        if (end != naive_head_end(buf, filled))
            abort();
        if (!end) {
            if (search_start > filled)
                abort();
            // A full buffer without a blank line, or a client with nothing
            // more to say: the loop closes without an answer.
            if (filled > kRecvDataMax - 1 || sent == size)
                return 0;
            rng = rng * 1103515245u + 12345u;
            size_t piece = 1 + (rng >> 16) % 700;
            size_t room = kRecvDataMax - filled;
            if (piece > room)
                piece = room;
            if (piece > size - sent)
                piece = size - sent;
            memcpy(buf + filled, data + sent, piece);
            sent += piece;
            filled += piece;
            buf[filled] = '\0';
            continue;
        }
        if (end > filled)
            abort();
        check_request_line(buf, end);
        // Pipelining: the bytes after the head become the next request.
        memmove(buf, buf + end, filled - end);
        filled -= end;
        buf[filled] = '\0';
        search_start = 0;
    }
}
