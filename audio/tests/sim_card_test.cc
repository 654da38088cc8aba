// The audio module against the real libasound on the simulated modem card
// (run under tools/simcard/with-sim-card). Timing bounds are generous: this
// checks behaviour in real time, not performance.
#include "audio/audio.h"

#include <gtest/gtest.h>

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

// Queues one fault command for the simulated card (written, then renamed,
// so the card never sees half a command).
void sim_command(const std::string &text)
{
    const char *dir = getenv("CALLAUDIO_SIM_DIR");
    ASSERT_NE(dir, nullptr) << "run under with-sim-card";
    static int seq = 0;
    std::string base = std::string(dir) + "/control/" + std::to_string(getpid()) + "-" + std::to_string(++seq);
    FILE *f = fopen((base + ".tmp").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "%s\n", text.c_str());
    fclose(f);
    ASSERT_EQ(rename((base + ".tmp").c_str(), (base + ".cmd").c_str()), 0);
}

struct Device {
    char *name = card_device_name();
    ~Device() { free(name); }
};

// The card's device name, and a capture source closed however the test
// ends: one left open after a failed check would block the next test's
// open for good.
class SimCard : public testing::Test {
protected:
    void TearDown() override { capture_close(src); }
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

TEST_F(SimCard, CaptureDeliversOnePeriodEvery20ms)
{
    ASSERT_NO_FATAL_FAILURE(open_capture());
    ASSERT_EQ(read(), 640) << err;
    const double start = now_s();
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(read(), 640) << err;
    const double elapsed = now_s() - start;
    EXPECT_GT(elapsed, 0.9);
    EXPECT_LT(elapsed, 1.3);
    EXPECT_LT(capture_lead(src), 0.05);
}

TEST_F(SimCard, BurstRaisesTheLead)
{
    ASSERT_NO_FATAL_FAILURE(open_capture());
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(read(), 640) << err;
    // 60 ms of stall stays within the 80 ms buffer: it arrives as a burst.
    sim_command("stall 60 dir=capture");
    double peak = 0.0;
    for (int i = 0; i < 20; ++i) {
        ASSERT_GE(read(), 0) << err;
        if (capture_lead(src) > peak)
            peak = capture_lead(src);
    }
    EXPECT_GT(peak, 0.03) << "reads that return at once must raise the lead";
}

TEST_F(SimCard, SinkDelayMatchesWhatIsQueuedAndIdleSinkRecovers)
{
    PlaybackSink *sink = sink_open(dev.name, err, sizeof(err));
    ASSERT_NE(sink, nullptr) << err;
    static unsigned char audio_bytes[2560] = {};
    ASSERT_EQ(sink_write(sink, audio_bytes, sizeof(audio_bytes), err, sizeof(err)), 0) << err;
    const int queued = sink_delay_ms(sink);
    EXPECT_LE(queued, 80);
    EXPECT_GE(queued, 60) << "80 ms written in one go, playing since two periods were in";

    // Let it run dry: the stop threshold is the whole buffer, so the card
    // stops; the next write must prepare and play again.
    usleep(150 * 1000);
    ASSERT_EQ(sink_write(sink, audio_bytes, 1280, err, sizeof(err)), 0) << err;
    const int after = sink_delay_ms(sink);
    EXPECT_GE(after, 20);
    EXPECT_LE(after, 40);

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
