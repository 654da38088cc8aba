// Stand-in for the libasound calls the audio module makes, with usleep,
// CLOCK_MONOTONIC and access to "/proc/asound/" interposed: a device whose
// set-up, state and queue a test reads back, and failures the test queues.
// The test binary links this instead of libasound.
#pragma once

#include <alsa/asoundlib.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace fake {
struct Alsa {
    // Results queued per call name ("readi", "prepare", "hw_params", ...);
    // with none queued a call succeeds (readi and writei take every frame).
    std::map<std::string, std::deque<long>> results;
    std::deque<snd_pcm_sframes_t> delays;  // snd_pcm_delay reports these first, then `queued`
    snd_pcm_uframes_t granted_buffer = 1280;  // what the read-backs report
    snd_pcm_uframes_t granted_period = 320;
    std::vector<std::string> cards;  // card ids that "/proc/asound/<id>" shows
    // CLOCK_MONOTONIC in seconds while fake_clock is set; otherwise the
    // real clock, so GoogleTest's own timings stay sane.
    bool fake_clock = false;
    double now = 1000.0;

    // The device; once it overran or was suspended, reads and writes fail until it is prepared.
    std::string opened;   // "capture plughw:CARD=modem 0": direction, name, mode
    int open = 0;         // opens minus closes
    int nonblock = -1;    // what snd_pcm_nonblock last set; -1: never called
    std::string hw, sw;   // the set-up installed, in words ("start 640 stop 1920 avail_min 320")
    snd_pcm_state_t state = SND_PCM_STATE_OPEN;
    snd_pcm_sframes_t queued = 0;  // written since the last drop or prepare
    std::string written;           // every byte the device took, in order
    long slept_us = 0;
    int calls = 0;  // calls on the device
};

extern Alsa alsa;
// Calls to malloc from the module's code (linked with --wrap=malloc).
extern long mallocs;

void reset();
// The handle snd_pcm_open hands out.
snd_pcm_t *handle();
void queue(const char *call, long result, int times = 1);
}  // namespace fake
