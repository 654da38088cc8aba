// Playback sink: the modem's playback side, written by the uplink under its
// mutex, with the queue measurement and trim that keep latency bounded.
#include "audio/audio.h"
#include "audio/internal.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using audio::format_error;
using audio::frames_to_ms;
using audio::resume_and_prepare;

namespace {
// A card that takes no frame (-EAGAIN, or a write of 0 frames) is waited
// for in pauses of half a period, and given up after a second without
// progress: the post then fails like any write error, and the uplink mutex,
// held across the write, is released.
constexpr useconds_t kStallPauseUs = 10000;
constexpr int kMaxStalledTries = 100;
constexpr snd_pcm_uframes_t kStartPeriods = audio::kPlaybackStartPeriods;

}  // namespace

struct PlaybackSink {
    snd_pcm_t *pcm;             // first: audio::open_record opens it; valid until sink_close
    snd_pcm_uframes_t start;    // the start threshold set, frames
    snd_pcm_uframes_t buffer;   // the buffer granted, frames
};
static_assert(offsetof(PlaybackSink, pcm) == 0, "open_record fills the first member");

PlaybackSink *sink_open(const char *device, char *err, size_t err_size)
{
    // A 120 ms buffer; a failed step leaves its own message.
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t period = 0;
    auto *sink = static_cast<PlaybackSink *>(audio::open_record(
        sizeof(PlaybackSink), device, SND_PCM_STREAM_PLAYBACK, audio::kPlaybackBufferFrames, &buffer,
        &period, err, err_size));
    if (!sink)
        return nullptr;
    // Start once a cushion of two periods is queued (never more than the
    // buffer, or playback would never start); stop only when the queue has
    // run completely dry; wake a blocked writer once a period is free. The
    // setters only fill the record and snd_pcm_sw_params validates it, so
    // only its result is checked.
    snd_pcm_uframes_t start = kStartPeriods * period;
    if (start > buffer)
        start = buffer;
    snd_pcm_sw_params_t *sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_sw_params_current(sink->pcm, sw);
    snd_pcm_sw_params_set_start_threshold(sink->pcm, sw, start);
    snd_pcm_sw_params_set_stop_threshold(sink->pcm, sw, buffer);
    snd_pcm_sw_params_set_avail_min(sink->pcm, sw, period);
    sink->start = start;
    sink->buffer = buffer;
    int rc = snd_pcm_sw_params(sink->pcm, sw);
    if (rc < 0) {
        format_error(err, err_size, "sw_params: %s", snd_strerror(rc));
        snd_pcm_close(sink->pcm);
        free(sink);
        return nullptr;
    }
    // What the device actually granted, for whoever reads the log.
    fprintf(stderr,
            "call-audio: playback %s buffer=%lu frames (%.0fms) period=%lu frames (%.0fms) "
            "start_threshold=%lu\n",
            device, static_cast<unsigned long>(buffer), frames_to_ms(buffer),
            static_cast<unsigned long>(period), frames_to_ms(period),
            static_cast<unsigned long>(start));
    if (audio::prepare_or_close(sink->pcm, err, err_size) != 0) {
        free(sink);
        return nullptr;
    }
    return sink;
}

void sink_close(PlaybackSink *sink)
{
    if (!sink)
        return;
    if (sink->pcm) {
        // Drop, not drain: what is still queued is stale by now.
        snd_pcm_drop(sink->pcm);
        snd_pcm_close(sink->pcm);
    }
    free(sink);
}

int sink_delay_ms(PlaybackSink *sink)
{
    return sink ? pcm_delay_ms(sink->pcm) : -1;
}

int sink_buffer_ms(const PlaybackSink *sink)
{
    return sink ? static_cast<int>(sink->buffer / audio::kFramesPerMs) : 0;
}

int sink_trim(PlaybackSink *sink)
{
    if (!sink || !sink->pcm)
        return -1;
    // Measured before the drop; -1 here still lets the trim go ahead.
    int queued_ms = pcm_delay_ms(sink->pcm);
    if (snd_pcm_drop(sink->pcm) < 0)
        return -1;
    if (snd_pcm_prepare(sink->pcm) < 0)
        return -1;
    return queued_ms;
}

