// Scripted stand-in for the libasound calls the audio module makes, with
// usleep, CLOCK_MONOTONIC and access to "/proc/asound/" interposed, so device failures, pauses and the
// clock are under a test's control. The test binary links this instead of
// libasound.
#pragma once

#include <alsa/asoundlib.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace fake {
struct Alsa {
    // Results queued per call name ("readi", "prepare", "hw_params", ...).
    // An empty queue means success: 0, or every frame asked for from
    // readi and writei.
    std::map<std::string, std::deque<long>> results;
    std::deque<snd_pcm_sframes_t> delays;  // frame counts snd_pcm_delay reports
    snd_pcm_uframes_t granted_buffer = 1280;  // what the read-backs report
    snd_pcm_uframes_t granted_period = 320;
    const void *write_base = nullptr;  // writei logs its pointer relative to this
    std::vector<std::string> cards;  // card ids that "/proc/asound/<id>" shows
    // CLOCK_MONOTONIC in seconds while fake_clock is set; otherwise the
    // real clock, so GoogleTest's own timings stay sane.
    bool fake_clock = false;
    double now = 1000.0;

    // Every call in order, with its arguments: "set_rate_near 16000",
    // "writei +400 120", "usleep 10000".
    std::vector<std::string> log;
    std::vector<const void *> hw_records;  // record passed to each hw call
    bool hw_zeroed = false;  // record was all zero when set-up began
};

extern Alsa alsa;
// Calls to malloc from the module's code (linked with --wrap=malloc).
extern long mallocs;

void reset();
// The handle snd_pcm_open hands out.
snd_pcm_t *handle();
void queue(const char *call, long result, int times = 1);
// How many times `entry` appears in the log.
int count(const std::string &entry);
}  // namespace fake
