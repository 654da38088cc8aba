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
// The set-up both directions share. Allocates a zero-filled record of
// `record_size` bytes whose first member is its snd_pcm_t * (CaptureSource
// and PlaybackSink both begin so), opens `device` for `stream` into that
// member (without blocking on a busy device, which is asked again for up to
// 280 ms; then in blocking mode) and installs the fixed format with a buffer of
// `want_buffer` frames (pcm_configure). Returns the record, with the granted
// sizes in `*buffer_out` and `*period_out`; the caller closes its handle and
// frees it with free(). Null with "out of memory", "open <device>: ..." or
// pcm_configure's message in `err`, and nothing left open.
void *open_record(size_t record_size, const char *device, snd_pcm_stream_t stream,
                  snd_pcm_uframes_t want_buffer, snd_pcm_uframes_t *buffer_out,
                  snd_pcm_uframes_t *period_out, char *err, size_t err_size);
// Prepares an open device for its first read or write. 0, or -1 with
// "prepare: ..." in `err` and the device closed.
int prepare_or_close(snd_pcm_t *pcm, char *err, size_t err_size);
}  // namespace audio
