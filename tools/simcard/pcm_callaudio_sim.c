/*
 * ALSA external PCM (ioplug) that stands in for the modem's call-audio card:
 * 16000 frames/s, S16_LE, mono, one stream per direction, in real time.
 *
 * State folder ($CALLAUDIO_SIM_DIR):
 *   cards/<id>/          the card is present while this directory exists
 *   cards/<id>/source    optional: path of a raw S16_LE mono file that
 *                        capture loops; without it capture carries the
 *                        frame-numbering pattern (see pattern_sample)
 *   cards/<id>/clock     optional: clock speed factor, e.g. "1.05"
 *   control/NAME.cmd     one-shot fault commands, claimed by renaming them
 *                        into control/done/
 *   run/<id>.<dir>.lock  flock()ed by the open stream of that direction
 *   rec/<id>.raw         everything the card played, appended
 *   events.log           one line per event (format in the README)
 *
 * Clock model: while running, the hardware position is a pure function of
 * CLOCK_MONOTONIC, anchored at (t0, f0) and advancing rate*speed frames per
 * second. Integer arithmetic makes frames_at() and time_of() exact
 * inverses, so a wake-up armed for time_of(f) always finds position >= f.
 * Capture frame k of a run is global frame g_base + k; at speed 1 global
 * frame G is captured at monotonic time G * 62.5 us.
 */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <math.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#define SIM_RATE 16000u
#define NS_PER_S 1000000000LL
#define PPM 1000000LL
#define MAX_CARD_ID 64
#define MAX_PATH 1024
#define MAX_SOURCE_BYTES (16u << 20)
#define MAX_BUFFER_BYTES 65536u
#define MAX_COMMANDS_PER_SCAN 64
#define DEFAULT_RESUME_AGAIN 3

typedef struct sim {
	snd_pcm_ioplug_t io;
	pthread_mutex_t mu;

	char card[MAX_CARD_ID];
	char root[MAX_PATH];
	char sid[32];		/* "<pid>.<n>": names this open in the log */
	const char *dirname;	/* "capture" or "playback" */
	int capture;

	int timer_fd;
	int notify_fd;
	int lock_fd;
	int events_fd;
	int rec_fd;
	int control_dirty;	/* rescan control/ and cards/ at next update */

	/* Granted set-up, in frames. */
	int64_t period, buffer, avail_min, start_thr, stop_thr;

	/* Clock: position(t) = f0 + (t - t0) * rate * ppm / 1e15, t >= t0. */
	int running;
	int64_t t0, f0;
	int64_t ppm;		/* speed in parts per million, 1e6 = real time */
	int64_t hw;		/* last position handed out, stream frames */
	int64_t g_base;		/* capture: global frame of stream frame 0 */
	int64_t stall_start, stall_end;	/* capture: position frozen between */

	/* Faults. */
	int eio_left;
	int again_left;
	int suspended;
	snd_pcm_state_t pre_suspend;
	int disconnected;
	int xrun;

	/* Playback queue: stream frame p is total frame base + p; totals never
	 * go back during one open, so the log's positions are unambiguous. */
	int16_t *ring;		/* buffer frames, indexed by total % buffer */
	int64_t base;
	int64_t wtotal;		/* total frames ever written */
	int64_t flushed;	/* stream frames up to here are in rec/ */
	int draining_logged;

	/* Capture source. */
	int16_t *src;
	size_t src_frames;
	int64_t cap_logged;	/* stream frames up to here were logged */
} sim_t;

static int64_t now_ns(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * NS_PER_S + ts.tv_nsec;
}

/* Frame-numbering pattern: global frame g carries its low byte in the
 * sample's low byte, and byte (g & 3) of the 32-bit block number g >> 8 in
 * the high byte. Any sample gives g mod 256; four consecutive samples of
 * one 256-frame block give the whole number. */
static int16_t pattern_sample(uint64_t g)
{
	uint32_t block = (uint32_t)(g >> 8);
	unsigned byte = (unsigned)(g & 3u);
	uint16_t v = (uint16_t)((((block >> (8u * byte)) & 0xffu) << 8) | (g & 0xffu));
	return (int16_t)v;
}

static void ev(sim_t *s, int64_t t, const char *fmt, ...)
	__attribute__((format(printf, 3, 4)));

/* One line per event, written with a single write() on an O_APPEND file so
 * that lines from several processes never interleave. */
static void ev(sim_t *s, int64_t t, const char *fmt, ...)
{
	if (s->events_fd < 0)
		return;
	char line[512];
	int n = snprintf(line, sizeof(line), "%" PRId64 " %s %s %s ", t, s->card,
			 s->dirname, s->sid);
	if (n < 0 || (size_t)n >= sizeof(line) - 2)
		return;
	va_list ap;
	va_start(ap, fmt);
	int m = vsnprintf(line + n, sizeof(line) - (size_t)n - 1, fmt, ap);
	va_end(ap);
	if (m < 0)
		return;
	n += m;
	if ((size_t)n > sizeof(line) - 2)
		n = (int)sizeof(line) - 2;
	line[n++] = '\n';
	ssize_t w = write(s->events_fd, line, (size_t)n);
	(void)w;
}

/* ---- clock ------------------------------------------------------------ */

#ifdef __SIZEOF_INT128__
/* ceil or floor of a * b / c for a >= 0, b > 0, c > 0. */
static int64_t muldiv(int64_t a, int64_t b, int64_t c, int up)
{
	__int128 n = (__int128)a * b;
	return (int64_t)((n + (up ? c - 1 : 0)) / c);
}
#else
/* The same without a 128-bit type (32-bit targets): the 128-bit product by
 * 32-bit halves, then restoring division; c stays far below 2^63. */
