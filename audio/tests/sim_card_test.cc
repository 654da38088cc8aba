// The audio module against the real libasound on the simulated modem card (run under
// with-sim-card); bounds come from the card's frame numbers and times measured around a call.
#include "audio/audio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

constexpr size_t kErr = 256;

double now_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Writes a file of the card's state folder, a fault command or the clock speed (written, then
// renamed, so the card never sees half of it).
void sim_write(const std::string &file, const std::string &text)
{
    const char *dir = getenv("CALLAUDIO_SIM_DIR");
    ASSERT_NE(dir, nullptr) << "run under with-sim-card";
    const std::string path = std::string(dir) + "/" + file;
    FILE *f = fopen((path + ".tmp").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "%s\n", text.c_str());
    fclose(f);
    ASSERT_EQ(rename((path + ".tmp").c_str(), path.c_str()), 0);
}

struct Device {
    char *name = card_device_name();
    ~Device() { free(name); }
};

// The card's device name, a capture source closed and the card's clock back at real time however
// the test ends: a source left open after a failed check would block the next test's open for good.
class SimCard : public testing::Test {
protected:
    void TearDown() override { capture_close(src); sim_write("cards/RM500QGL/clock", "1"); }
    void open_capture()
    {
        ASSERT_NE(dev.name, nullptr);
        src = capture_open(dev.name, err, sizeof(err));
        ASSERT_NE(src, nullptr) << err;
    }
    int read() { return capture_read(src, buf, err, sizeof(err)); }
    Device dev;
    char err[kErr] = {};
    CaptureSource *src = nullptr;
    unsigned char buf[audio::kPeriodBytes] = {};
};

TEST_F(SimCard, CaptureDeliversConsecutivePeriods)
{
    // At a quarter speed the card's 80 ms buffer lasts 320 ms: a reader woken late loses no audio.
    // A sample's low byte numbers its frame: each read must follow the one before.
    sim_write("cards/RM500QGL/clock", "0.25");
    ASSERT_NO_FATAL_FAILURE(open_capture());
    for (int i = 0, frame = 0; i <= 25; ++i) {
        ASSERT_EQ(read(), 640) << err;
        frame = i ? frame : buf[0];
        for (size_t k = 0; k < sizeof(buf); k += 2)
            ASSERT_EQ(buf[k], frame++ % 256) << "read " << i << ", frame " << k / 2;
    }
}

TEST_F(SimCard, BurstRaisesTheLead)
{
    ASSERT_NO_FATAL_FAILURE(open_capture());
    // Reads k+1..n that brought more audio than the time from before read k to after read n ran
    // ahead of real time by that at least; and only on audio the card held, so by at most the
    // most it held, a period and the stall. A 60 ms stall (within the buffer) arrives as a burst.
    double audio = 0.0, held = 0.0, best = -1e9;  // best over the reads k so far: before_k - audio_k
    for (int i = 0; i < 25; ++i) {
        if (i == 5)
            sim_write("control/stall.cmd", "stall 60 dir=capture");
        const double before = now_s();
        const int got = read();  // 0: an overrun recovered, not a read the lead counts
        ASSERT_GE(got, 0) << err;
        audio += got / 32000.0;
        held = std::max(held, capture_delay_ms(src) / 1000.0);
        EXPECT_GE(capture_lead(src) + 1e-6, audio - now_s() + best) << "read " << i;
        EXPECT_LE(capture_lead(src), held + 0.001 + 0.020 + 0.060) << "read " << i;
        best = got ? std::max(best, before - audio) : best;
    }
}

TEST_F(SimCard, SinkDelayMatchesWhatIsQueuedAndIdleSinkRecovers)
{
    PlaybackSink *sink = sink_open(dev.name, err, sizeof(err));
    ASSERT_NE(sink, nullptr) << err;
    // A write is queued whole: the delay after it is less only by what played since it began. Run
    // dry between the two (stop threshold: the buffer), the card stops; the second must restart it.
    static unsigned char audio_bytes[2560] = {};
    for (int ms : {80, 40}) {
        usleep(ms == 40 ? 150 * 1000 : 0);
        const double start = now_s();
        ASSERT_EQ(sink_write(sink, audio_bytes, ms * 32, err, sizeof(err)), 0) << err;
        const int queued = sink_delay_ms(sink), played = static_cast<int>((now_s() - start) * 1000) + 1;
        EXPECT_TRUE(queued <= ms && queued >= ms - played) << queued << " ms queued of " << ms;
    }
    EXPECT_GE(sink_trim(sink), 0);
    EXPECT_EQ(sink_delay_ms(sink), 0);
    sink_close(sink);
}

TEST_F(SimCard, VanishedCardHasNoDeviceName)
{
    // The wrapper starts this program with only the RM500QGL card.
    EXPECT_EQ(card_exists("modem"), 0);
    EXPECT_STREQ(dev.name, "plughw:CARD=RM500QGL");

    // The card's folder going away is the card vanishing (as simctl unplug).
    const char *dir = getenv("CALLAUDIO_SIM_DIR");
    ASSERT_NE(dir, nullptr) << "run under with-sim-card";
    const std::string card = std::string(dir) + "/cards/RM500QGL";
    const std::string gone = std::string(dir) + "/.gone-RM500QGL";
    ASSERT_EQ(rename(card.c_str(), gone.c_str()), 0);
    EXPECT_EQ(card_present(), 0);
    Device vanished;
    EXPECT_EQ(vanished.name, nullptr);
    ASSERT_EQ(rename(gone.c_str(), card.c_str()), 0);
    EXPECT_EQ(card_present(), 1);
}

}  // namespace
