// Private to the audio module: the writer of the caller's error buffer and
// the helpers both directions share. Living in namespace audio keeps them
// apart from the tls module's own format_error.
#pragma once

#include <alsa/asoundlib.h>
#include <cstddef>

namespace audio {
// Formats like vsnprintf into `err`: at most err_size - 1 characters, always
// terminated, longer text cut. Does nothing when `err` is null or err_size 0.
void format_error(char *err, size_t err_size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Duration of `frames` in milliseconds, for the set-up summaries.
double frames_to_ms(snd_pcm_uframes_t frames);
// After -ESTRPIPE: retries snd_pcm_resume every 10 ms while the device is
// not ready (-EAGAIN), then prepares whatever resume answered, since prepare
// also restarts a device that cannot resume in place.
void resume_and_prepare(snd_pcm_t *pcm);
}  // namespace audio
