// Capture source: one-period reads from the modem's capture side with
// recovery, and the estimate of how far the reader runs ahead of real time.
#include "audio/audio.h"
#include "audio/internal.h"
#include "base/clock.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using audio::format_error;
using audio::frames_to_ms;

struct CaptureSource {
    snd_pcm_t *pcm;      // first: audio::open_record opens it
    double lead;         // seconds read ahead of real time; never negative
    double last_read;    // monotonic seconds of the last successful read
    uint32_t primed;     // 0 until the first successful read, then 1
    int32_t io_errors;   // consecutive -EIO since the last successful read
};
static_assert(offsetof(CaptureSource, pcm) == 0, "open_record fills the first member");

namespace {
// A driver that keeps failing with -EIO gets about a minute of retries
// (600 x 100 ms) before the stream is given up.
constexpr int32_t kMaxIoErrors = 600;
constexpr useconds_t kIoErrorPauseUs = 100000;
// A device with nothing to hand over yet (-EAGAIN) is given half a period
// before the caller reads again, which it does at once.
constexpr useconds_t kAgainPauseUs = 10000;

// Handles a negative readi result: 0 when the stream can go on, -1 when not.
int recover(CaptureSource *src, snd_pcm_sframes_t code, char *err, size_t err_size)
{
    switch (code) {
    case -EPIPE:  // overrun: the card dropped audio; start capturing again
        snd_pcm_prepare(src->pcm);
        return 0;
    case -EAGAIN:
        usleep(kAgainPauseUs);
        return 0;
    case -ESTRPIPE:
        audio::resume_and_prepare(src->pcm);
        return 0;
    case -EIO:
        if (src->io_errors < kMaxIoErrors) {
            src->io_errors++;
            snd_pcm_prepare(src->pcm);
            usleep(kIoErrorPauseUs);
            return 0;
        }
        break;
    default:
        break;
    }
    format_error(err, err_size, "readi: %s", snd_strerror(static_cast<int>(code)));
    return -1;
}
}  // namespace

CaptureSource *capture_open(const char *device, char *err, size_t err_size)
{
    // An 80 ms buffer; a failed step leaves its own message.
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t period = 0;
    auto *src = static_cast<CaptureSource *>(audio::open_record(
        sizeof(CaptureSource), device, SND_PCM_STREAM_CAPTURE, audio::kCaptureBufferFrames, &buffer,
        &period, err, err_size));
    if (!src)
        return nullptr;
    // What the device actually granted, for whoever reads the log.
    fprintf(stderr, "call-audio: capture %s buffer=%lu frames (%.0fms) period=%lu frames (%.0fms)\n",
            device, static_cast<unsigned long>(buffer), frames_to_ms(buffer),
            static_cast<unsigned long>(period), frames_to_ms(period));
    if (audio::prepare_or_close(src->pcm, err, err_size) != 0) {
        free(src);
        return nullptr;
    }
    return src;
}

int capture_read(CaptureSource *src, unsigned char *buf, char *err, size_t err_size)
{
    snd_pcm_sframes_t frames = snd_pcm_readi(src->pcm, buf, audio::kPeriodFrames);
    // Recovery paths leave the lead and the last read time alone, so the
    // next successful read accounts for the whole time since the previous.
    if (frames < 0)
        return recover(src, frames, err, err_size);

    // Any non-negative count, 0 included, is a successful read.
    src->io_errors = 0;
    double now = monotonic_seconds();
    if (!src->primed) {
        // Nothing to measure against yet; the lead stays 0.
        src->primed = 1;
    } else {
        // A read that returns at once gains its own duration on real time;
        // one that waited a period's time gains nothing.
        double lead = (static_cast<double>(frames) / audio::kRate - (now - src->last_read)) +
                      src->lead;
        src->lead = lead < 0.0 ? 0.0 : lead;
    }
    src->last_read = now;
    return static_cast<int>(frames * audio::kBytesPerFrame);
}

double capture_lead(const CaptureSource *src)
{
    return src ? src->lead : 0.0;
}

void capture_shed(CaptureSource *src, size_t bytes)
{
    if (!src)
        return;
    size_t frames = bytes / audio::kBytesPerFrame;  // an odd byte is not a frame
    double lead = src->lead - static_cast<double>(frames) / audio::kRate;
    src->lead = lead < 0.0 ? 0.0 : lead;
}

int capture_delay_ms(const CaptureSource *src)
{
    return src ? pcm_delay_ms(src->pcm) : -1;
}

void capture_close(CaptureSource *src)
{
    if (!src)
        return;
    if (src->pcm) {
        snd_pcm_drop(src->pcm);
        snd_pcm_close(src->pcm);
    }
    free(src);
}