static int64_t muldiv(int64_t a, int64_t b, int64_t c, int up)
{
	uint64_t al = (uint32_t)a, ah = (uint64_t)a >> 32, bl = (uint32_t)b, bh = (uint64_t)b >> 32;
	uint64_t p0 = al * bl, p1 = al * bh, p2 = ah * bl, p3 = ah * bh;
	uint64_t mid = (p0 >> 32) + (uint32_t)p1 + (uint32_t)p2;
	uint64_t lo = (mid << 32) | (uint32_t)p0;
	uint64_t hi = p3 + (p1 >> 32) + (p2 >> 32) + (mid >> 32);
	uint64_t q = 0, r = 0;
	for (int i = 127; i >= 0; i--) {
		uint64_t bit = i >= 64 ? (hi >> (i - 64)) & 1 : (lo >> i) & 1;
		r = (r << 1) | bit;
		q <<= 1;
		if (r >= (uint64_t)c) {
			r -= (uint64_t)c;
			q |= 1;
		}
	}
	return (int64_t)(q + (up && r ? 1 : 0));
}
#endif

static int64_t frames_at(const sim_t *s, int64_t t)
{
	if (t <= s->t0)
		return s->f0;
	return s->f0 + muldiv(t - s->t0, (int64_t)SIM_RATE * s->ppm, NS_PER_S * PPM, 0);
}

/* Earliest time at which frames_at() reaches f. */
static int64_t time_of(const sim_t *s, int64_t f)
{
	if (f <= s->f0)
		return s->t0;
	return s->t0 + muldiv(f - s->f0, NS_PER_S * PPM, (int64_t)SIM_RATE * s->ppm, 1);
}

static int stalled_at(const sim_t *s, int64_t t)
{
	return s->stall_end != 0 && t >= s->stall_start && t < s->stall_end;
}

static int64_t visible_at(const sim_t *s, int64_t t)
{
	if (stalled_at(s, t))
		return frames_at(s, s->stall_start);
	return frames_at(s, t);
}

static int64_t round_up(int64_t v, int64_t step)
{
	if (step <= 0)
		return v;
	int64_t r = v % step;
	if (r < 0)
		r += step;
	return r ? v + (step - r) : v;
}

/* Global frame grid: frame G starts at G * 1e9 / rate ns (exact for 16000). */
static int64_t next_global_frame(int64_t t)
{
	return muldiv(t, SIM_RATE, NS_PER_S, 1);
}

static int64_t global_frame_time(int64_t g)
{
	return muldiv(g, NS_PER_S, SIM_RATE, 1);
}

/* Starts the clock so that stream frame f0 is produced from now on. */
static void anchor(sim_t *s, int64_t now, int64_t f0)
{
	s->f0 = f0;
	if (s->capture) {
		int64_t g = next_global_frame(now);
		s->t0 = global_frame_time(g);
		s->g_base = g - f0;
	} else {
		s->t0 = now;
	}
	s->hw = f0;
}

/* ---- paths and small files ------------------------------------------- */

static int path_of(const sim_t *s, char *out, size_t size, const char *fmt, ...)
	__attribute__((format(printf, 4, 5)));

static int path_of(const sim_t *s, char *out, size_t size, const char *fmt, ...)
{
	int n = snprintf(out, size, "%s/", s->root);
	if (n < 0 || (size_t)n >= size)
		return -1;
	va_list ap;
	va_start(ap, fmt);
	int m = vsnprintf(out + n, size - (size_t)n, fmt, ap);
	va_end(ap);
	return (m < 0 || (size_t)(n + m) >= size) ? -1 : 0;
}

static int card_present(const sim_t *s)
{
	char p[MAX_PATH];
	struct stat st;
	if (path_of(s, p, sizeof(p), "cards/%s", s->card) < 0)
		return 0;
	return stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

/* Reads a small text file into buf; returns its length or -1. */
static ssize_t read_small(const char *path, char *buf, size_t size)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	ssize_t n = read(fd, buf, size - 1);
	close(fd);
	if (n < 0)
		return -1;
	buf[n] = '\0';
	return n;
}

static int64_t read_speed_ppm(const sim_t *s)
{
	char p[MAX_PATH], text[64];
	if (path_of(s, p, sizeof(p), "cards/%s/clock", s->card) < 0 ||
	    read_small(p, text, sizeof(text)) <= 0)
		return PPM;
	double v = strtod(text, NULL);
	if (!(v >= 0.25 && v <= 4.0))
		return PPM;
	return (int64_t)llround(v * (double)PPM);
}

/* ---- playback record ------------------------------------------------- */

/* Appends the frames played since the last flush to rec/<id>.raw and logs
 * when the first of them started playing. Unforced flushes wait for a
 * whole period so the log stays small. */
static void flush_played(sim_t *s, int force)
{
	int64_t n = s->hw - s->flushed;
	if (s->capture || n <= 0 || (!force && n < s->period) || !s->ring)
		return;
	off_t off = s->rec_fd >= 0 ? lseek(s->rec_fd, 0, SEEK_END) : -1;
	int64_t total = s->base + s->flushed;
	int64_t done = 0;
	while (done < n && s->rec_fd >= 0) {
		int64_t idx = (total + done) % s->buffer;
		int64_t run = s->buffer - idx;
		if (run > n - done)
			run = n - done;
		ssize_t w = write(s->rec_fd, s->ring + idx, (size_t)run * 2);
		if (w <= 0)
			break;
		done += w / 2;
	}
	ev(s, time_of(s, s->flushed), "play p=%" PRId64 " n=%" PRId64 " rec=%lld", total, n,
	   (long long)off);
	s->flushed = s->hw;
}

