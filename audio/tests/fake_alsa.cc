#include "audio/tests/fake_alsa.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

struct _snd_pcm { int unused; };

namespace { snd_pcm_t the_pcm; }

namespace fake {
Alsa alsa;
long mallocs = 0;

void reset() { alsa = Alsa(); }

void queue(const char *call, long result, int times)
{
    for (int i = 0; i < times; i++)
        alsa.results[call].push_back(result);
}

snd_pcm_t *handle() { return &the_pcm; }
}  // namespace fake

namespace {
fake::Alsa &a = fake::alsa;

// Parameter records (hardware and software) are the module's zeroed memory, as the
// library's are: a setter fills the record it is given, only one installed counts.
struct Record {
    snd_pcm_access_t access;
    snd_pcm_format_t format;
    unsigned channels, rate;
    snd_pcm_uframes_t period, buffer, start, stop, avail_min;
    char padding[8];  // a size of our own: the module must only use sizeof
};
Record *rec(void *record) { return static_cast<Record *>(record); }

// The next queued result for `name`, else `fallback`.
int call(const char *name, int fallback = 0)
{
    ++a.calls;
    auto &q = a.results[name];
    const long r = q.empty() ? fallback : q.front();
    if (!q.empty())
        q.pop_front();
    return static_cast<int>(r);
}

// prepare and drop: the queue goes, the device is in `state`.
int settle(const char *name, snd_pcm_state_t state)
{
    const int rc = call(name);
    a.state = rc == 0 ? state : a.state;
    a.queued = rc == 0 ? 0 : a.queued;
    return rc;
}

// readi and writei. A device that overran or was suspended says so until
// it is prepared; a queued failure of either kind puts it in that state.
int transfer(const char *name, snd_pcm_uframes_t size)
{
    if (a.state == SND_PCM_STATE_XRUN || a.state == SND_PCM_STATE_SUSPENDED)
        return a.state == SND_PCM_STATE_XRUN ? -EPIPE : -ESTRPIPE;
    if (a.state != SND_PCM_STATE_PREPARED && a.state != SND_PCM_STATE_RUNNING)
        return -EBADFD;
    const int r = call(name, static_cast<int>(size));
    if (r == -EPIPE || r == -ESTRPIPE)
        a.state = r == -EPIPE ? SND_PCM_STATE_XRUN : SND_PCM_STATE_SUSPENDED;
    else if (r >= 0)
        a.state = SND_PCM_STATE_RUNNING;
    return r;
}
}  // namespace

extern "C" {
void *__real_malloc(size_t size);
void *__wrap_malloc(size_t size)
{
    ++fake::mallocs;
    return __real_malloc(size);
}

int usleep(useconds_t us) { a.slept_us += us; return 0; }

// Only the card entries are faked; any other path is asked of the kernel.
int access(const char *path, int mode) noexcept
{
    constexpr char kProc[] = "/proc/asound/";
    if (strncmp(path, kProc, sizeof(kProc) - 1) != 0)
        return static_cast<int>(syscall(SYS_faccessat, AT_FDCWD, path, mode));
    for (const std::string &id : a.cards)
        if (strcmp(id.c_str(), path + sizeof(kProc) - 1) == 0)
            return 0;
    errno = ENOENT;
    return -1;
}

int clock_gettime(clockid_t id, struct timespec *ts) noexcept
{
    if (id != CLOCK_MONOTONIC || !a.fake_clock)
        return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
    ts->tv_sec = static_cast<time_t>(a.now);
    ts->tv_nsec = std::lround((a.now - static_cast<double>(ts->tv_sec)) * 1e9);
    return 0;
}

const char *snd_strerror(int code) { return strerror(-code); }

int snd_pcm_open(snd_pcm_t **pcm, const char *name, snd_pcm_stream_t stream, int mode)
{
    const int rc = call("open");
    if (rc == 0) {
        *pcm = &the_pcm;
        a.open++;
        a.opened = std::string(stream == SND_PCM_STREAM_CAPTURE ? "capture " : "playback ") + name +
                   " " + std::to_string(mode);
    }
    return rc;
}

int snd_pcm_nonblock(snd_pcm_t *, int nonblock)
{
    const int rc = call("nonblock");
    a.nonblock = rc == 0 ? nonblock : a.nonblock;
    return rc;
}

int snd_pcm_close(snd_pcm_t *) { a.open--; return call("close"); }
int snd_pcm_prepare(snd_pcm_t *) { return settle("prepare", SND_PCM_STATE_PREPARED); }
int snd_pcm_drop(snd_pcm_t *) { return settle("drop", SND_PCM_STATE_SETUP); }
snd_pcm_state_t snd_pcm_state(snd_pcm_t *) { call("state"); return a.state; }

int snd_pcm_resume(snd_pcm_t *)
{
    const int rc = call("resume");  // a device that resumes is ready to start again
    a.state = rc == 0 && a.state == SND_PCM_STATE_SUSPENDED ? SND_PCM_STATE_PREPARED : a.state;
    return rc;
}

int snd_pcm_delay(snd_pcm_t *, snd_pcm_sframes_t *frames)
{
    const int rc = call("delay");
    *frames = a.delays.empty() ? a.queued : a.delays.front();
    if (!a.delays.empty())
        a.delays.pop_front();
    return rc;
}

snd_pcm_sframes_t snd_pcm_readi(snd_pcm_t *, void *, snd_pcm_uframes_t n) { return transfer("readi", n); }

snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t *, const void *buf, snd_pcm_uframes_t size)
{
    const int n = transfer("writei", size);
    a.written.append(static_cast<const char *>(buf), n > 0 ? static_cast<size_t>(n) * 2 : 0);
    a.queued += n > 0 ? n : 0;
    return n;
}

