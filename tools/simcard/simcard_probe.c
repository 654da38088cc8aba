/*
 * Test driver for the simulated card: reads one command per line on stdin,
 * makes the ALSA calls the service makes, and answers one line per call on
 * stdout:
 *
 *   <result> <t_before_ns> <t_after_ns> [extra]
 *
 * where result is the library's return value (negative errno on failure)
 * and the times are CLOCK_MONOTONIC around the call.
 *
 * Commands:
 *   open capture|playback DEVICE BUFFER_FRAMES [nonblock]
 *        open, set up as the service does (S16_LE, mono, 16000 Hz, period
 *        320, the buffer asked; playback: start = period, stop = buffer,
 *        avail_min = period) and prepare; extra = "buffer=B period=P"
 *   read FRAMES            snd_pcm_readi; extra = the samples in hex
 *   reads COUNT FRAMES     COUNT reads, one answer line each
 *   write FRAMES G         snd_pcm_writei of the numbered pattern from
 *                          global frame G (see the plugin)
 *   delay | drop | prepare | resume | drain | close
 *   state                  extra = state name
 *   access PATH            access(PATH, F_OK)
 *   sleep MS
 */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <errno.h>
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_FRAMES 16000

static snd_pcm_t *pcm;
static int16_t samples[MAX_FRAMES];

static int64_t now_ns(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int16_t pattern_sample(uint64_t g)
{
	uint32_t block = (uint32_t)(g >> 8);
	unsigned byte = (unsigned)(g & 3u);
	return (int16_t)(uint16_t)((((block >> (8u * byte)) & 0xffu) << 8) | (g & 0xffu));
}

static void answer(long result, int64_t t0, int64_t t1, const char *extra)
{
	printf("%ld %" PRId64 " %" PRId64 "%s%s\n", result, t0, t1, extra ? " " : "", extra ? extra : "");
	fflush(stdout);
}

static int setup(snd_pcm_stream_t stream, snd_pcm_uframes_t want_buffer, char *extra, size_t size)
{
	snd_pcm_hw_params_t *hw;
	snd_pcm_hw_params_alloca(&hw);
	unsigned rate = 16000;
	snd_pcm_uframes_t period = 320, buffer = want_buffer;
	int err;
	if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
	    (err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
	    (err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0 ||
	    (err = snd_pcm_hw_params_set_channels(pcm, hw, 1)) < 0 ||
	    (err = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, NULL)) < 0 ||
	    (err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, NULL)) < 0 ||
	    (err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer)) < 0 ||
	    (err = snd_pcm_hw_params(pcm, hw)) < 0)
		return err;
	snd_pcm_hw_params_get_period_size(hw, &period, NULL);
	snd_pcm_hw_params_get_buffer_size(hw, &buffer);
	if (stream == SND_PCM_STREAM_PLAYBACK) {
		snd_pcm_sw_params_t *sw;
		snd_pcm_sw_params_alloca(&sw);
		snd_pcm_sw_params_current(pcm, sw);
		snd_pcm_sw_params_set_start_threshold(pcm, sw, period);
		snd_pcm_sw_params_set_stop_threshold(pcm, sw, buffer);
		snd_pcm_sw_params_set_avail_min(pcm, sw, period);
		if ((err = snd_pcm_sw_params(pcm, sw)) < 0)
			return err;
	}
	snprintf(extra, size, "buffer=%lu period=%lu", (unsigned long)buffer, (unsigned long)period);
	return snd_pcm_prepare(pcm);
}

static void do_read(unsigned long frames)
{
	static char hex[MAX_FRAMES * 4 + 1];
	if (frames > MAX_FRAMES)
		frames = MAX_FRAMES;
	int64_t t0 = now_ns();
	snd_pcm_sframes_t r = snd_pcm_readi(pcm, samples, frames);
	int64_t t1 = now_ns();
	size_t n = 0;
	for (snd_pcm_sframes_t i = 0; i < r; i++)
		n += (size_t)sprintf(hex + n, "%04x", (unsigned)(uint16_t)samples[i]);
	hex[n] = '\0';
	answer((long)r, t0, t1, r > 0 ? hex : NULL);
}

int main(void)
{
	char line[1024];
	while (fgets(line, sizeof(line), stdin)) {
		char cmd[32] = "", a1[512] = "", a2[64] = "", a3[64] = "", a4[64] = "";
		if (sscanf(line, "%31s %511s %63s %63s %63s", cmd, a1, a2, a3, a4) < 1)
			continue;
		char extra[256] = "";
		int64_t t0 = now_ns();
		long r = 0;
		if (strcmp(cmd, "open") == 0) {
			snd_pcm_stream_t st = strcmp(a1, "capture") == 0 ? SND_PCM_STREAM_CAPTURE
								      : SND_PCM_STREAM_PLAYBACK;
			int mode = strcmp(a4, "nonblock") == 0 ? SND_PCM_NONBLOCK : 0;
			r = snd_pcm_open(&pcm, a2, st, mode);
			if (r == 0) {
				r = setup(st, strtoul(a3, NULL, 10), extra, sizeof(extra));
				if (r < 0) {
					snd_pcm_close(pcm);
					pcm = NULL;
				}
			} else {
				pcm = NULL;
			}
		} else if (strcmp(cmd, "access") == 0) {
			r = access(a1, F_OK);
		} else if (strcmp(cmd, "sleep") == 0) {
			usleep((useconds_t)strtoul(a1, NULL, 10) * 1000u);
		} else if (!pcm) {
			r = -EBADFD;
		} else if (strcmp(cmd, "read") == 0) {
			do_read(strtoul(a1, NULL, 10));
			continue;
		} else if (strcmp(cmd, "reads") == 0) {
			unsigned long count = strtoul(a1, NULL, 10);
			for (unsigned long i = 0; i < count; i++)
				do_read(strtoul(a2, NULL, 10));
			continue;
		} else if (strcmp(cmd, "write") == 0) {
			unsigned long frames = strtoul(a1, NULL, 10);
			uint64_t g = strtoull(a2, NULL, 10);
			if (frames > MAX_FRAMES)
				frames = MAX_FRAMES;
			for (unsigned long i = 0; i < frames; i++)
				samples[i] = pattern_sample(g + i);
			t0 = now_ns();
			r = snd_pcm_writei(pcm, samples, frames);
		} else if (strcmp(cmd, "delay") == 0) {
			snd_pcm_sframes_t d = 0;
			r = snd_pcm_delay(pcm, &d);
			snprintf(extra, sizeof(extra), "%ld", (long)d);
		} else if (strcmp(cmd, "drop") == 0) {
			r = snd_pcm_drop(pcm);
		} else if (strcmp(cmd, "prepare") == 0) {
			r = snd_pcm_prepare(pcm);
		} else if (strcmp(cmd, "resume") == 0) {
			r = snd_pcm_resume(pcm);
		} else if (strcmp(cmd, "drain") == 0) {
			r = snd_pcm_drain(pcm);
		} else if (strcmp(cmd, "state") == 0) {
			snprintf(extra, sizeof(extra), "%s", snd_pcm_state_name(snd_pcm_state(pcm)));
		} else if (strcmp(cmd, "close") == 0) {
			r = snd_pcm_close(pcm);
			pcm = NULL;
		} else {
			r = -EINVAL;
		}
		answer(r, t0, now_ns(), extra[0] ? extra : NULL);
	}
	if (pcm)
		snd_pcm_close(pcm);
	return 0;
}
