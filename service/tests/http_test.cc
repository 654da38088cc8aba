#include "service/connections.h"
#include "service/http.h"
#include "service/log.h"
#include "service/uplink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

// token_verify as request_authorized sees it (defined here, the auth
// library's is never linked in): it keeps the text it is handed and takes
// one that starts with "good" as valid.
static std::string g_verified;
int token_verify(const char *token)
{
    g_verified = token;
    return strncmp(token, "good", 4) == 0 ? 1 : 0;
}

namespace {

// Feeds `text` to the framer in pieces of `step` bytes, as reads would
// arrive; returns the head end found, or 0.
size_t frame_in_pieces(const std::string &text, size_t step)
{
    size_t search = 0;
    for (size_t filled = std::min(step, text.size());; filled = std::min(filled + step, text.size())) {
        size_t end = find_head_end(reinterpret_cast<const unsigned char *>(text.data()), filled, &search);
        if (end || filled == text.size())
            return end;
    }
}

TEST(FindHeadEnd, Table)
{
    const std::string get = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
    struct Case {
        const char *what;
        std::string text;
        size_t step;
        size_t want;
    } cases[] = {
        {"whole head at once", get, 4096, get.size()},
        {"byte by byte", get, 1, get.size()},
        {"blank line split across reads", get, get.size() - 2, get.size()},
        {"pieces of three", get, 3, get.size()},
        {"LF-only line ends never end a head", "GET / HTTP/1.1\nHost: a\n\n", 1, 0},
        {"CR LF LF is not a blank line", "GET / HTTP/1.1\r\n\n", 1, 0},
        {"first blank line ends it", get + "GET /b HTTP/1.1\r\n\r\n", 7, get.size()},
        {"empty", "", 1, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(frame_in_pieces(c.text, c.step), c.want) << c.what;
}

TEST(ParseRequestLine, Table)
{
    struct Case {
        const char *what;
        std::string head;
        bool ok;
        const char *method, *target;
    } cases[] = {
        {"plain", "GET /a?b=c HTTP/1.1\r\n\r\n", true, "GET", "/a?b=c"},
        {"leading blanks skipped", "\r\n  POST\t/tx HTTP/1.1\r\n\r\n", true, "POST", "/tx"},
        {"method of 8 split after 7", "PROPFIND /x HTTP/1.1\r\n\r\n", true, "PROPFIN", "D"},
        {"no target", "GET\r\n\r\n", false, "", ""},
        {"empty", "\r\n\r\n", false, "", ""},
        {"NUL ends the text", std::string("GET\0 /x HTTP/1.1\r\n\r\n", 20), false, "", ""},
        {"target cut at 255", "GET /" + std::string(300, 'a') + " HTTP/1.1\r\n\r\n", true, "GET",
         nullptr},
    };
    for (const auto &c : cases) {
        char method[kMethodSize] = {};
        char target[kTargetSize] = {};
        EXPECT_EQ(parse_request_line(c.head, method, target), c.ok) << c.what;
        if (!c.ok)
            continue;
        EXPECT_STREQ(method, c.method) << c.what;
        if (c.target)
            EXPECT_STREQ(target, c.target) << c.what;
        else
            EXPECT_EQ(strlen(target), 255u) << c.what;
    }
}

TEST(ParseRequestLine, NeverTakesTheTargetFromTheNextRequest)
{
    // The head ends at its blank line; the next request's words are beyond it.
    const std::string buf = "GET\r\n\r\nGET /api/v1/voice_call/audio/health HTTP/1.1\r\n\r\n";
    char method[kMethodSize] = {};
    char target[kTargetSize] = {};
    EXPECT_FALSE(parse_request_line(std::string_view(buf).substr(0, 7), method, target));
}

TEST(HeaderValue, Table)
{
    struct Case {
        const char *what;
        std::string head;
        const char *name;
        int rc;
        const char *value;
        std::string after = "";  // buffered beyond the head: the next request
    } cases[] = {
        {"mixed case name", "POST / HTTP/1.1\r\nContent-Length: 120\r\n\r\n", "content-length", 0, "120"},
        {"upper case name", "POST / HTTP/1.1\r\nCONTENT-LENGTH:120\r\n\r\n", "content-length", 0, "120"},
        {"many spaces", "POST / HTTP/1.1\r\ncontent-length:      120\r\n\r\n", "content-length", 0, "120"},
        {"blank before colon", "POST / HTTP/1.1\r\ncontent-length : 120\r\n\r\n", "content-length", -1, ""},
        {"longer name", "POST / HTTP/1.1\r\ncontent-lengthx: 120\r\n\r\n", "content-length", -1, ""},
        {"value cut at 31", "GET / HTTP/1.1\r\nconnection: " + std::string(40, 'v') + "\r\n\r\n",
         "connection", 0, "vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv"},
        {"empty value", "GET / HTTP/1.1\r\nconnection:\r\n\r\n", "connection", 0, ""},
        {"tab kept", "GET / HTTP/1.1\r\nconnection:\tclose\r\n\r\n", "connection", 0, "\tclose"},
        {"trailing blanks kept", "GET / HTTP/1.1\r\nconnection: close  \r\n\r\n", "connection", 0, "close  "},
        {"request line never a header", "connection: close\r\n\r\n", "connection", -1, ""},
        {"name must start its line", "GET / HTTP/1.1\r\nX-Pad: connection: close\r\n\r\n", "connection", -1, ""},
        {"first of two wins", "GET / HTTP/1.1\r\nconnection: a\r\nconnection: b\r\n\r\n", "connection", 0, "a"},
        {"last line without line end", "GET / HTTP/1.1\r\nconnection: end", "connection", 0, "end"},
        {"confined to the given head", "POST /tx HTTP/1.1\r\nHost: a\r\n\r\n", "content-length", -1, "",
         "POST /tx HTTP/1.1\r\nContent-Length: 640\r\n\r\n"},
    };
    for (const auto &c : cases) {
        char dest[kHeaderValueSize];
        memset(dest, 'X', sizeof(dest));
        dest[kHeaderValueSize - 1] = '\0';
        const std::string buf = c.head + c.after;
        EXPECT_EQ(header_value(std::string_view(buf).substr(0, c.head.size()), c.name, dest, sizeof(dest)), c.rc)
            << c.what;
        if (c.rc == 0)
            EXPECT_STREQ(dest, c.value) << c.what;
        else
            EXPECT_EQ(dest[0], 'X') << c.what << ": destination must stay untouched";
    }
}

TEST(RequestAuthorized, WhereTheTokenIs)
{
    const std::string none = "(not verified)";
    const std::string plain = "GET /x HTTP/1.1\r\nHost: a\r\n\r\n";
    const std::string with_header = "GET /x HTTP/1.1\r\nX-Audio-Token: good-h\r\n\r\n";
    // Where in the head the header is found is header_value's (above).
    struct Case {
        const char *what;
        std::string head, target;
        std::string verified;    // the text token_verify is handed
        std::string after = "";  // buffered beyond the head (a body, the next request)
    } cases[] = {
        {"query", plain, "/x?token=good-q", "good-q"},
        {"second query parameter", plain, "/x?a=1&token=good-q", "good-q"},
        {"query token then another parameter", plain, "/x?token=good-q&b=2", "good-q&b=2"},
        {"bad query decides over good header", with_header, "/x?token=bad-q", "bad-q"},
        {"xtoken= is not the token; header consulted", with_header, "/x?xtoken=good-q", "good-h"},
        {"Token= is not the token", plain, "/x?Token=good-q", none},
        {"token= without ? is not a query", plain, "/xtoken=good-q", none},
        {"token= inside a value is not a parameter", plain, "/x?a=token=good-q", none},
        {"header any case", "GET /x HTTP/1.1\r\nx-AUDIO-token:good-h\r\n\r\n", "/x", "good-h"},
        {"header value to its line end", "GET /x HTTP/1.1\r\nx-audio-token: good-h more\r\n\r\n", "/x", "good-h more"},
        {"no token", plain, "/x", none},
        {"header value cut at 96", "GET /x HTTP/1.1\r\nx-audio-token: good" + std::string(120, 'x') + "\r\n\r\n",
         "/x", "good" + std::string(92, 'x')},
        {"the head ends inside the value", "GET /x HTTP/1.1\r\nx-audio-token: go", "/x", "go", "od-h\r\n\r\n"},
    };
    for (const auto &c : cases) {
        g_verified = none;
        const std::string buf = c.head + c.after;
        const int got = request_authorized(std::string_view(buf).substr(0, c.head.size()), c.target.c_str());
        EXPECT_EQ(g_verified, c.verified) << c.what;
        EXPECT_EQ(got, c.verified.rfind("good", 0) == 0 ? 1 : 0) << c.what;
    }
}

TEST(UplinkBodyLength, ReadsContentLengthLikeStrtoulOnEveryWordSize)
{
    auto length = [](const std::string &value) {
        return uplink_body_length("POST /tx HTTP/1.1\r\nContent-Length: " + value + "\r\n\r\n");
    };
    EXPECT_EQ(uplink_body_length("POST /tx HTTP/1.1\r\nHost: a\r\n\r\n"), 0ul) << "absent";
    EXPECT_EQ(length("640"), 640ul);
    EXPECT_EQ(length("65536"), 65536ul);
    EXPECT_EQ(length("+5"), 5ul);
    EXPECT_EQ(length("12abc"), 12ul) << "trailing characters ignored";
    EXPECT_EQ(length("0x10"), 0ul) << "decimal only";
    EXPECT_EQ(length("abc"), 0ul) << "no digits";
    EXPECT_EQ(length("-1"), ULONG_MAX);
    EXPECT_EQ(length("99999999999999999999"), ULONG_MAX) << "20 digits saturate";
    EXPECT_EQ(length(std::string(32, '0') + "640"), 640ul) << "read whole, not cut at 31";
    EXPECT_EQ(length(std::string(8000, '0') + "7"), 7ul);
    // On a 32-bit long, strtoul would wrap this to 1 and accept a body.
    EXPECT_GT(length("-4294967295"), 65536ul);
}

TEST(ConnectionEviction, TheOneThatWaitedLongestUnlessRoomIsOnItsWay)
{
    using S = SlotState;
    const double now = 100.0;
    const struct {
        const char *what;
        std::vector<SlotView> slots;
        int want;
    } cases[] = {
        {"longest waiting, wherever it sits",
         {{S::kWaiting, 90.0}, {S::kWaiting, 50.0}, {S::kWaiting, 70.0}}, 1},
        {"working ones are never taken, however old",
         {{S::kWorking, 1.0}, {S::kWaiting, 99.0}, {S::kFree, 0.0}}, 1},
        {"nobody waits", {{S::kWorking, 1.0}, {S::kWorking, 2.0}}, -1},
        {"tie: the lower place", {{S::kWorking, 1.0}, {S::kWaiting, 60.0}, {S::kWaiting, 60.0}}, 1},
        {"one just evicted frees a place",
         {{S::kWaiting, 10.0}, {S::kEvicted, now - kEvictGraceSeconds / 2}}, -1},
        {"one evicted and stuck holds nobody up",
         {{S::kWaiting, 10.0}, {S::kEvicted, now - kEvictGraceSeconds}}, 0},
        {"one leaving frees a place", {{S::kWaiting, 10.0}, {S::kLeaving, 0.0}}, -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(connection_choose_eviction(c.slots.data(), c.slots.size(), now), c.want) << c.what;
}

TEST(LogGate, TenLinesInAnyTenSecondsThenOneCountPerWindow)
{
    // A flood of a line every 0.125 s for 15 s: ten pass, then none until
    // the first is ten seconds old, then ten more; the lines held back are
    // counted, and their count is due once the first of them is ten seconds
    // old.
    LogGate gate{};
    std::vector<double> passed, want_passed;
    std::vector<std::pair<double, unsigned>> counts;
    for (int i = 0; i <= 120; i++) {
        const double at = i * 0.125;
        unsigned held = 99;
        double span = 0.0;
        if (log_gate_pass(&gate, at, &held, &span))
            passed.push_back(at);
        if (held) {
            counts.emplace_back(at, held);
            EXPECT_EQ(span, 10.0);
        }
    }
    for (int i = 0; i < 10; i++) {
        want_passed.push_back(i * 0.125);
        want_passed.push_back(10.0 + i * 0.125);
    }
    std::sort(want_passed.begin(), want_passed.end());
    EXPECT_EQ(passed, want_passed);
    // Held from 1.25 to 9.875 (70 lines), and the line at 11.25 itself.
    EXPECT_EQ(counts, (std::vector<std::pair<double, unsigned>>{{11.25, 71u}}));
    // After a quiet spell a line passes, with the count of the flood's
    // tail (11.375 to 15) due before it.
    unsigned held = 0;
    double span = 0.0;
    EXPECT_TRUE(log_gate_pass(&gate, 40.0, &held, &span));
    EXPECT_EQ(held, 30u);
    EXPECT_EQ(span, 40.0 - 11.375);
}

TEST(UplinkCeiling, RoomLeftUnderEightyMilliseconds)
{
    const struct {
        const char *what;
        int delay_ms;
        unsigned long allowed;
        bool trim;
    } cases[] = {
        {"empty card: the whole ceiling", 0, 2560, false},
        {"30 ms queued", 30, 1600, false},
        {"61 ms queued: one period at least", 61, 640, false},
        {"at the ceiling: one period", 80, 640, false},
        {"above it: trimmed, then the whole ceiling", 81, 2560, true},
        {"unknown delay: the whole body", -1, ULONG_MAX, false},
    };
    for (const auto &c : cases) {
        bool trim = !c.trim;
        EXPECT_EQ(uplink_allowed_bytes(c.delay_ms, &trim), c.allowed) << c.what;
        EXPECT_EQ(trim, c.trim) << c.what;
    }
    EXPECT_EQ(uplink_skipped_ms(100), 3u) << "50 frames are 3.125 ms";
}

}  // namespace