static void discard_queue(sim_t *s, int64_t now, const char *why)
{
	if (s->capture)
		return;
	int64_t queued = s->wtotal - (s->base + s->hw);
	if (queued > 0)
		ev(s, now, "discard p=%" PRId64 " n=%" PRId64 " why=%s", s->base + s->hw, queued, why);
	/* Whatever was queued is gone: the next run starts from an empty
	 * queue at total position wtotal. */
	s->base = s->wtotal - s->hw;
}

/* ---- faults ---------------------------------------------------------- */

static void wake_now(sim_t *s)
{
	struct itimerspec its = {{0, 0}, {0, 1}};
	timerfd_settime(s->timer_fd, TFD_TIMER_ABSTIME, &its, NULL);
}

static void set_xrun(sim_t *s, int64_t t, int64_t at)
{
	s->hw = at;
	flush_played(s, 1);
	s->xrun = 1;
	s->running = 0;
	snd_pcm_ioplug_set_state(&s->io, SND_PCM_STATE_XRUN);
	int64_t avail = s->capture ? at - (int64_t)s->io.appl_ptr : s->buffer - ((int64_t)s->io.appl_ptr - at);
	ev(s, t, "xrun p=%" PRId64 " avail=%" PRId64, s->capture ? at : s->base + at, avail);
}

static void disconnect(sim_t *s, int64_t now)
{
	if (s->disconnected)
		return;
	flush_played(s, 1);
	s->disconnected = 1;
	s->running = 0;
	snd_pcm_ioplug_set_state(&s->io, SND_PCM_STATE_DISCONNECTED);
	ev(s, now, "disconnect");
	wake_now(s);
}

static void suspend(sim_t *s, int64_t now, int again)
{
	if (s->suspended || s->disconnected)
		return;
	flush_played(s, 1);
	s->pre_suspend = s->io.state;
	s->suspended = 1;
	s->running = 0;
	s->again_left = again;
	snd_pcm_ioplug_set_state(&s->io, SND_PCM_STATE_SUSPENDED);
	ev(s, now, "suspend again=%d", again);
	wake_now(s);
}

typedef struct command {
	char verb[16];
	long arg;
	int has_arg;
	char card[MAX_CARD_ID];	/* "" = any card */
	char dir[16];		/* "capture", "playback" or "any" */
} command_t;

static int parse_command(char *text, command_t *c)
{
	memset(c, 0, sizeof(*c));
	char *save = NULL;
	int first = 1;
	for (char *tok = strtok_r(text, " \t\r\n", &save); tok; tok = strtok_r(NULL, " \t\r\n", &save)) {
		if (first) {
			snprintf(c->verb, sizeof(c->verb), "%s", tok);
			first = 0;
		} else if (strncmp(tok, "card=", 5) == 0) {
			snprintf(c->card, sizeof(c->card), "%s", tok + 5);
		} else if (strncmp(tok, "dir=", 4) == 0) {
			snprintf(c->dir, sizeof(c->dir), "%s", tok + 4);
		} else if (!c->has_arg) {
			char *end;
			c->arg = strtol(tok, &end, 10);
			if (*end)
				return -1;
			c->has_arg = 1;
		}
	}
	if (first)
		return -1;
	if (!c->dir[0])
		snprintf(c->dir, sizeof(c->dir), "%s",
			 strcmp(c->verb, "openerr") == 0 ? "any" : "capture");
	return 0;
}

/* Whether this stream takes the command now. Commands that need a running
 * or set-up stream wait in control/ until one is there. */
static int accepts(const sim_t *s, const command_t *c, int opening)
{
	if (c->card[0] && strcmp(c->card, s->card) != 0)
		return 0;
	if (strcmp(c->dir, "any") != 0 && strcmp(c->dir, s->dirname) != 0)
		return 0;
	int is_open = strcmp(c->verb, "openerr") == 0;
	if (opening != is_open)
		return 0;
	if (strcmp(c->verb, "stall") == 0)
		return s->running && !s->suspended && !s->disconnected;
	if (strcmp(c->verb, "suspend") == 0)
		return s->io.state == SND_PCM_STATE_RUNNING || s->io.state == SND_PCM_STATE_PREPARED ||
		       s->io.state == SND_PCM_STATE_DRAINING;
	return 1;
}

static int name_cmp(const void *a, const void *b)
{
	return strcmp((const char *)a, (const char *)b);
}

/* Scans control/ in name order and claims each command this stream
 * accepts (rename is atomic, so exactly one stream gets each). When
 * opening, returns the errno of a claimed "openerr" (0 if none). */
