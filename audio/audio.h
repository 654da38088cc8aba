// Modem audio device: finding the modem's ALSA card, the shared PCM set-up,
// the capture source (downlink) and the playback sink (uplink).
//
// Audio is S16_LE mono at 16000 frames/s: 2 bytes per frame, 16 frames per
// millisecond, one period is 320 frames (20 ms, 640 bytes).
//
// Error texts: every set-up operation takes the caller's buffer and its size
// (callers pass 256) and leaves one line there on failure. Nothing in this
// module logs; only the two device summaries go straight to stderr.
#pragma once

#include <alsa/asoundlib.h>
#include <cstddef>

namespace audio {
constexpr unsigned kRate = 16000;         // frames per second
constexpr unsigned kBytesPerFrame = 2;    // S16_LE mono
constexpr unsigned kFramesPerMs = 16;
constexpr unsigned kPeriodFrames = 320;   // 20 ms
constexpr unsigned kPeriodBytes = kPeriodFrames * kBytesPerFrame;
constexpr unsigned kCaptureBufferFrames = 1280;   // 80 ms
constexpr unsigned kPlaybackBufferFrames = 1920;  // 120 ms
// Periods queued before playback starts, and again after an underrun (a
// prepared device restarts by itself at the same threshold). One period
// leaves nothing to bridge the next post's network jitter; two (40 ms) stay
// well inside the uplink's 80 ms ceiling.
constexpr unsigned kPlaybackStartPeriods = 2;
constexpr unsigned kBytesPerSecond = kRate * kBytesPerFrame;

// The format's arithmetic, for every module that counts audio in bytes.
// Bytes of `ms` milliseconds of audio.
constexpr unsigned long ms_to_bytes(unsigned long ms) { return ms * kFramesPerMs * kBytesPerFrame; }
// Whole milliseconds of audio in `bytes`, rounded down; an odd byte is no
// frame.
constexpr unsigned long bytes_to_ms(unsigned long bytes) { return bytes / kBytesPerFrame * 1000 / kRate; }
// Seconds of audio in `bytes`, unrounded.
constexpr double bytes_to_seconds(double bytes) { return bytes / kBytesPerSecond; }
}  // namespace audio

// --- Card discovery (no state: every call looks at the system afresh) ---

// 1 when "/proc/asound/<id>" exists, else 0. Any thread.
int card_exists(const char *id);
// 1 when the card "RM500QGL" or, failing that, "modem" exists. Any thread.
int card_present();
// "plughw:CARD=<id>" for the first of the two ids that exists, in a 64-byte
// malloc'd buffer the caller frees with free(); null when neither exists or
// the allocation fails. Any thread.
char *card_device_name();

// --- Common PCM set-up ---

// Installs S16_LE, 1 channel, 16000 Hz, period 320 frames and a buffer of
// `want_buffer` frames on an open PCM. On success stores the granted buffer
// and period (frames) and returns 0; on failure returns -1 with the step's
// message in `err` and leaves the PCM open for the caller to close.
int pcm_configure(snd_pcm_t *pcm, snd_pcm_uframes_t want_buffer,
                  snd_pcm_uframes_t *buffer_out, snd_pcm_uframes_t *period_out,
                  char *err, size_t err_size);
// Milliseconds queued in the device (frames / 16, negative frames count as
// 0); -1 for a null handle or when snd_pcm_delay fails.
int pcm_delay_ms(snd_pcm_t *pcm);

// --- Capture source: one per downlink stream, used by that thread only ---

struct CaptureSource;

// Opens `device` for capture with an 80 ms buffer (a busy device is asked
// again for up to 280 ms; reads then block until a period is captured), prints the
// set-up summary to stderr and prepares it. Returns a record the caller
// closes with capture_close, or null with a message in `err`. The caller
// keeps ownership of `device`.
CaptureSource *capture_open(const char *device, char *err, size_t err_size);
// Reads one period into `buf` (at least 640 bytes). Returns the bytes read
// (640 for a full period), 0 when nothing was read but the stream may go on
// (overrun, suspend, absorbed I/O error), or -1 with a message in `err` when
// the stream must end. The source stays valid after -1.
int capture_read(CaptureSource *src, unsigned char *buf, char *err, size_t err_size);
// Seconds of audio the reader has taken ahead of real time; 0.0 for null.
double capture_lead(const CaptureSource *src);
// Lowers the lead by the duration of `bytes` (odd byte dropped). Null ignored.
void capture_shed(CaptureSource *src, size_t bytes);
// pcm_delay_ms of the device; -1 for null.
int capture_delay_ms(const CaptureSource *src);
// Drops and closes the device and frees the record. Accepts null.
void capture_close(CaptureSource *src);

// --- Playback sink: one per process, always used under the uplink mutex ---

struct PlaybackSink;

// Opens `device` for playback (blocking) with a 120 ms buffer; start
// threshold two granted periods, avail_min one, stop threshold the granted
// buffer. Prints the set-up summary to stderr and prepares it. Returns a
// record closed by sink_close, or null with a message in `err`. The caller
// keeps ownership of `device`.
PlaybackSink *sink_open(const char *device, char *err, size_t err_size);
// Discards what is queued, closes the device, frees the record. Accepts null.
void sink_close(PlaybackSink *sink);
// Milliseconds queued in the card; -1 for null or when unreadable.
int sink_delay_ms(PlaybackSink *sink);
// Milliseconds the card's buffer holds, as the device granted it; 0 for
// null. A write that fits what is queued plus this never waits for room.
int sink_buffer_ms(const PlaybackSink *sink);
// Throws the card's queue away and prepares the device again. Returns the
// milliseconds that were queued just before, or -1 (null sink, failed drop
// or prepare, or an unreadable delay; the queue is gone in the last case).
int sink_trim(PlaybackSink *sink);
// Throws away audio that was queued but never started playing (less than
// the start cushion, left by the last post before a pause); it would
// otherwise play late, in front of the next post. Returns the milliseconds
// dropped, 0 when nothing waited unstarted.
int sink_drop_unstarted(PlaybackSink *sink);
// Keeps the device playing with silence while a post is late, so the
// card does not run dry (a click) inside a talk spurt: when it plays and
// holds `below_ms` or less, one period (20 ms) is queued; when it has run
// dry, or (with `start_now`) holds audio that waits under the start
// cushion, enough silence to reach the cushion, so it plays again. Returns
// the milliseconds of silence queued (0: none needed, or nothing to keep
// playing) and stores what the card holds afterwards in `*queued_ms` (-1
// when unknown); -1 with "writei: ..." in `err` when the write fails.
int sink_pad(PlaybackSink *sink, int below_ms, bool start_now, int *queued_ms, char *err,
             size_t err_size);
// Plays `len` bytes (whole frames; an odd last byte is not played), blocking
// until the device has taken them all. 0 on success, -1 with "writei: ..."
// in `err`. `sink` must not be null.
int sink_write(PlaybackSink *sink, const void *data, size_t len, char *err, size_t err_size);
