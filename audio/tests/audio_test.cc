// Device failures, pauses and the clock come from the stand-in device in
// fake_alsa.cc; a test queues failures and checks what the device was left
// with: its set-up, state, queue and the audio it took.
#include "audio/audio.h"
#include "audio/internal.h"
#include "audio/tests/fake_alsa.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {
constexpr size_t kErrSize = 256;
const char *const kDevice = "plughw:CARD=modem";
constexpr double kClockSlack = 1e-6;  // the fake clock is exact to ~1 ns per read

std::string set_up(int buffer)  // the fixed format with `buffer` frames asked
{
    return "RW_INTERLEAVED S16_LE 1ch 16000Hz period 320 buffer " + std::to_string(buffer);
}

class AudioTest : public testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    char err[kErrSize] = "";
};

// An open capture source, on the fake clock.
class CaptureTest : public AudioTest {
protected:
    void SetUp() override
    {
        AudioTest::SetUp();
        fake::alsa.fake_clock = true;
        reopen();
    }
    void TearDown() override
    {
        capture_close(src);
        fake::alsa.fake_clock = false;
    }
    int read() { return capture_read(src, buf, err, sizeof(err)); }
    int read_after(double seconds)  // on the fake clock
    {
        fake::alsa.now += seconds;
        return read();
    }
    void reopen()  // the summary line kept off the output
    {
        capture_close(src);
        CaptureStderr();
        src = capture_open(kDevice, err, sizeof(err));
        GetCapturedStderr();
        ASSERT_NE(src, nullptr);
    }
    CaptureSource *src = nullptr;
    unsigned char buf[audio::kPeriodBytes] = {};
};

class SinkTest : public AudioTest {
protected:
    void SetUp() override
    {
        AudioTest::SetUp();
        CaptureStderr();
        sink = sink_open(kDevice, err, sizeof(err));
        GetCapturedStderr();
        ASSERT_NE(sink, nullptr);
    }
    void TearDown() override { sink_close(sink); }
    PlaybackSink *sink = nullptr;
};
}  // namespace

// --- PCM set-up ---

TEST_F(AudioTest, PcmConfigureInstallsFixedFormatAndReportsGrantedSizes)
{
    fake::alsa.granted_buffer = 1024;
    fake::alsa.granted_period = 256;
    snd_pcm_uframes_t buffer = 0, period = 0;
    ASSERT_EQ(pcm_configure(fake::handle(), 1920, &buffer, &period, err, sizeof(err)), 0);
    EXPECT_EQ(fake::alsa.hw, set_up(1920));
    EXPECT_EQ(buffer, 1024u);
    EXPECT_EQ(period, 256u);
}

TEST_F(AudioTest, PcmConfigureStopsAtFailingStepWithItsMessage)
{
    const struct {
        const char *call;
        const char *message;
    } cases[] = {
        {"hw_params_any", "hw_params_any: Invalid argument"},
        {"set_access", "set_access: Invalid argument"},
        {"set_format", "set_format S16_LE: Invalid argument"},
        {"set_channels", "set_channels: Invalid argument"},
        // The fake writes 48000 back; the message still names the asked rate.
        {"set_rate_near", "set_rate 16000: Invalid argument"},
        {"set_period_size_near", "set_period_size: Invalid argument"},
        {"set_buffer_size_near", "set_buffer_size: Invalid argument"},
        {"hw_params", "hw_params: Invalid argument"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        fake::reset();
        fake::queue(c.call, -EINVAL);
        snd_pcm_uframes_t buffer = 7, period = 7;
        EXPECT_EQ(pcm_configure(fake::handle(), 1280, &buffer, &period, err, sizeof(err)), -1);
        EXPECT_STREQ(err, c.message);
        EXPECT_EQ(fake::alsa.hw, "");  // nothing installed
        EXPECT_EQ(buffer, 7u);
        EXPECT_EQ(period, 7u);
    }
}

TEST(FormatError, CutsTerminatesAndIgnoresEmptyBuffers)
{
    const struct {
        size_t size;
        const char *expected;
    } cases[] = {{1, ""}, {8, "readi: "}, {kErrSize, "readi: Input/output error"}};
    for (const auto &c : cases) {
        char buf[kErrSize];
        memset(buf, 'x', sizeof(buf));
        audio::format_error(buf, c.size, "readi: %s", "Input/output error");
        EXPECT_STREQ(buf, c.expected);
    }
    char untouched[4] = "abc";
    audio::format_error(untouched, 0, "readi: %s", "x");
    EXPECT_STREQ(untouched, "abc");
    audio::format_error(nullptr, kErrSize, "readi: %s", "x");
}

TEST_F(AudioTest, PcmDelayMsConvertsFramesToWholeMilliseconds)
{
    const struct {
        const char *what;
        long result;
        snd_pcm_sframes_t frames;
        int ms;
    } cases[] = {
        {"unreadable delay", -EIO, 0, -1}, {"negative delay", 0, -40, 0},
        {"15 frames", 0, 15, 0},           {"16 frames", 0, 16, 1},
        {"one period", 0, 320, 20},        {"remainder dropped", 0, 335, 20},
    };
    auto *pcm = fake::handle();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        fake::queue("delay", c.result);
        fake::alsa.delays.push_back(c.frames);
        EXPECT_EQ(pcm_delay_ms(pcm), c.ms);
    }
    fake::reset();
    EXPECT_EQ(pcm_delay_ms(nullptr), -1);
    EXPECT_EQ(fake::alsa.calls, 0);
}