static int take_commands(sim_t *s, int64_t now, int opening)
{
	char dirpath[MAX_PATH];
	if (path_of(s, dirpath, sizeof(dirpath), "control") < 0)
		return 0;
	DIR *d = opendir(dirpath);
	if (!d)
		return 0;
	static char names[MAX_COMMANDS_PER_SCAN][256];
	/* names[] is only used under this lock; several streams of one
	 * process may scan at once. */
	static pthread_mutex_t names_mu = PTHREAD_MUTEX_INITIALIZER;
	pthread_mutex_lock(&names_mu);
	size_t count = 0;
	struct dirent *de;
	while ((de = readdir(d)) != NULL && count < MAX_COMMANDS_PER_SCAN) {
		size_t len = strlen(de->d_name);
		if (len > 4 && len < 200 && strcmp(de->d_name + len - 4, ".cmd") == 0)
			snprintf(names[count++], sizeof(names[0]), "%s", de->d_name);
	}
	closedir(d);
	qsort(names, count, sizeof(names[0]), name_cmp);

	int open_errno = 0;
	for (size_t i = 0; i < count && !open_errno; i++) {
		char from[MAX_PATH], to[MAX_PATH], text[256];
		if (path_of(s, from, sizeof(from), "control/%s", names[i]) < 0 ||
		    path_of(s, to, sizeof(to), "control/done/%s.%s", names[i], s->sid) < 0)
			continue;
		if (read_small(from, text, sizeof(text)) < 0)
			continue;
		command_t c;
		if (parse_command(text, &c) < 0) {
			if (rename(from, to) == 0)
				ev(s, now, "cmd name=%s bad", names[i]);
			continue;
		}
		if (!accepts(s, &c, opening) || rename(from, to) != 0)
			continue;
		ev(s, now, "cmd name=%s verb=%s arg=%ld", names[i], c.verb, c.arg);
		if (strcmp(c.verb, "openerr") == 0) {
			open_errno = c.has_arg && c.arg > 0 ? (int)c.arg : EBUSY;
		} else if (strcmp(c.verb, "stall") == 0) {
			long ms = c.has_arg && c.arg > 0 ? c.arg : 100;
			s->stall_start = now;
			s->stall_end = now + (int64_t)ms * 1000000;
			ev(s, now, "stall ms=%ld until=%" PRId64, ms, s->stall_end);
		} else if (strcmp(c.verb, "eio") == 0) {
			s->eio_left += c.has_arg && c.arg > 0 ? (int)c.arg : 1;
		} else if (strcmp(c.verb, "suspend") == 0) {
			suspend(s, now, c.has_arg && c.arg >= 0 ? (int)c.arg : DEFAULT_RESUME_AGAIN);
		} else {
			ev(s, now, "cmd-unknown verb=%s", c.verb);
		}
	}
	pthread_mutex_unlock(&names_mu);
	return open_errno;
}

/* Picks up control commands, card removal and clock changes. Cheap when
 * nothing changed: one non-blocking read of the inotify descriptor. */