int sink_drop_unstarted(PlaybackSink *sink)
{
    if (!sink || !sink->pcm || snd_pcm_state(sink->pcm) != SND_PCM_STATE_PREPARED)
        return 0;
    int queued_ms = pcm_delay_ms(sink->pcm);
    if (queued_ms <= 0)
        return 0;
    snd_pcm_drop(sink->pcm);
    snd_pcm_prepare(sink->pcm);
    return queued_ms;
}

int sink_pad(PlaybackSink *sink, int below_ms, bool start_now, int *queued_ms, char *err,
             size_t err_size)
{
    *queued_ms = -1;
    if (!sink || !sink->pcm)
        return 0;
    // Playing: one period once the queue is down to below_ms. Run dry, or
    // (with start_now) holding audio under the start cushion: enough to
    // reach the cushion, so that the device plays again instead of waiting
    // for the next post.
    snd_pcm_uframes_t frames = 0;
    int queued = 0;
    switch (snd_pcm_state(sink->pcm)) {
    case SND_PCM_STATE_RUNNING:
        queued = pcm_delay_ms(sink->pcm);
        if (queued < 0)
            return 0;
        if (queued <= below_ms)
            frames = audio::kPeriodFrames;
        break;
    case SND_PCM_STATE_XRUN:
        frames = sink->start;
        break;
    case SND_PCM_STATE_PREPARED: {
        queued = pcm_delay_ms(sink->pcm);
        if (queued <= 0)
            return 0;  // nothing waits: the next post starts the device
        const auto have = static_cast<snd_pcm_uframes_t>(queued) * audio::kFramesPerMs;
        if (start_now && have < sink->start)
            frames = sink->start - have;
        break;
    }
    default:
        return 0;
    }
    *queued_ms = queued;
    if (frames == 0)
        return 0;
    static const unsigned char kSilence[kStartPeriods * audio::kPeriodBytes] = {};
    if (frames > sizeof(kSilence) / audio::kBytesPerFrame)
        frames = sizeof(kSilence) / audio::kBytesPerFrame;
    if (sink_write(sink, kSilence, frames * audio::kBytesPerFrame, err, err_size) != 0)
        return -1;
    const int ms = static_cast<int>(frames / audio::kFramesPerMs);
    *queued_ms = queued + ms;
    return ms;
}

int sink_write(PlaybackSink *sink, const void *data, size_t len, char *err, size_t err_size)
{
    // Whole frames only; an odd last byte is never played.
    auto frames_left = static_cast<snd_pcm_uframes_t>(len / audio::kBytesPerFrame);
    const auto *pos = static_cast<const unsigned char *>(data);
    // The codes below are the ones a blocking device recovers from; any
    // other code, -EIO included, fails the write.
    int stalled = 0;
    while (frames_left != 0) {
        snd_pcm_sframes_t n = snd_pcm_writei(sink->pcm, pos, frames_left);
        if (n > 0) {
            // A partial write is continued from where the device stopped.
            pos += static_cast<size_t>(n) * audio::kBytesPerFrame;
            frames_left -= static_cast<snd_pcm_uframes_t>(n);
            stalled = 0;
            continue;
        }
        if (n == 0 || n == -EAGAIN) {
            if (++stalled > kMaxStalledTries) {
                format_error(err, err_size, "writei: %s", snd_strerror(-EAGAIN));
                return -1;
            }
            usleep(kStallPauseUs);
            continue;
        }
        switch (n) {
        case -EPIPE:  // underrun: the queue ran dry; restart and write again
            snd_pcm_prepare(sink->pcm);
            break;
        case -ESTRPIPE:
            resume_and_prepare(sink->pcm);
            break;
        default:
            // Frames already written stay queued in the card.
            format_error(err, err_size, "writei: %s", snd_strerror(static_cast<int>(n)));
            return -1;
        }
    }
    return 0;
}
