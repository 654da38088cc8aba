// PCM set-up shared by both directions, the delay conversion, and the
// module's error-text writer.
#include "audio/audio.h"
#include "audio/internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace audio {
void format_error(char *err, size_t err_size, const char *fmt, ...)
{
    if (!err || err_size == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    // ap is started just above; clang-analyzer 14 misses that in C++.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(err, err_size, fmt, ap);
    va_end(ap);
}

double frames_to_ms(snd_pcm_uframes_t frames)
{
    return static_cast<double>(frames) * 1000.0 / static_cast<double>(kRate);
}

void resume_and_prepare(snd_pcm_t *pcm)
{
    constexpr useconds_t kResumePollUs = 10000;
    while (snd_pcm_resume(pcm) == -EAGAIN)
        usleep(kResumePollUs);
    snd_pcm_prepare(pcm);
}

// A hand-over between two streams of ours takes a period or two (the older
// one notices at its next read, then closes); 8 attempts 40 ms apart give it
// 280 ms and bound the open of a device held elsewhere to as much.
constexpr int kOpenAttempts = 8;
constexpr useconds_t kOpenRetryPauseUs = 40000;

void *open_record(size_t record_size, const char *device, snd_pcm_stream_t stream,
                  snd_pcm_uframes_t want_buffer, snd_pcm_uframes_t *buffer_out,
                  snd_pcm_uframes_t *period_out, char *err, size_t err_size)
{
    // Zero-filled, so a partly built record is always safe to inspect.
    void *record = calloc(1, record_size);
    if (!record) {
        format_error(err, err_size, "out of memory");
        return nullptr;
    }
    auto **pcm = static_cast<snd_pcm_t **>(record);
    // The open itself never blocks: a device that another process holds
    // would otherwise make it wait for ever (for a post, with the uplink
    // lock held). A device busy because an older stream of ours is closing
    // it is asked again a few times; then the device is switched to
    // blocking mode, where a read waits until a whole period is captured
    // and a write until the card has room.
    int rc;
    for (int attempt = 1;; attempt++) {
        rc = snd_pcm_open(pcm, device, stream, SND_PCM_NONBLOCK);
        if ((rc != -EBUSY && rc != -EAGAIN) || attempt == kOpenAttempts)
            break;
        usleep(kOpenRetryPauseUs);
    }
    if (rc >= 0 && (rc = snd_pcm_nonblock(*pcm, 0)) < 0)
        snd_pcm_close(*pcm);
    if (rc < 0) {
        format_error(err, err_size, "open %s: %s", device, snd_strerror(rc));
        free(record);
        return nullptr;
    }
    if (pcm_configure(*pcm, want_buffer, buffer_out, period_out, err, err_size) < 0) {
        snd_pcm_close(*pcm);
        free(record);
        return nullptr;
    }
    return record;
}

int prepare_or_close(snd_pcm_t *pcm, char *err, size_t err_size)
{
    int rc = snd_pcm_prepare(pcm);
    if (rc < 0) {
        format_error(err, err_size, "prepare: %s", snd_strerror(rc));
        snd_pcm_close(pcm);
        return -1;
    }
    return 0;
}
}  // namespace audio

using audio::format_error;

int pcm_configure(snd_pcm_t *pcm, snd_pcm_uframes_t want_buffer,
                  snd_pcm_uframes_t *buffer_out, snd_pcm_uframes_t *period_out,
                  char *err, size_t err_size)
{
    // Stack record, sized by the library and zero-filled; it only lives for
    // this call, so no free path is needed.
    snd_pcm_hw_params_t *hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);

    // Start from everything the device can do, then narrow it to the one
    // sample layout both directions use: interleaved S16_LE mono.
    int rc = snd_pcm_hw_params_any(pcm, hw);
    if (rc < 0) {
        format_error(err, err_size, "hw_params_any: %s", snd_strerror(rc));
        return -1;
    }
    rc = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (rc < 0) {
        format_error(err, err_size, "set_access: %s", snd_strerror(rc));
        return -1;
    }
    rc = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE);
    if (rc < 0) {
        format_error(err, err_size, "set_format S16_LE: %s", snd_strerror(rc));
        return -1;
    }
    rc = snd_pcm_hw_params_set_channels(pcm, hw, 1);
    if (rc < 0) {
        format_error(err, err_size, "set_channels: %s", snd_strerror(rc));
        return -1;
    }
    // The granted rate is deliberately not read back: everything
    // downstream assumes exactly 16000 frames/s. The message names the asked
    // rate because the library may have overwritten `rate`.
    unsigned rate = audio::kRate;
    rc = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr);
    if (rc < 0) {
        format_error(err, err_size, "set_rate %d: %s", static_cast<int>(audio::kRate),
                     snd_strerror(rc));
        return -1;
    }
    // Near values are accepted as granted; they are read back below
    // once installed.
    snd_pcm_uframes_t period = audio::kPeriodFrames;
    rc = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr);
    if (rc < 0) {
        format_error(err, err_size, "set_period_size: %s", snd_strerror(rc));
        return -1;
    }
    snd_pcm_uframes_t buffer = want_buffer;
    rc = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    if (rc < 0) {
        format_error(err, err_size, "set_buffer_size: %s", snd_strerror(rc));
        return -1;
    }
    // Install; only now do the sizes below hold.
    rc = snd_pcm_hw_params(pcm, hw);
    if (rc < 0) {
        format_error(err, err_size, "hw_params: %s", snd_strerror(rc));
        return -1;
    }
    // The sizes in force; these cannot fail on an installed record.
    snd_pcm_hw_params_get_period_size(hw, &period, nullptr);
    snd_pcm_hw_params_get_buffer_size(hw, &buffer);
    *buffer_out = buffer;
    *period_out = period;
    return 0;
}

int pcm_delay_ms(snd_pcm_t *pcm)
{
    if (!pcm)
        return -1;
    snd_pcm_sframes_t frames = 0;
    if (snd_pcm_delay(pcm, &frames) < 0)
        return -1;
    // A playback device that has underrun can report a negative delay.
    if (frames < 0)
        frames = 0;
    // Signed divisor: on 32-bit targets long / unsigned would be unsigned.
    return static_cast<int>(frames / static_cast<snd_pcm_sframes_t>(audio::kFramesPerMs));
}