// --- Capture source ---

TEST_F(AudioTest, CaptureOpenSetsUpABlockingDevicePrintsSummaryAndCloseReleasesIt)
{
    CaptureStderr();
    CaptureSource *src = capture_open(kDevice, err, sizeof(err));
    EXPECT_EQ(GetCapturedStderr(),
              "call-audio: capture plughw:CARD=modem buffer=1280 frames (80ms) "
              "period=320 frames (20ms)\n");
    ASSERT_NE(src, nullptr);
    // Opened without blocking (a device another process holds must not
    // hang the thread), then switched to blocking reads.
    EXPECT_EQ(fake::alsa.opened, "capture plughw:CARD=modem 1");
    EXPECT_EQ(fake::alsa.nonblock, 0);
    EXPECT_EQ(fake::alsa.hw, set_up(1280));
    EXPECT_EQ(fake::alsa.state, SND_PCM_STATE_PREPARED);
    capture_close(src);
    EXPECT_EQ(fake::alsa.open, 0);
}

TEST_F(AudioTest, OpenFailuresReleaseEverything)
{
    using Open = bool (*)(char *);  // true when a record came back
    const Open capture = [](char *e) {
        CaptureSource *s = capture_open(kDevice, e, kErrSize);
        capture_close(s);
        return s != nullptr;
    };
    const Open playback = [](char *e) {
        PlaybackSink *s = sink_open(kDevice, e, kErrSize);
        sink_close(s);
        return s != nullptr;
    };
    const struct {
        const char *what;
        Open open;
        const char *call;
        const char *message;
        int code;
        bool summary;
        int times = 1;  // results queued for `call`
    } cases[] = {
        {"capture open", capture, "open", "open plughw:CARD=modem: No such device", -ENODEV, false},
        // A device another process holds: asked 8 times, then given up.
        {"capture busy", capture, "open", "open plughw:CARD=modem: Device or resource busy", -EBUSY, false, 8},
        {"playback busy", playback, "open", "open plughw:CARD=modem: Resource temporarily unavailable",
         -EAGAIN, false, 8},
        {"blocking mode refused", playback, "nonblock", "open plughw:CARD=modem: Invalid argument", -EINVAL, false},
        {"capture hw", capture, "hw_params", "hw_params: Invalid argument", -EINVAL, false},
        {"capture prepare", capture, "prepare", "prepare: Input/output error", -EIO, true},
        {"playback open", playback, "open", "open plughw:CARD=modem: No such device", -ENODEV, false},
        {"playback hw", playback, "set_access", "set_access: Invalid argument", -EINVAL, false},
        {"playback sw", playback, "sw_params", "sw_params: Invalid argument", -EINVAL, false},
        {"playback prepare", playback, "prepare", "prepare: Input/output error", -EIO, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        fake::queue(c.call, c.code, c.times);
        CaptureStderr();
        EXPECT_FALSE(c.open(err));
        EXPECT_EQ(fake::alsa.slept_us, 40000L * (c.times - 1));  // 40 ms between tries
        EXPECT_EQ(!GetCapturedStderr().empty(), c.summary);
        EXPECT_STREQ(err, c.message);
        EXPECT_EQ(fake::alsa.open, 0);  // closed exactly when it was opened
    }
}

TEST_F(AudioTest, OpenWaitsBrieflyForADeviceAStreamIsHandingOver)
{
    // An older stream still closes the device: busy twice, then free.
    fake::queue("open", -EBUSY, 2);
    CaptureStderr();
    CaptureSource *src = capture_open(kDevice, err, sizeof(err));
    GetCapturedStderr();
    ASSERT_NE(src, nullptr);
    capture_close(src);
    EXPECT_EQ(fake::alsa.slept_us, 2 * 40000L);
    EXPECT_EQ(fake::alsa.nonblock, 0);
}

TEST_F(CaptureTest, RecoversFromOverrunRetryAndSuspend)
{
    const struct {
        const char *what;
        long code;
        std::vector<long> resumes;
        int result;
        long slept_us;  // pauses before the read returns
    } cases[] = {
        {"overrun", -EPIPE, {}, 0, 0},
        {"try again", -EAGAIN, {}, 0, 10000},
        {"suspend", -ESTRPIPE, {-EAGAIN, -EAGAIN, 0}, 0, 20000},
        {"resume refused", -ESTRPIPE, {-ENOSYS}, 0, 0},
        {"other error", -EBADFD, {}, -1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake::alsa.slept_us = 0;
        fake::queue("readi", c.code);
        for (long r : c.resumes)
            fake::queue("resume", r);
        EXPECT_EQ(read(), c.result);
        EXPECT_EQ(fake::alsa.slept_us, c.slept_us);
        EXPECT_EQ(read(), 640) << "the device is not readable again";
    }
    EXPECT_STREQ(err, "readi: File descriptor in bad state");
}

TEST_F(CaptureTest, AbsorbsSixHundredIoErrorsThenEndsStream)
{
    // Only a successful read, even of no frames, restarts the count; the
    // other recoveries leave it alone.
    fake::queue("readi", -EIO, 600);
    fake::queue("readi", 0);
    fake::queue("readi", -EIO, 600);
    for (long code : {-EPIPE, -EAGAIN, -ESTRPIPE})
        fake::queue("readi", code);
    for (int i = 0; i < 1204; i++)
        ASSERT_EQ(read(), 0) << "read " << i + 1;
    // 100 ms after each I/O error, 10 ms after the -EAGAIN.
    EXPECT_EQ(fake::alsa.slept_us, 1200 * 100000L + 10000);

    fake::queue("readi", -EIO);
    EXPECT_EQ(read(), -1);
    EXPECT_STREQ(err, "readi: Input/output error");
    EXPECT_EQ(fake::alsa.slept_us, 1200 * 100000L + 10000);  // given up at once
}

TEST_F(CaptureTest, LeadGrowsOnlyWithReadsThatReturnEarly)
{
    EXPECT_EQ(read(), 640);  // primes
    EXPECT_EQ(capture_lead(src), 0.0);
    for (int i = 0; i < 10; i++)
        read_after(0.001);
    EXPECT_NEAR(capture_lead(src), 10 * 0.019, kClockSlack);
    read_after(0.02);  // a read that waited its period keeps the lead
    EXPECT_NEAR(capture_lead(src), 0.19, kClockSlack);
    read_after(1.0);
    EXPECT_EQ(capture_lead(src), 0.0);
}

TEST_F(CaptureTest, EmptyFirstReadPrimesAndAShortReadGainsItsOwnLength)
{
    fake::queue("readi", 0);
    EXPECT_EQ(read(), 0);
    read();
    EXPECT_NEAR(capture_lead(src), 0.02, kClockSlack);
    fake::queue("readi", 100);
    EXPECT_EQ(read(), 200);
    EXPECT_NEAR(capture_lead(src), 0.02625, kClockSlack);
}

TEST_F(CaptureTest, RecoveryLeavesPrimingLeadAndLastReadTimeAlone)
{
    for (long code : {-EPIPE, -EIO, -EAGAIN, -ESTRPIPE}) {
        SCOPED_TRACE(code);
        reopen();
        fake::queue("readi", code);
        EXPECT_EQ(read(), 0);
        read();  // the first successful read primes: no lead yet
        read();
        read();
        ASSERT_NEAR(capture_lead(src), 0.04, kClockSlack);
        fake::queue("readi", code);
        EXPECT_EQ(read_after(0.01), 0);
        EXPECT_NEAR(capture_lead(src), 0.04, kClockSlack);
        read_after(0.02);  // charged the whole 30 ms since the last successful read
        EXPECT_NEAR(capture_lead(src), 0.03, kClockSlack);
    }
}

TEST_F(CaptureTest, ShedLowersLeadByWholeFramesNeverBelowZero)
{
    for (int i = 0; i < 4; i++)
        read();
    capture_shed(src, 640);
    EXPECT_NEAR(capture_lead(src), 0.04, kClockSlack);
    capture_shed(src, 641);  // the odd byte is not a frame
    EXPECT_NEAR(capture_lead(src), 0.02, kClockSlack);
    read_after(0.03);  // a late read leaves 0.01
    EXPECT_NEAR(capture_lead(src), 0.01, kClockSlack);
    capture_shed(src, 640);
    EXPECT_EQ(capture_lead(src), 0.0);
}

TEST_F(AudioTest, CardDiscoveryPrefersRm500qglThenModem)
{
    const struct {
        const char *what;
        std::vector<std::string> cards;
        int present;
        const char *name;
    } cases[] = {
        {"modem alone", {"modem"}, 1, "plughw:CARD=modem"},
        {"both", {"modem", "RM500QGL"}, 1, "plughw:CARD=RM500QGL"},
        {"neither", {"Loopback", "modemX"}, 0, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake::alsa.cards = c.cards;
        EXPECT_EQ(card_present(), c.present);
        const long mallocs = fake::mallocs;
        char *name = card_device_name();
        EXPECT_STREQ(name, c.name);
        EXPECT_EQ(fake::mallocs - mallocs, c.name ? 1 : 0);
        free(name);
    }
}

TEST(NullRecords, AreHarmless)
{
    fake::reset();
    EXPECT_EQ(capture_lead(nullptr), 0.0);
    EXPECT_EQ(capture_delay_ms(nullptr), -1);
    capture_shed(nullptr, 640);
    capture_close(nullptr);
    EXPECT_EQ(sink_delay_ms(nullptr), -1);
    EXPECT_EQ(sink_trim(nullptr), -1);
    sink_close(nullptr);
    EXPECT_EQ(fake::alsa.calls, 0);
}

// --- Playback sink ---

TEST_F(AudioTest, SinkOpenSetsThresholdsFromGrantedSizes)
{
    const struct {
        const char *what;
        snd_pcm_uframes_t buffer, period;
        const char *summary;
        const char *sw;
    } cases[] = {
        {"starts at two granted periods", 1600, 400,
         "call-audio: playback plughw:CARD=RM500QGL buffer=1600 frames (100ms) "
         "period=400 frames (25ms) start_threshold=800\n",
         "start 800 stop 1600 avail_min 400"},
        {"a buffer under two periods caps the start", 480, 320,
         "call-audio: playback plughw:CARD=RM500QGL buffer=480 frames (30ms) "
         "period=320 frames (20ms) start_threshold=480\n",
         "start 480 stop 480 avail_min 320"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake::alsa.granted_buffer = c.buffer;
        fake::alsa.granted_period = c.period;
        CaptureStderr();
        PlaybackSink *sink = sink_open("plughw:CARD=RM500QGL", err, sizeof(err));
        EXPECT_EQ(GetCapturedStderr(), c.summary);
        ASSERT_NE(sink, nullptr);
        EXPECT_EQ(fake::alsa.opened, "playback plughw:CARD=RM500QGL 1");
        EXPECT_EQ(fake::alsa.nonblock, 0);
        EXPECT_EQ(fake::alsa.hw, set_up(1920));
        EXPECT_EQ(fake::alsa.sw, c.sw);
        EXPECT_EQ(fake::alsa.state, SND_PCM_STATE_PREPARED);
        sink_close(sink);
        EXPECT_EQ(fake::alsa.open, 0);
    }
}

TEST_F(SinkTest, WritesWholeFramesAndRecovers)
{
    const struct {
        const char *what;
        size_t bytes;
        std::vector<long> writes;   // queued writei results
        std::vector<long> resumes;  // queued resume results
        int result;
        size_t taken;   // leading bytes the device took, each once and in order
        long slept_us;  // pauses before the write returns
    } cases[] = {
        {"nothing", 0, {}, {}, 0, 0, 0},
        {"half a frame", 1, {}, {}, 0, 0, 0},
        {"odd byte dropped", 641, {}, {}, 0, 640, 0},
        {"two pieces", 640, {200}, {}, 0, 640, 0},
        {"a piece, then an underrun", 640, {100, -EPIPE}, {}, 0, 640, 0},
        {"underrun", 640, {-EPIPE}, {}, 0, 640, 0},
        {"suspend", 640, {-ESTRPIPE}, {-EAGAIN, -EAGAIN, -ENOSYS}, 0, 640, 20000},
        {"try again", 640, {-EAGAIN}, {}, 0, 640, 10000},
        {"nothing taken", 640, {0}, {}, 0, 640, 10000},
        {"I/O error after a piece", 640, {100, -EIO}, {}, -1, 200, 0},
    };
    unsigned char samples[641];
    for (size_t i = 0; i < sizeof(samples); i++)  // frame k holds the number k
        samples[i] = static_cast<unsigned char>(i % 2 ? i / 512 : i / 2);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake::alsa.written.clear();
        fake::alsa.slept_us = 0;
        for (long r : c.writes)
            fake::queue("writei", r);
        for (long r : c.resumes)
            fake::queue("resume", r);
        EXPECT_EQ(sink_write(sink, samples, c.bytes, err, sizeof(err)), c.result);
        EXPECT_EQ(fake::alsa.written, std::string(reinterpret_cast<char *>(samples), c.taken));
        EXPECT_EQ(fake::alsa.slept_us, c.slept_us);
    }
    EXPECT_STREQ(err, "writei: Input/output error");

    // A card that takes nothing for a second fails the write instead of
    // holding the caller (and its mutex) for ever; progress restarts the
    // count.
    for (int progress : {0, 1}) {
        SCOPED_TRACE(progress ? "progress half-way" : "no progress");
        fake::alsa.slept_us = 0;
        fake::queue("writei", -EAGAIN, 60);
        if (progress)
            fake::queue("writei", 100);
        fake::queue("writei", -EAGAIN, progress ? 60 : 41);
        EXPECT_EQ(sink_write(sink, samples, 640, err, sizeof(err)), progress ? 0 : -1);
        EXPECT_EQ(fake::alsa.slept_us, progress ? 1200000 : 1000000);
    }
    EXPECT_STREQ(err, "writei: Resource temporarily unavailable");
}

TEST_F(SinkTest, DropsOnlyAudioThatNeverStarted)
{
    // A tail under the start cushion waits in a prepared device: it goes,
    // and the device stays ready. A running device, or a prepared one with
    // nothing queued, is left alone.
    const struct {
        snd_pcm_state_t state;
        long queued, ms, left;
    } cases[] = {{SND_PCM_STATE_PREPARED, 320, 20, 0},
                 {SND_PCM_STATE_RUNNING, 320, 0, 320},
                 {SND_PCM_STATE_PREPARED, 0, 0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.state);
        fake::alsa.state = c.state;
        fake::alsa.queued = c.queued;
        EXPECT_EQ(sink_drop_unstarted(sink), c.ms);
        EXPECT_EQ(fake::alsa.queued, c.left);
        EXPECT_EQ(fake::alsa.state, c.state);
    }
}

TEST_F(SinkTest, TrimDropsAndPreparesEvenWhenDelayIsUnreadable)
{
    const struct {
        const char *what;
        const char *failing;
        int result;
        long left;              // frames still queued
        snd_pcm_state_t state;  // prepared: ready for the next write
    } cases[] = {
        {"healthy", nullptr, 40, 0, SND_PCM_STATE_PREPARED},
        {"unreadable delay", "delay", -1, 0, SND_PCM_STATE_PREPARED},
        {"drop fails", "drop", -1, 640, SND_PCM_STATE_RUNNING},
        {"prepare fails", "prepare", -1, 0, SND_PCM_STATE_SETUP},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake::alsa.state = SND_PCM_STATE_RUNNING;
        fake::alsa.queued = 640;
        if (c.failing)
            fake::queue(c.failing, -EIO);
        EXPECT_EQ(sink_trim(sink), c.result);
        EXPECT_EQ(fake::alsa.queued, c.left);
        EXPECT_EQ(fake::alsa.state, c.state);
    }
    fake::alsa.delays = {330};
    EXPECT_EQ(sink_delay_ms(sink), 20);
}