size_t snd_pcm_hw_params_sizeof() { return sizeof(Record); }
size_t snd_pcm_sw_params_sizeof() { return sizeof(Record); }
int snd_pcm_hw_params_any(snd_pcm_t *, snd_pcm_hw_params_t *) { return call("hw_params_any"); }
int snd_pcm_sw_params_current(snd_pcm_t *, snd_pcm_sw_params_t *) { return call("sw_params_current"); }

// A setter fills the record it is given and answers with the result queued.
#define SETTER(kind, name, assignment, ...)                                                     \
    int snd_pcm_##kind##_params_##name(snd_pcm_t *, snd_pcm_##kind##_params_t *p, __VA_ARGS__) \
    {                                                                                           \
        rec(p)->assignment;                                                                     \
        return call(#name);                                                                     \
    }
SETTER(hw, set_access, access = v, snd_pcm_access_t v)
SETTER(hw, set_format, format = v, snd_pcm_format_t v)
SETTER(hw, set_channels, channels = v, unsigned v)
SETTER(hw, set_period_size_near, period = *v, snd_pcm_uframes_t *v, int *)
SETTER(hw, set_buffer_size_near, buffer = *v, snd_pcm_uframes_t *v)
SETTER(sw, set_start_threshold, start = v, snd_pcm_uframes_t v)
SETTER(sw, set_stop_threshold, stop = v, snd_pcm_uframes_t v)
SETTER(sw, set_avail_min, avail_min = v, snd_pcm_uframes_t v)

int snd_pcm_hw_params_set_rate_near(snd_pcm_t *, snd_pcm_hw_params_t *hw, unsigned *rate, int *)
{
    rec(hw)->rate = *rate;
    *rate = 48000;  // a device that would rather run at its native rate
    return call("set_rate_near");
}

int snd_pcm_hw_params(snd_pcm_t *, snd_pcm_hw_params_t *hw)
{
    const int rc = call("hw_params");
    const Record &r = *rec(hw);
    char text[128];
    snprintf(text, sizeof(text), "%s %s %uch %uHz period %lu buffer %lu",
             r.access == SND_PCM_ACCESS_RW_INTERLEAVED ? "RW_INTERLEAVED" : "?",
             r.format == SND_PCM_FORMAT_S16_LE ? "S16_LE" : "?", r.channels, r.rate, r.period, r.buffer);
    a.hw = rc == 0 ? text : a.hw;
    a.state = rc == 0 ? SND_PCM_STATE_SETUP : a.state;
    return rc;
}

int snd_pcm_hw_params_get_period_size(const snd_pcm_hw_params_t *, snd_pcm_uframes_t *frames, int *)
{
    *frames = a.granted_period;
    return 0;
}

int snd_pcm_hw_params_get_buffer_size(const snd_pcm_hw_params_t *, snd_pcm_uframes_t *frames)
{
    *frames = a.granted_buffer;
    return 0;
}

int snd_pcm_sw_params(snd_pcm_t *, snd_pcm_sw_params_t *sw)
{
    const int rc = call("sw_params");
    const Record &r = *rec(sw);
    if (rc == 0)
        a.sw = "start " + std::to_string(r.start) + " stop " + std::to_string(r.stop) + " avail_min " +
               std::to_string(r.avail_min);
    return rc;
}
}  // extern "C"