static void poll_control(sim_t *s, int64_t now)
{
	char buf[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
	while (s->notify_fd >= 0 && read(s->notify_fd, buf, sizeof(buf)) > 0)
		s->control_dirty = 1;
	if (!s->control_dirty)
		return;
	s->control_dirty = 0;
	if (!card_present(s)) {
		disconnect(s, now);
		return;
	}
	int64_t ppm = read_speed_ppm(s);
	if (ppm != s->ppm) {
		if (s->running) {
			/* Re-anchor at the last whole frame so positions and the
			 * play times already logged stay continuous. */
			flush_played(s, 1);
			int64_t f = frames_at(s, now);
			s->t0 = time_of(s, f);
			s->f0 = f;
		}
		s->ppm = ppm;
		ev(s, now, "clock ppm=%" PRId64, ppm);
	}
	take_commands(s, now, 0);
}

/* ---- position -------------------------------------------------------- */

static int64_t stop_eff(const sim_t *s)
{
	return s->stop_thr < s->buffer ? s->stop_thr : s->buffer;
}

/* Brings the hardware position up to now, detecting xruns at the moment
 * they happened (not when they are noticed). */
static void advance(sim_t *s, int64_t now)
{
	if (!s->running || s->xrun || s->suspended || s->disconnected)
		return;
	int64_t h = visible_at(s, now);
	int64_t appl = (int64_t)s->io.appl_ptr;
	if (s->capture) {
		/* Captured audio becomes visible a period at a time, as at the
		 * period interrupts of a real card. With a frame-exact position
		 * readi would take the few frames already there and then wait
		 * for a whole avail_min more: one read in two would take 40 ms. */
		h -= h % s->period;
		int64_t limit = appl + stop_eff(s);
		if (h >= limit) {
			int64_t t = time_of(s, limit);
			if (s->stall_end && t < s->stall_end && t >= s->stall_start)
				t = s->stall_end;
			set_xrun(s, t, limit);
			return;
		}
	} else if (s->io.state == SND_PCM_STATE_DRAINING) {
		if (!s->draining_logged) {
			ev(s, now, "drain queued=%" PRId64, appl - h);
			s->draining_logged = 1;
		}
		if (h > appl)
			h = appl;
	} else {
		int64_t limit = appl - (s->buffer - stop_eff(s));
		if (h >= limit) {
			set_xrun(s, time_of(s, limit), limit);
			return;
		}
	}
	s->hw = h;
	flush_played(s, 0);
}

/* Position first, then commands: a fault injected now finds the stream as
 * it is now (an underrun that already happened is not undone by it). */
static void update(sim_t *s, int64_t now)
{
	advance(s, now);
	poll_control(s, now);
}

/* When the waiting application will have what it waits for: an absolute
 * CLOCK_MONOTONIC time, 1 for "now", 0 for "never". Targets are period
 * boundaries of the hardware clock, as interrupts of a real card would be. */
static int64_t wake_time(const sim_t *s, int64_t now)
{
	if (s->xrun || s->suspended || s->disconnected)
		return 1;
	int64_t appl = (int64_t)s->io.appl_ptr;
	int64_t want;
	if (s->capture) {
		if (!s->running)
			return 0;
		if (s->hw - appl >= s->avail_min)
			return 1;
		want = round_up(appl + s->avail_min, s->period);
	} else if (s->io.state == SND_PCM_STATE_DRAINING) {
		if (s->hw >= appl)
			return 1;
		want = appl;
	} else {
		if (s->buffer - (appl - s->hw) >= s->avail_min)
			return 1;
		if (!s->running)
			return 0;
		want = round_up(appl - s->buffer + s->avail_min, s->period);
	}
	int64_t t = time_of(s, want);
	if (stalled_at(s, now) && t < s->stall_end)
		t = s->stall_end;
	return t;
}

static void arm_timer(sim_t *s, int64_t now)
{
	int64_t t = wake_time(s, now);
	struct itimerspec its;
	memset(&its, 0, sizeof(its));
	if (t > 0) {
		its.it_value.tv_sec = t / NS_PER_S;
		its.it_value.tv_nsec = t % NS_PER_S;
	}
	timerfd_settime(s->timer_fd, TFD_TIMER_ABSTIME, &its, NULL);
}

static int ready(const sim_t *s)
{
	int64_t appl = (int64_t)s->io.appl_ptr;
	if (s->capture)
		return s->running && s->hw - appl >= s->avail_min;
	if (s->io.state == SND_PCM_STATE_DRAINING)
		return s->hw >= appl;
	return s->buffer - (appl - s->hw) >= s->avail_min;
}

static int fault_code(const sim_t *s)
{
	if (s->disconnected)
		return -ENODEV;
	if (s->suspended)
		return -ESTRPIPE;
	if (s->xrun)
		return -EPIPE;
	return 0;
}

/* ---- ioplug callbacks ------------------------------------------------ */

static int sim_start(snd_pcm_ioplug_t *io)
{
	sim_t *s = io->private_data;
	pthread_mutex_lock(&s->mu);
	int64_t now = now_ns();
	poll_control(s, now);
	int err = fault_code(s);
	if (!err) {
		anchor(s, now, (int64_t)io->hw_ptr);
		s->running = 1;
		s->stall_end = 0;
		if (s->capture)
			ev(s, now, "start p=%" PRId64 " g=%" PRId64 " t0=%" PRId64, s->f0,
			   s->g_base + s->f0, s->t0);
		else
			ev(s, now, "start p=%" PRId64 " queued=%" PRId64, s->base + s->f0,
			   (int64_t)io->appl_ptr - s->f0);
		arm_timer(s, now);
	}
	pthread_mutex_unlock(&s->mu);
	return err;
}

static int sim_stop(snd_pcm_ioplug_t *io)
{
	sim_t *s = io->private_data;
	pthread_mutex_lock(&s->mu);
	int64_t now = now_ns();
	update(s, now);
	flush_played(s, 1);
	discard_queue(s, now, "drop");
	s->running = 0;
	ev(s, now, "stop");
	pthread_mutex_unlock(&s->mu);
	return 0;
}

static snd_pcm_sframes_t sim_pointer(snd_pcm_ioplug_t *io)
{
	sim_t *s = io->private_data;
	pthread_mutex_lock(&s->mu);
	update(s, now_ns());
	snd_pcm_sframes_t r = s->xrun ? -EPIPE : (snd_pcm_sframes_t)s->hw;
	pthread_mutex_unlock(&s->mu);
	return r;
}

static void copy_out(const snd_pcm_channel_area_t *a, snd_pcm_uframes_t i, int16_t v)
{
	char *p = (char *)a->addr + (a->first + a->step * i) / 8;
	memcpy(p, &v, sizeof(v));
}

static int16_t copy_in(const snd_pcm_channel_area_t *a, snd_pcm_uframes_t i)
{
	int16_t v;
	memcpy(&v, (const char *)a->addr + (a->first + a->step * i) / 8, sizeof(v));
	return v;
}

static snd_pcm_sframes_t sim_transfer(snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *areas,
				      snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
	sim_t *s = io->private_data;
	pthread_mutex_lock(&s->mu);
	int64_t now = now_ns();
	update(s, now);
	snd_pcm_sframes_t r = fault_code(s);
	if (!r && s->eio_left > 0) {
		s->eio_left--;
		ev(s, now, "eio left=%d", s->eio_left);
		r = -EIO;
	}
	if (!r) {
		int64_t p = (int64_t)io->appl_ptr;
		if (s->capture) {
			for (snd_pcm_uframes_t i = 0; i < size; i++) {
				uint64_t g = (uint64_t)(s->g_base + p + (int64_t)i);
				int16_t v = s->src ? s->src[g % s->src_frames] : pattern_sample(g);
				copy_out(&areas[0], offset + i, v);
			}
			/* mmap capture asks for the same frames again until the
			 * application commits them; log each frame once. */
			if (p + (int64_t)size > s->cap_logged) {
				int64_t from = p > s->cap_logged ? p : s->cap_logged;
				ev(s, now, "read p=%" PRId64 " n=%" PRId64 " g=%" PRId64, from,
				   p + (int64_t)size - from, s->g_base + from);
				s->cap_logged = p + (int64_t)size;
			}
		} else {
			/* Played frames still waiting for the record sit in the
			 * slots this write reuses: record them first. */
			flush_played(s, 1);
			/* A write of nothing but zero samples is marked, so that
			 * silence an application queues can be told from audio. */
			int silent = 1;
			for (snd_pcm_uframes_t i = 0; i < size; i++) {
				int16_t v = copy_in(&areas[0], offset + i);
				s->ring[(s->base + p + (int64_t)i) % s->buffer] = v;
				silent &= v == 0;
			}
			s->wtotal = s->base + p + (int64_t)size;
			ev(s, now, "write w=%" PRId64 " n=%lu queued=%" PRId64 " silent=%d", s->base + p,
			   (unsigned long)size, p - s->hw, silent);
		}
		r = (snd_pcm_sframes_t)size;
	}
	pthread_mutex_unlock(&s->mu);
	return r;
}

static int sim_delay(snd_pcm_ioplug_t *io, snd_pcm_sframes_t *delayp)
{
	sim_t *s = io->private_data;
	pthread_mutex_lock(&s->mu);
	update(s, now_ns());
	int err = fault_code(s);
	if (!err) {
		int64_t appl = (int64_t)io->appl_ptr;
		*delayp = (snd_pcm_sframes_t)(s->capture ? s->hw - appl : appl - s->hw);
	}
	pthread_mutex_unlock(&s->mu);
	return err;
}

static int sim_hw_params(snd_pcm_ioplug_t *io, snd_pcm_hw_params_t *params)
{
	(void)params;
	sim_t *s = io->private_data;
	pthread_mutex_lock(&s->mu);
	int err = 0;
	s->period = (int64_t)io->period_size;
	s->buffer = (int64_t)io->buffer_size;
	s->avail_min = s->period;
	s->start_thr = 1;
	s->stop_thr = s->buffer;
	if (!s->capture) {
		free(s->ring);
		s->ring = calloc((size_t)s->buffer, sizeof(int16_t));
		if (!s->ring)
			err = -ENOMEM;
	}
	ev(s, now_ns(), "hw_params rate=%u period=%" PRId64 " buffer=%" PRId64 " access=%s", io->rate,
	   s->period, s->buffer, snd_pcm_access_name(io->access));
	pthread_mutex_unlock(&s->mu);
	return err;
}

static int sim_sw_params(snd_pcm_ioplug_t *io, snd_pcm_sw_params_t *params)
{
	sim_t *s = io->private_data;
	snd_pcm_uframes_t start = 1, stop = 0, avail_min = 0;
	snd_pcm_sw_params_get_start_threshold(params, &start);
	snd_pcm_sw_params_get_stop_threshold(params, &stop);
	snd_pcm_sw_params_get_avail_min(params, &avail_min);
	pthread_mutex_lock(&s->mu);
	s->start_thr = (int64_t)start;
	/* A stop threshold beyond the buffer (or at the boundary) means "never
	 * stop"; this card then stops when its queue is empty, as with the
	 * buffer. Positions are signed, so clamp before converting. */
	s->stop_thr = stop > (snd_pcm_uframes_t)s->buffer ? s->buffer : (int64_t)stop;
	s->avail_min = avail_min ? (int64_t)avail_min : 1;
	ev(s, now_ns(), "sw_params start=%lu stop=%lu avail_min=%lu", (unsigned long)start,
	   (unsigned long)stop, (unsigned long)avail_min);
	pthread_mutex_unlock(&s->mu);
	return 0;
}

static int sim_prepare(snd_pcm_ioplug_t *io)
{
	sim_t *s = io->private_data;
	pthread_mutex_lock(&s->mu);
	int64_t now = now_ns();
	poll_control(s, now);
	int err = 0;
	if (s->disconnected) {
		err = -ENODEV;
	} else {
		/* ioplug has already reset its pointers: the end of the queue
		 * comes from our own count, and nothing here is an xrun. */
		if (s->running && !s->capture && !s->xrun && !s->suspended) {
			int64_t h = visible_at(s, now), end = s->wtotal - s->base;
			s->hw = h < end ? h : end;
		}
		flush_played(s, 1);
		discard_queue(s, now, "prepare");
		s->base = s->wtotal;
		s->hw = 0;
		s->flushed = 0;
		s->cap_logged = 0;
		s->running = 0;
		s->xrun = 0;
		s->suspended = 0;
		s->again_left = 0;
		s->stall_end = 0;
		s->draining_logged = 0;
		ev(s, now, "prepare");
	}
	pthread_mutex_unlock(&s->mu);
	return err;
}

/* The LD_PRELOAD shim exports this so that snd_pcm_resume can answer what
 * the card said; ioplug itself turns every resume into 0. */
static void tell_shim_resume(int answer)
{
	void (*hook)(int) = (void (*)(int))dlsym(RTLD_DEFAULT, "callaudio_sim_resume_answer");
	if (hook)
		hook(answer);
}

static int sim_resume(snd_pcm_ioplug_t *io)
{
	sim_t *s = io->private_data;
	pthread_mutex_lock(&s->mu);
	int64_t now = now_ns();
	poll_control(s, now);
	int answer = 0;
	if (s->disconnected) {
		answer = -ENODEV;
	} else if (!s->suspended) {
		answer = -EBADFD;
	} else if (s->again_left > 0) {
		s->again_left--;
		answer = -EAGAIN;
	} else {
		/* A real resume: the stream carries on from where it stopped;
		 * capture skips what the card missed while suspended. */
		s->suspended = 0;
		if (s->pre_suspend == SND_PCM_STATE_RUNNING || s->pre_suspend == SND_PCM_STATE_DRAINING) {
			anchor(s, now, s->hw);
			s->flushed = s->hw;
			s->running = 1;
		}
		snd_pcm_ioplug_set_state(io, s->pre_suspend);
	}
	ev(s, now, "resume answer=%d", answer);
	tell_shim_resume(answer);
	pthread_mutex_unlock(&s->mu);
	return answer;
}

static int sim_poll_count(snd_pcm_ioplug_t *io)
{
	(void)io;
	return 2;
}

static int sim_poll_descriptors(snd_pcm_ioplug_t *io, struct pollfd *pfd, unsigned int space)
{
	sim_t *s = io->private_data;
	if (space < 2)
		return -EINVAL;
	pthread_mutex_lock(&s->mu);
	int64_t now = now_ns();
	update(s, now);
	arm_timer(s, now);
	pfd[0].fd = s->timer_fd;
	pfd[0].events = POLLIN;
	pfd[0].revents = 0;
	pfd[1].fd = s->notify_fd;
	pfd[1].events = POLLIN;
	pfd[1].revents = 0;
	pthread_mutex_unlock(&s->mu);
	return 2;
}

static int sim_poll_revents(snd_pcm_ioplug_t *io, struct pollfd *pfd, unsigned int nfds,
			    unsigned short *revents)
{
	(void)pfd;
	(void)nfds;
	sim_t *s = io->private_data;
	pthread_mutex_lock(&s->mu);
	uint64_t expirations;
	ssize_t r = read(s->timer_fd, &expirations, sizeof(expirations));
	(void)r;
	int64_t now = now_ns();
	update(s, now);
	unsigned short ev_bits = 0;
	if (fault_code(s))
		ev_bits = POLLERR;
	else if (ready(s))
		ev_bits = s->capture ? POLLIN : POLLOUT;
	else
		arm_timer(s, now); /* woken early (or by a command): wait on */
	*revents = ev_bits;
	pthread_mutex_unlock(&s->mu);
	return 0;
}

static void sim_free(sim_t *s)
{
	if (s->timer_fd >= 0)
		close(s->timer_fd);
	if (s->notify_fd >= 0)
		close(s->notify_fd);
	if (s->rec_fd >= 0)
		close(s->rec_fd);
	if (s->events_fd >= 0)
		close(s->events_fd);
	if (s->lock_fd >= 0)
		close(s->lock_fd); /* releases the one-stream lock */
	free(s->ring);
	free(s->src);
	pthread_mutex_destroy(&s->mu);
	free(s);
}

static int sim_close(snd_pcm_ioplug_t *io)
{
	sim_t *s = io->private_data;
	pthread_mutex_lock(&s->mu);
	int64_t now = now_ns();
	if (s->running)
		update(s, now);
	flush_played(s, 1);
	discard_queue(s, now, "close");
	ev(s, now, "close");
	pthread_mutex_unlock(&s->mu);
	sim_free(s);
	return 0;
}

static const snd_pcm_ioplug_callback_t sim_callbacks = {
	.start = sim_start,
	.stop = sim_stop,
	.pointer = sim_pointer,
	.transfer = sim_transfer,
	.close = sim_close,
	.hw_params = sim_hw_params,
	.sw_params = sim_sw_params,
	.prepare = sim_prepare,
	.resume = sim_resume,
	.poll_descriptors_count = sim_poll_count,
	.poll_descriptors = sim_poll_descriptors,
	.poll_revents = sim_poll_revents,
	.delay = sim_delay,
};

/* ---- open ------------------------------------------------------------ */

static int load_source(sim_t *s)
{
	char p[MAX_PATH], file[MAX_PATH];
	if (path_of(s, p, sizeof(p), "cards/%s/source", s->card) < 0)
		return 0;
	ssize_t n = read_small(p, file, sizeof(file));
	if (n <= 0)
		return 0; /* no source file: the numbered pattern */
	file[strcspn(file, "\r\n")] = '\0';
	int fd = open(file, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -errno;
	struct stat st;
	if (fstat(fd, &st) < 0 || st.st_size < 2 || (uint64_t)st.st_size > MAX_SOURCE_BYTES) {
		close(fd);
		return -EINVAL;
	}
	s->src_frames = (size_t)st.st_size / 2;
	s->src = malloc(s->src_frames * 2);
	if (!s->src) {
		close(fd);
		return -ENOMEM;
	}
	size_t got = 0;
	while (got < s->src_frames * 2) {
		ssize_t r = read(fd, (char *)s->src + got, s->src_frames * 2 - got);
		if (r <= 0)
			break;
		got += (size_t)r;
	}
	close(fd);
	if (got < s->src_frames * 2)
		return -EIO;
	return 0;
}

static int add_watch(sim_t *s, const char *rel, uint32_t mask)
{
	char p[MAX_PATH];
	if (path_of(s, p, sizeof(p), "%s", rel) < 0)
		return -1;
	return inotify_add_watch(s->notify_fd, p, mask);
}

static int take_lock(sim_t *s, int nonblock, int64_t now)
{
	char p[MAX_PATH];
	if (path_of(s, p, sizeof(p), "run/%s.%s.lock", s->card, s->dirname) < 0)
		return -ENAMETOOLONG;
	s->lock_fd = open(p, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (s->lock_fd < 0)
		return -errno;
	if (flock(s->lock_fd, LOCK_EX | LOCK_NB) == 0)
		return 0;
	if (errno != EWOULDBLOCK)
		return -errno;
	if (nonblock)
		return -EBUSY;
	/* One stream per direction: a blocking open waits for the holder to
	 * close, as the kernel does for a busy substream. */
	ev(s, now, "openwait");
	while (flock(s->lock_fd, LOCK_EX) != 0) {
		if (errno != EINTR)
			return -errno;
	}
	return 0;
}

static int sim_open(snd_pcm_t **pcmp, const char *name, const char *card, snd_pcm_stream_t stream,
		    int mode)
{
	static unsigned opens;
	const char *root = getenv("CALLAUDIO_SIM_DIR");
	if (!root || !*root) {
		SNDERR("callaudio_sim: CALLAUDIO_SIM_DIR is not set");
		return -ENOENT;
	}
	if (!card || !*card || strlen(card) >= MAX_CARD_ID || strchr(card, '/') || card[0] == '.') {
		SNDERR("callaudio_sim: bad card id");
		return -EINVAL;
	}
	if (strlen(root) >= MAX_PATH - 128)
		return -ENAMETOOLONG;
	sim_t *s = calloc(1, sizeof(*s));
	if (!s)
		return -ENOMEM;
	pthread_mutex_init(&s->mu, NULL);
	s->timer_fd = s->notify_fd = s->lock_fd = s->events_fd = s->rec_fd = -1;
	snprintf(s->card, sizeof(s->card), "%s", card);
	snprintf(s->root, sizeof(s->root), "%s", root);
	snprintf(s->sid, sizeof(s->sid), "%d.%u", (int)getpid(), __atomic_add_fetch(&opens, 1, __ATOMIC_RELAXED));
	s->capture = stream == SND_PCM_STREAM_CAPTURE;
	s->dirname = s->capture ? "capture" : "playback";
	s->ppm = PPM;

	char p[MAX_PATH];
	int err = 0;
	int64_t now = now_ns();
	if (path_of(s, p, sizeof(p), "events.log") == 0)
		s->events_fd = open(p, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);

	if (!card_present(s)) {
		err = -ENODEV;
		goto fail;
	}
	int open_errno = take_commands(s, now, 1);
	if (open_errno) {
		err = -open_errno;
		goto fail;
	}
	err = take_lock(s, (mode & SND_PCM_NONBLOCK) != 0, now);
	if (err < 0)
		goto fail;
	now = now_ns();
	if (!card_present(s)) { /* unplugged while we waited */
		err = -ENODEV;
		goto fail;
	}

	s->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
	s->notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
	if (s->timer_fd < 0 || s->notify_fd < 0) {
		err = -errno;
		goto fail;
	}
	snprintf(p, sizeof(p), "cards/%s", s->card);
	if (add_watch(s, "control", IN_MOVED_TO | IN_CLOSE_WRITE) < 0 ||
	    add_watch(s, "cards", IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE) < 0 ||
	    add_watch(s, p, IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
		err = -errno;
		goto fail;
	}
	if (s->capture) {
		err = load_source(s);
		if (err < 0)
			goto fail;
	} else if (path_of(s, p, sizeof(p), "rec/%s.raw", s->card) == 0) {
		s->rec_fd = open(p, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	}
	s->ppm = read_speed_ppm(s);

	s->io.version = SND_PCM_IOPLUG_VERSION;
	s->io.name = "call-audio simulated modem card";
	s->io.callback = &sim_callbacks;
	s->io.private_data = s;
	s->io.poll_fd = s->timer_fd;
	s->io.poll_events = POLLIN;
	s->io.mmap_rw = 0;
	s->io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC | SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
	err = snd_pcm_ioplug_create(&s->io, name, stream, mode);
	if (err < 0)
		goto fail;

	static const unsigned int access_list[] = {SND_PCM_ACCESS_RW_INTERLEAVED,
						   SND_PCM_ACCESS_MMAP_INTERLEAVED};
	static const unsigned int format_list[] = {SND_PCM_FORMAT_S16_LE};
	if ((err = snd_pcm_ioplug_set_param_list(&s->io, SND_PCM_IOPLUG_HW_ACCESS, 2, access_list)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_list(&s->io, SND_PCM_IOPLUG_HW_FORMAT, 1, format_list)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_minmax(&s->io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 1)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_minmax(&s->io, SND_PCM_IOPLUG_HW_RATE, SIM_RATE, SIM_RATE)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_minmax(&s->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64,
						   MAX_BUFFER_BYTES / 2)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_minmax(&s->io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 256,
						   MAX_BUFFER_BYTES)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_minmax(&s->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024)) < 0) {
		snd_pcm_ioplug_delete(&s->io); /* calls sim_close, which frees s */
		return err;
	}
	ev(s, now, "open mode=%s", (mode & SND_PCM_NONBLOCK) ? "nonblock" : "block");
	s->control_dirty = 1;
	*pcmp = s->io.pcm;
	return 0;

fail:
	ev(s, now, "openfail err=%d", -err);
	sim_free(s);
	return err;
}

SND_PCM_PLUGIN_DEFINE_FUNC(callaudio_sim)
{
	(void)root;
	char *card = NULL;
	snd_config_iterator_t i, next;
	snd_config_for_each(i, next, conf) {
		snd_config_t *n = snd_config_iterator_entry(i);
		const char *id;
		if (snd_config_get_id(n, &id) < 0)
			continue;
		if (strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0)
			continue;
		if (strcmp(id, "card") == 0) {
			free(card);
			card = NULL;
			if (snd_config_get_ascii(n, &card) < 0) {
				SNDERR("callaudio_sim: invalid card");
				return -EINVAL;
			}
			continue;
		}
		SNDERR("callaudio_sim: unknown field %s", id);
		free(card);
		return -EINVAL;
	}
	int err = sim_open(pcmp, name, card, stream, mode);
	free(card);
	return err;
}

SND_PCM_PLUGIN_SYMBOL(callaudio_sim);
