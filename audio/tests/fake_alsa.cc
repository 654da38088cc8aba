#include "audio/tests/fake_alsa.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

struct _snd_pcm {
    int unused;
};

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

int count(const std::string &entry)
{
    int n = 0;
    for (const std::string &e : alsa.log)
        n += e == entry;
    return n;
}
}  // namespace fake

namespace {
constexpr size_t kRecordSize = 64;  // any size: the module must only use sizeof

long next(const std::string &call, long fallback)
{
    auto &q = fake::alsa.results[call];
    if (q.empty())
        return fallback;
    long r = q.front();
    q.pop_front();
    return r;
}

int logged(const std::string &entry, long fallback = 0)
{
    fake::alsa.log.push_back(entry);
    return static_cast<int>(next(entry.substr(0, entry.find(' ')), fallback));
}

int hw_call(const snd_pcm_hw_params_t *hw, const std::string &entry)
{
    fake::alsa.hw_records.push_back(hw);
    return logged(entry);
}
}  // namespace

extern "C" {
void *__real_malloc(size_t size);
void *__wrap_malloc(size_t size)
{
    ++fake::mallocs;
    return __real_malloc(size);
}

int usleep(useconds_t us)
{
    fake::alsa.log.push_back("usleep " + std::to_string(us));
    return 0;
}

// Only the card entries are faked; any other path is asked of the kernel.
int access(const char *path, int mode) noexcept
{
    constexpr char kProc[] = "/proc/asound/";
    if (strncmp(path, kProc, sizeof(kProc) - 1) != 0)
        return static_cast<int>(syscall(SYS_faccessat, AT_FDCWD, path, mode));
    for (const std::string &id : fake::alsa.cards)
        if (strcmp(id.c_str(), path + sizeof(kProc) - 1) == 0)
            return 0;
    errno = ENOENT;
    return -1;
}

int clock_gettime(clockid_t id, struct timespec *ts) noexcept
{
    if (id != CLOCK_MONOTONIC || !fake::alsa.fake_clock)
        return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
    ts->tv_sec = static_cast<time_t>(fake::alsa.now);
    ts->tv_nsec = std::lround((fake::alsa.now - static_cast<double>(ts->tv_sec)) * 1e9);
    return 0;
}

const char *snd_strerror(int code) { return strerror(-code); }

int snd_pcm_open(snd_pcm_t **pcm, const char *name, snd_pcm_stream_t stream, int mode)
{
    const char *dir = stream == SND_PCM_STREAM_CAPTURE ? "capture" : "playback";
    int rc = logged(std::string("open ") + dir + " " + name + " " + std::to_string(mode));
    if (rc == 0)
        *pcm = &the_pcm;
    return rc;
}

int snd_pcm_nonblock(snd_pcm_t *, int nonblock) { return logged("nonblock " + std::to_string(nonblock)); }
int snd_pcm_close(snd_pcm_t *) { return logged("close"); }
int snd_pcm_prepare(snd_pcm_t *) { return logged("prepare"); }
int snd_pcm_drop(snd_pcm_t *) { return logged("drop"); }
snd_pcm_state_t snd_pcm_state(snd_pcm_t *) { return static_cast<snd_pcm_state_t>(logged("state")); }
int snd_pcm_resume(snd_pcm_t *) { return logged("resume"); }

int snd_pcm_delay(snd_pcm_t *, snd_pcm_sframes_t *frames)
{
    int rc = logged("delay");
    if (rc == 0 && !fake::alsa.delays.empty()) {
        *frames = fake::alsa.delays.front();
        fake::alsa.delays.pop_front();
    }
    return rc;
}

snd_pcm_sframes_t snd_pcm_readi(snd_pcm_t *, void *, snd_pcm_uframes_t size)
{
    return logged("readi " + std::to_string(size), static_cast<long>(size));
}

snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t *, const void *buf, snd_pcm_uframes_t size)
{
    auto offset = static_cast<const char *>(buf) - static_cast<const char *>(fake::alsa.write_base);
    return logged("writei +" + std::to_string(offset) + " " + std::to_string(size),
                  static_cast<long>(size));
}

