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

TEST(UplinkCeiling, SkipsTheOldestAudioInWholeFrames)
{
    const struct {
        const char *what;
        unsigned long length, allowed, skip;
    } cases[] = {
        {"fits", 2560, 2560, 0},
        {"empty post", 0, 640, 0},
        {"one period too many", 3200, 2560, 640},
        // Rounded up, or every later sample would straddle two frames.
        {"odd excess", 2561, 640, 1922},
        {"unknown delay allows all", 65536, ULONG_MAX, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(uplink_excess_bytes(c.length, c.allowed), c.skip) << c.what;
    EXPECT_EQ(uplink_skipped_ms(1922), 60u) << "as the skip line counts it";
}

TEST(UplinkTiming, StaleTailAfterAPauseOfMoreThanTwoTenths)
{
    EXPECT_FALSE(uplink_tail_is_stale(0.02)) << "a punctual post";
    EXPECT_FALSE(uplink_tail_is_stale(0.2)) << "exactly the limit";
    EXPECT_TRUE(uplink_tail_is_stale(0.21));
    EXPECT_TRUE(uplink_tail_is_stale(1e9)) << "no good post yet (the clock minus 0.0)";
}

TEST(UplinkTiming, ShedsACushionThatStayedHighForAWholeWindow)
{
    // Posts of 20 ms (640 bytes); each row is one post: its time (after
    // 100 s of a clock that never reads 0.0 in use), the
    // seconds since the good post before, the queue it found, and what it
    // may shed.
    const struct {
        const char *what;
        double at, since;
        int queued_ms;
        unsigned long shed;
    } rows[] = {
        {"first post opens the window", 0.00, 1e9, 40, 0},
        {"queue high", 1.00, 0.02, 45, 0},
        {"window not over", 1.98, 0.02, 40, 0},
        {"over with 40 ms the least: 20 ms to shed, half a post at most", 2.00, 0.02, 50, 320},
        {"goes on shedding", 2.02, 0.02, 50, 320},
        {"until none is left", 2.04, 0.02, 50, 0},
        {"unknown queue changes nothing", 2.06, 0.02, -1, 0},
        {"it dips to 10 ms", 3.00, 0.02, 10, 0},
        {"so the window ends with nothing to shed", 4.00, 0.02, 60, 0},
        {"a pause starts a new window", 4.50, 0.5, 60, 0},
        {"whose two seconds run from it", 6.40, 0.02, 60, 0},
        {"then it sheds again", 6.50, 0.02, 60, 320},
    };
    UplinkShed s{};
    for (const auto &r : rows)
        EXPECT_EQ(uplink_shed_bytes(&s, 640, r.queued_ms, 100.0 + r.at, r.since), r.shed) << r.what;
    // Never more than half a post, in whole frames.
    UplinkShed big{30, 0.5, 60};
    EXPECT_EQ(uplink_shed_bytes(&big, 1282, 30, 1.0, 0.02), 640u);
    EXPECT_EQ(big.shed_ms, 40u);
}

TEST(UplinkSequence, NewFramesOnlyAndWhereTheSequenceGoes)
{
    const struct {
        const char *what;
        bool started;
        uint64_t next, seq, frames;
        uint64_t old_frames, want_next;
    } cases[] = {
        {"first post: all new", false, 0, 700, 3, 0, 703},
        {"first post without frames", false, 0, 700, 0, 0, 700},
        {"in order", true, 100, 100, 2, 0, 102},
        {"overlap: old frames skipped", true, 100, 98, 4, 2, 102},
        {"overtaken: nothing new", true, 100, 96, 4, 4, 100},
        {"repeat of the last: nothing new", true, 100, 98, 2, 2, 100},
        {"no frames: nothing new, sequence as it stands", true, 100, 40, 0, 0, 100},
        {"forward jump continues", true, 100, 130, 2, 0, 132},
        {"1 s behind is still the same sequence", true, 100, 50, 4, 4, 100},
        {"more than 1 s behind starts a new one", true, 100, 49, 4, 0, 53},
        {"a reloaded page from 0", true, 5000, 0, 1, 0, 1},
        {"largest index", true, 100, 1ull << 53, 102, 0, (1ull << 53) + 102},
    };
    for (const auto &c : cases) {
        const UplinkSeqCut cut = uplink_seq_cut(c.started, c.next, c.seq, c.frames);
        EXPECT_EQ(cut.old_frames, c.old_frames) << c.what;
        EXPECT_EQ(cut.next, c.want_next) << c.what;
    }
    // The ceiling sees the new frames only: five frames of which three
    // were taken, to a card holding 40 ms, skip nothing (the two new ones
    // fill the room left); counted whole, the post would skip 60 ms.
    const UplinkSeqCut cut = uplink_seq_cut(true, 103, 100, 5);
    bool trim = false;
    const unsigned long allowed = uplink_allowed_bytes(40, &trim);
    EXPECT_EQ(uplink_excess_bytes((5 - cut.old_frames) * 640, allowed), 0u);
    EXPECT_EQ(uplink_excess_bytes(5 * 640, allowed), 1920u);
}

TEST(UplinkSeqParam, Table)
{
    const struct {
        const char *what;
        std::string target;
        int rc;
        unsigned long long seq;
    } cases[] = {
        {"none", "/tx?token=t", 0, 0},
        {"no query", "/tx", 0, 0},
        {"after the token", "/tx?token=t&seq=42", 1, 42},
        {"before it", "/tx?seq=0&token=t", 1, 0},
        {"leading zeros", "/tx?seq=0007", 1, 7},
        {"2^53", "/tx?seq=9007199254740992", 1, 9007199254740992ull},
        {"2^53 + 1", "/tx?seq=9007199254740993", -1, 0},
        {"17 digits", "/tx?seq=00000000000000001", -1, 0},
        {"empty", "/tx?seq=", -1, 0},
        {"no value", "/tx?seq&token=t", -1, 0},
        {"sign", "/tx?seq=+1", -1, 0},
        {"minus", "/tx?seq=-1", -1, 0},
        {"trailing letter", "/tx?seq=12a", -1, 0},
        {"percent-encoded", "/tx?seq=%31", -1, 0},
        {"first wins", "/tx?seq=1&seq=x", 1, 1},
        {"first wins when bad", "/tx?seq=x&seq=1", -1, 0},
        {"another name", "/tx?seqs=1&xseq=2", 0, 0},
        {"upper case is another name", "/tx?SEQ=1", 0, 0},
        {"beyond 255 characters of target", "/tx?pad=" + std::string(300, 'p') + "&seq=5", 1, 5},
    };
    for (const auto &c : cases) {
        unsigned long long seq = 0;
        const std::string head = "POST " + c.target + " HTTP/1.1\r\nX-Seq: seq=9\r\n\r\n";
        EXPECT_EQ(uplink_seq_param(head, &seq), c.rc) << c.what;
        EXPECT_EQ(seq, c.seq) << c.what;
    }
    unsigned long long seq = 0;
    EXPECT_EQ(uplink_seq_param(std::string_view("POST /tx?seq=12 HTTP/1.1\r\n\r\n", 14), &seq), 1)
        << "confined to the given head";
    EXPECT_EQ(seq, 1u);
    // Read like the request line: a line end is a blank like any other.
    EXPECT_EQ(uplink_seq_param("POST\r\n/tx?seq=1x HTTP/1.1\r\n\r\n", &seq), -1) << "target after a line end";
}

TEST(UplinkKeeper, WhatItDoesBetweenPosts)
{
    // Times in seconds since an arbitrary start; the last post at 100.0
    // left 40 ms queued.
    const struct {
        const char *what;
        double now, last_used, last_post;
        int level_ms;
        bool close, pad, start_late, timing;
        double wake_at;
    } cases[] = {
        {"punctual: wakes when 10 ms are left", 100.0, 100.0, 100.0, 40, false, false, false, true, 100.03},
        {"due: pads", 100.03, 100.0, 100.0, 40, false, true, false, false, 102.03},
        {"late by two periods: held audio starts too", 100.04, 100.0, 100.0, 40, false, true, true, false,
         102.04},
        {"bridged up to 1 s", 101.0, 101.0, 100.0, 40, false, true, true, false, 103.0},
        {"then the talk spurt is over", 101.01, 101.0, 100.0, 40, false, false, false, false, 103.01},
        {"unknown queue: nothing to time", 100.0, 100.0, 100.0, -1, false, false, false, false, 102.0},
        {"10 s idle stays open", 110.0, 100.0, 100.0, 40, false, false, false, false, 112.0},
        {"10.5 s idle closes", 110.5, 100.0, 100.0, 40, true, false, false, false, 112.5},
        {"a failed post counts as use", 110.5, 105.0, 100.0, 40, false, false, false, false, 112.5},
    };
    for (const auto &c : cases) {
        const UplinkKeeperStep s = uplink_keeper_step(c.now, c.last_used, c.last_post, c.level_ms, 100.0);
        EXPECT_EQ(s.close, c.close) << c.what;
        EXPECT_EQ(s.pad, c.pad) << c.what;
        EXPECT_EQ(s.start_late, c.start_late) << c.what;
        EXPECT_EQ(s.timing, c.timing) << c.what;
        EXPECT_NEAR(s.wake_at, c.wake_at, 1e-9) << c.what;
    }
    EXPECT_NEAR(uplink_keeper_wake(5.0, 30), 5.02, 1e-9) << "after a pad to 30 ms";
}

}  // namespace