size_t snd_pcm_hw_params_sizeof() { return kRecordSize; }
size_t snd_pcm_sw_params_sizeof() { return kRecordSize; }

int snd_pcm_hw_params_any(snd_pcm_t *, snd_pcm_hw_params_t *hw)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(hw);
    fake::alsa.hw_zeroed = true;
    for (size_t i = 0; i < kRecordSize; i++)
        fake::alsa.hw_zeroed = fake::alsa.hw_zeroed && bytes[i] == 0;
    return hw_call(hw, "hw_params_any");
}

int snd_pcm_hw_params_set_access(snd_pcm_t *, snd_pcm_hw_params_t *hw, snd_pcm_access_t a)
{
    return hw_call(hw, a == SND_PCM_ACCESS_RW_INTERLEAVED ? "set_access RW_INTERLEAVED"
                                                          : "set_access other");
}

int snd_pcm_hw_params_set_format(snd_pcm_t *, snd_pcm_hw_params_t *hw, snd_pcm_format_t f)
{
    return hw_call(hw, f == SND_PCM_FORMAT_S16_LE ? "set_format S16_LE" : "set_format other");
}

int snd_pcm_hw_params_set_channels(snd_pcm_t *, snd_pcm_hw_params_t *hw, unsigned n)
{
    return hw_call(hw, "set_channels " + std::to_string(n));
}

int snd_pcm_hw_params_set_rate_near(snd_pcm_t *, snd_pcm_hw_params_t *hw, unsigned *rate, int *dir)
{
    int rc = hw_call(hw, "set_rate_near " + std::to_string(*rate) + (dir ? " dir" : ""));
    *rate = 48000;  // a device that would rather run at its native rate
    return rc;
}

int snd_pcm_hw_params_set_period_size_near(snd_pcm_t *, snd_pcm_hw_params_t *hw,
                                           snd_pcm_uframes_t *frames, int *dir)
{
    return hw_call(hw, "set_period_size_near " + std::to_string(*frames) + (dir ? " dir" : ""));
}

int snd_pcm_hw_params_set_buffer_size_near(snd_pcm_t *, snd_pcm_hw_params_t *hw,
                                           snd_pcm_uframes_t *frames)
{
    return hw_call(hw, "set_buffer_size_near " + std::to_string(*frames));
}

int snd_pcm_hw_params(snd_pcm_t *, snd_pcm_hw_params_t *hw) { return hw_call(hw, "hw_params"); }

int snd_pcm_hw_params_get_period_size(const snd_pcm_hw_params_t *hw, snd_pcm_uframes_t *frames,
                                      int *)
{
    *frames = fake::alsa.granted_period;
    return hw_call(hw, "get_period_size");
}

int snd_pcm_hw_params_get_buffer_size(const snd_pcm_hw_params_t *hw, snd_pcm_uframes_t *frames)
{
    *frames = fake::alsa.granted_buffer;
    return hw_call(hw, "get_buffer_size");
}

int snd_pcm_sw_params_current(snd_pcm_t *, snd_pcm_sw_params_t *) { return logged("sw_params_current"); }

int snd_pcm_sw_params_set_start_threshold(snd_pcm_t *, snd_pcm_sw_params_t *, snd_pcm_uframes_t v)
{
    return logged("set_start_threshold " + std::to_string(v));
}

int snd_pcm_sw_params_set_stop_threshold(snd_pcm_t *, snd_pcm_sw_params_t *, snd_pcm_uframes_t v)
{
    return logged("set_stop_threshold " + std::to_string(v));
}

int snd_pcm_sw_params_set_avail_min(snd_pcm_t *, snd_pcm_sw_params_t *, snd_pcm_uframes_t v)
{
    return logged("set_avail_min " + std::to_string(v));
}

int snd_pcm_sw_params(snd_pcm_t *, snd_pcm_sw_params_t *) { return logged("sw_params"); }
}  // extern "C"
