// The far end's player core: an adaptive playout buffer. Samples arrive in
// pieces at irregular times and leave at the output's steady rate; between
// the two it keeps just enough audio to ride out the link's jitter.
//
// - Jitter: how stale the freshest audio is, against the best the link has
//   done. A time-weighted histogram of that staleness, forgetting over
//   WINDOW_S, gives the cushion that best trades delay against time spent
//   dry: it rises within a second on a jittery link and falls over several
//   seconds, and a stall or a lost segment's retransmission is too rare a
//   tail to be worth covering: those are concealed and the delay shed.
// - Steering: above target it cuts up to 50 ms at a time, straight away where
//   the audio is quiet, else where a pitch period matches; below target it
//   repeats a matching period. Every jump is crossfaded over FADE_MS.
// - Underrun: a decaying repeat of the last period, then silence; on resume
//   the concealment crossfades into the new audio.
//
// Plain JavaScript with no browser API: it runs in an AudioWorklet, a worker
// and in Node. Nothing is allocated per render: the ring, the fade buffers
// and the histogram are sized in the constructor (takeRuns() and figures()
// build their answers, so the caller chooses how often to pay for them).
//
// Units: positions are absolute sample counts (doubles, exact far beyond any
// call's length); times are seconds on the caller's clock, which push() and
// render() must share; figures are milliseconds.

const FADE_MS = 5;            // every crossfade and fade-in
const MATCH_MS = 10;          // window compared when looking for a matching period
const MIN_LAG_MS = 2.5;       // shortest period looked for (400 Hz)
const MAX_CUT_MS = 50;        // most audio removed by one cut
const MAX_STRETCH_MS = 20;    // most audio repeated by one stretch
const CONCEAL_MS = 60;        // a concealment fades to silence over this
const HISTORY_MS = MAX_STRETCH_MS + MATCH_MS + FADE_MS + 5; // played audio kept for repeats
const CUT_BAND_MS = 5;        // cut only when this far above target
const STRETCH_BAND_MS = 3;    // stretch only when this far below
const URGENT_MS = 40;         // this far above, cut without waiting for a quiet spot
const PATIENCE_S = 0.2;       // else wait this long for one
const HOLD_S = 1;             // after an underrun, keep what it added unless urgent
const POWER_S = 2;            // time constant of the recent output power
const QUIET = 0.1;            // audio this far below the recent power counts as quiet
const BIN_MS = 2;             // histogram resolution
const WINDOW_S = 10;          // the histogram forgets with this time constant
const DRY_COST_MS = 500;      // 1 % of the time dry is worth 5 ms more delay
const MARGIN_MS = 5;          // cushion kept above the quantile and the
                              // fadeLen samples held back for a concealment
const PRIOR_MS = 40;          // before it has learnt the link, the histogram holds
const PRIOR_S = 0.5;          // this long at this staleness: a safe start
const FLOOR_SLOTS = 8;        // seconds the best-case arrival is remembered

export class Playout {
  constructor({ rate, minTargetMs = 20, maxTargetMs, capMs = 400 } = {}) {
    if (!(rate > 0) || !(capMs > 0)) throw new RangeError('rate and capMs must be positive');
    const ms = rate / 1000;
    this.rate = rate;
    this.minTargetMs = minTargetMs;
    this.maxTargetMs = Math.min(maxTargetMs ?? capMs / 2, capMs - MAX_CUT_MS);
    this.cap = Math.round(capMs * ms);
    this.fadeLen = Math.max(1, Math.round(FADE_MS * ms));
    this.matchLen = Math.round(MATCH_MS * ms);
    this.minLag = Math.round(MIN_LAG_MS * ms);
    this.maxCut = Math.round(MAX_CUT_MS * ms);
    this.maxStretch = Math.round(MAX_STRETCH_MS * ms);
    this.concealStep = 1 / (CONCEAL_MS * ms);
    this.hist = Math.round(HISTORY_MS * ms);
    this.step = Math.max(1, Math.round(rate / 16000)); // coarse search stride, 16 kHz grid
    // Invariants: w - r <= cap + maxStretch, so [r - 2 hist, w) always fits;
    // while playing, w - r > fadeLen (those are held back for a concealment).
    this.size = this.cap + this.maxStretch + 2 * this.hist;
    this.ring = new Float32Array(this.size);
    this.fadeIn = new Float32Array(this.fadeLen);   // sin^2 ramp, 0 to 1
    for (let k = 0; k < this.fadeLen; k++) this.fadeIn[k] = Math.sin((Math.PI / 2) * (k + 0.5) / this.fadeLen) ** 2;
    this.fadeOld = new Float32Array(this.fadeLen);  // what was playing, faded out
    this.scratch = new Float32Array(this.fadeLen);
    this.floorSlots = new Float64Array(FLOOR_SLOTS);
    this.bins = new Float64Array(Math.ceil(this.maxTargetMs / BIN_MS) + 1);
    this.bins[Math.min(this.bins.length - 1, PRIOR_MS / BIN_MS)] = PRIOR_S;
    this.runs = new Float64Array(2 * 256);          // [index, count] pairs; grows only if never taken
    this.nRuns = 0;
    this.underruns = 0;
    this.concealed = 0;     // output samples
    this.dropped = 0;       // input samples cut
    this.stretched = 0;     // output samples inserted by stretching
    this.capCuts = 0;
    this.fades = 0;
    this.learn(0, 0);
    this.playoutSec = 0;
    this.power = 0;         // recent output power, for the quiet test
    this.playing = false;
    this.played = false;    // something has played since construction
    this.fadeLeft = 0;
    this.cGain = 0;
    this.w = 0;             // next position written
    this.r = 0;             // next position played
    this.flush();
  }

  // The stream restarted: what is queued is forgotten and input numbering
  // restarts at 0 (take the runs first: later ones count from 0 again). Positions stay absolute (base is input index 0), so the
  // history a concealment repeats is not overwritten by the new stream.
  flush() {
    if (this.playing) this.conceal(false);
    this.r = this.w;
    this.base = this.w;
    this.maxIndex = -1;     // input indexes reported so far never go back
    this.hasFloor = false;
    this.cooldown = 0;          // output samples before the next jump
    this.waited = 0;            // output samples spent above target waiting for a quiet spot
    this.hold = 0;
  }

  push(samples, arrivalSec) {
    const n = samples.length;
    if (n === 0) return;
    const end = this.w + n;
    // Staleness of the freshest audio: arrival minus its nominal time. The
    // floor is the best the link has done lately; since the last push the
    // freshest audio aged from lastLate to lastLate + dt above it.
    const late = arrivalSec - (end - this.base) / this.rate;
    if (!this.hasFloor) {
      this.floorSlots.fill(Infinity);
      this.slotAt = arrivalSec;
      this.slot = 0;
      this.floorSlots[0] = late;
      this.floor = late;
      this.hasFloor = true;
    } else {
      this.learnFloor(late, arrivalSec);
      this.learn(this.lastLate - this.floor, Math.max(0, arrivalSec - this.lastArrival));
    }
    this.lastLate = late;
    this.lastArrival = arrivalSec;
    // The cap: the oldest audio goes, crossfaded if it was playing.
    const over = end - this.r - this.cap;
    if (over > 0) {
      if (this.playing) this.jump(over);
      else this.r += over;
      this.dropped += over;
      this.capCuts += 1;
    }
    const from = Math.max(0, n - this.cap);
    for (let i = from, p = this.w + from; i < n; i++, p++) this.ring[p % this.size] = samples[i];
    this.w = end;
  }

  // The floor is the least staleness over the last FLOOR_SLOTS seconds, kept
  // as one minimum per second: one early piece (after a late start, say)
  // lowers it for that long only, and a sender whose clock is slow lifts it.
  learnFloor(late, t) {
    const slots = this.floorSlots;
    while (t - this.slotAt >= 1) {
      this.slotAt += 1;
      this.slot = (this.slot + 1) % slots.length;
      slots[this.slot] = Infinity;
      if (t - this.slotAt > slots.length) { slots.fill(Infinity); this.slotAt = t; }
    }
    if (late < slots[this.slot]) slots[this.slot] = late;
    let f = Infinity;
    for (let i = 0; i < slots.length; i++) if (slots[i] < f) f = slots[i];
    this.floor = f;
  }

  // The histogram holds seconds of time spent at each staleness (ms bins).
  learn(stale, dt) {
    const keep = Math.exp(-dt / WINDOW_S);
    const bins = this.bins;
    const last = bins.length - 1;
    let total = 0;
    for (let b = 0; b <= last; b++) total += (bins[b] *= keep);
    const lo = Math.max(0, stale * 1000);
    const hi = lo + dt * 1000;
    for (let b = Math.min(last, Math.floor(lo / BIN_MS)); b <= last; b++) {
      const a = Math.max(lo, b * BIN_MS);
      const z = b === last ? hi : Math.min(hi, (b + 1) * BIN_MS);
      if (z <= a) break;
      bins[b] += (z - a) / 1000;
    }
    total += dt;
    // The cushion c that costs least, c + DRY_COST_MS * (share of time the
    // freshest audio was staler than c): a cushion covers the bulk of the
    // jitter, and not a rare tail (a stall, a retransmission) that it could
    // only partly cover while it delayed everything.
    let above = total;
    let best = Infinity;
    for (let b = 0; b <= last; b++) {
      above -= bins[b];
      const cost = (b + 1) * BIN_MS + DRY_COST_MS * Math.max(0, above) / total;
      if (cost < best) { best = cost; this.jitterMs = (b + 1) * BIN_MS; }
    }
    this.targetMs = Math.min(this.maxTargetMs, Math.max(this.minTargetMs, this.jitterMs + FADE_MS + MARGIN_MS));
  }

  render(out, nowSec) {
    const n = out.length;
    const ring = this.ring;
    const size = this.size;
    // Cushion left after this quantum, against the best-case arrival: the
    // steered quantity. It does not move with a late push, only with play.
    if (this.hasFloor) this.playoutSec = nowSec - (this.r + n - this.base) / this.rate - this.floor;
    if (!this.playing) this.resume(n);
    else if (this.fadeLeft === 0) this.steer(n);
    let sq = 0;
    for (let i = 0; i < n; i++) {
      let v = 0;
      let src = -1;
      if (this.playing && this.r + this.fadeLen >= this.w) this.conceal(true);
      if (this.playing) {
        src = this.r - this.base;
        v = ring[this.r % size];
        this.r += 1;
      } else {
        v = this.concealSample();
        if (this.played) this.concealed += 1;
      }
      if (this.fadeLeft > 0) {
        const k = this.fadeLen - this.fadeLeft;
        v = this.fadeOld[k] * (1 - this.fadeIn[k]) + v * this.fadeIn[k];
        this.fadeLeft -= 1;
      }
      out[i] = v;
      sq += v * v;
      this.note(src);
    }
    this.power += Math.min(1, n / (POWER_S * this.rate)) * (sq / n - this.power);
    if (this.cooldown > 0) this.cooldown -= n;
    if (this.hold > 0) this.hold -= n;
  }

  // Appends one output sample's source to the runs.
  note(src) {
    if (src >= 0) {
      if (src <= this.maxIndex) src = -1;   // a repeat: inserted, not played again
      else this.maxIndex = src;
    }
    const runs = this.runs;
    const j = 2 * (this.nRuns - 1);
    if (this.nRuns > 0 && (src < 0 ? runs[j] < 0 : runs[j] >= 0 && runs[j] + runs[j + 1] === src)) {
      runs[j + 1] += 1;
      return;
    }
    if (2 * this.nRuns === runs.length) {  // only when takeRuns() is called too rarely
      this.runs = new Float64Array(2 * runs.length);
      this.runs.set(runs);
    }
    this.runs[2 * this.nRuns] = src;
    this.runs[2 * this.nRuns + 1] = 1;
    this.nRuns += 1;
  }

  takeRuns() {
    const got = [];
    for (let i = 0; i < this.nRuns; i++) got.push([this.runs[2 * i], this.runs[2 * i + 1]]);
    this.nRuns = 0;
    return got;
  }

  // Above target: cut; below: stretch. One jump, then a pause in proportion
  // to its length, so that speech is compressed by at most a third and
  // gentle corrections (drift, a slowly falling target) by a tenth.
  steer(n) {
    if (!this.hasFloor || this.cooldown > 0) return;
    const ms = this.rate / 1000;
    const excess = this.playoutSec * 1000 - this.targetMs;
    const fill = this.w - this.r;
    if (excess > CUT_BAND_MS && (excess > URGENT_MS || this.hold <= 0)) {
      this.waited += n;
      const hi = Math.min(this.maxCut, Math.floor(excess * ms), fill - n - this.matchLen);
      if (hi < this.minLag) return;
      const quiet = this.isQuiet(this.r, hi + this.fadeLen);
      if (!quiet && excess < URGENT_MS && this.waited < PATIENCE_S * this.rate) return;
      const lag = quiet ? hi : this.bestLag(this.minLag, hi, 1);
      this.jump(lag);
      this.dropped += lag;
      this.cooldown = lag * (excess > 100 ? 2 : excess > URGENT_MS ? 3 : 10);
      this.waited = 0;
    } else if (excess < -STRETCH_BAND_MS) {
      this.waited = 0;
      const history = Math.min(this.r - this.base, this.size - fill - this.hist);
      // No longer than would overshoot into a cut.
      const hi = Math.min(this.maxStretch, history, Math.floor((CUT_BAND_MS - excess) * ms) - 1);
      if (hi < this.minLag || fill < this.matchLen + n) return;
      const lag = this.isQuiet(this.r - hi, hi + this.fadeLen)
        ? Math.min(hi, Math.max(this.minLag, Math.round(-excess * ms)))
        : this.bestLag(this.minLag, hi, -1);
      this.jump(-lag);
      this.stretched += lag;
      this.cooldown = lag * 3;
    } else {
      this.waited = 0;
    }
  }

  isQuiet(from, len) {
    let sq = 0;
    for (let p = from; p < from + len; p++) { const v = this.ring[p % this.size]; sq += v * v; }
    return sq / len < QUIET * this.power || sq / len < 1e-7;
  }

  // The lag in [lo, hi] (dir +1: ahead of r, -1: behind it) whose audio best
  // matches what plays next, so the crossfade joins two like waveforms. Ties
  // go to the longer lag; searched on a 16 kHz grid, then refined.
  bestLag(lo, hi, dir) {
    const s = this.step;
    let best = lo;
    let bestScore = -Infinity;
    for (let lag = lo; lag <= hi; lag += s) {
      const score = this.match(lag * dir, s) + 0.05 * lag / hi;
      if (score > bestScore) { bestScore = score; best = lag; }
    }
    for (let lag = Math.max(lo, best - s + 1); lag <= Math.min(hi, best + s - 1); lag++) {
      const score = this.match(lag * dir, 1) + 0.05 * lag / hi;
      if (score > bestScore) { bestScore = score; best = lag; }
    }
    return best;
  }

  // Normalised correlation of the audio at r and at r + delta.
  match(delta, stride) {
    const ring = this.ring;
    const size = this.size;
    let xy = 0;
    let xx = 0;
    let yy = 0;
    for (let i = 0; i < this.matchLen; i += stride) {
      const x = ring[(this.r + i) % size];
      const y = ring[(this.r + delta + i) % size];
      xy += x * y;
      xx += x * x;
      yy += y * y;
    }
    return xy / Math.sqrt(xx * yy + 1e-20);
  }

  // Moves the read position by delta samples, crossfading from what would
  // have played (including a fade still under way) to the new position.
  jump(delta) {
    const L = this.fadeLen;
    for (let k = 0; k < L; k++) {
      const p = this.r + k;
      let v = p < this.w ? this.ring[p % this.size] : 0;
      if (k < this.fadeLeft) {
        const j = L - this.fadeLeft + k;
        v = this.fadeOld[j] * (1 - this.fadeIn[j]) + v * this.fadeIn[j];
      }
      this.scratch[k] = v;
    }
    this.startFade();
    this.r += delta;
  }

  startFade() {
    const t = this.fadeOld;
    this.fadeOld = this.scratch;
    this.scratch = t;
    this.fadeLeft = this.fadeLen;
    this.fades += 1;
  }

  // Ran dry (or the stream was flushed): loop the last period, fading out.
  // The last fadeLen samples were held back for this: the loop runs from
  // e - period to e, and each pass back to its start is a crossfade from
  // x[e...] into x[e - period...], so the entry and every wrap are smooth.
  conceal(counted) {
    this.playing = false;
    if (counted) {
      this.underruns += 1;
      this.hold = HOLD_S * this.rate;     // the cushion was short: the histogram is catching up
    }
    const L = this.fadeLen;
    const e = this.r;
    const history = Math.min(e - this.base, this.size - (this.w - e) - this.hist);
    const hi = Math.min(this.maxStretch, history - this.matchLen);
    this.cEnd = e;
    this.cPos = 0;
    this.cGain = history >= L ? 1 : 0;
    this.cPeriod = Math.max(L, Math.min(history, this.maxStretch));
    if (hi >= L) {
      this.r = e - this.matchLen;            // match the last window against earlier ones
      this.cPeriod = this.bestLag(L, hi, -1);
      this.r = e;
    }
  }

  concealSample() {
    if (this.cGain <= 0) return 0;
    const size = this.size;
    const from = this.cEnd - this.cPeriod;
    if (from < this.w - size) { this.cGain = 0; return 0; } // overwritten since
    const k = this.cPos;
    let v = this.ring[(from + k) % size];
    if (k < this.fadeLen) v = this.ring[(this.cEnd + k) % size] * (1 - this.fadeIn[k]) + v * this.fadeIn[k];
    if (++this.cPos === this.cPeriod) this.cPos = 0;
    v *= this.cGain;
    this.cGain -= this.concealStep;
    return v;
  }

  // Starts (or restarts after an underrun) once the cushion is back at
  // target, crossfading from the concealment, which by then is often silence.
  // The fill asked for leaves a later concealment a period of history.
  resume(n) {
    const ms = this.rate / 1000;
    if (!this.hasFloor || this.w - this.r < n + 3 * this.fadeLen + this.targetMs * ms / 2
        || this.playoutSec * 1000 < this.targetMs) return;
    for (let k = 0; k < this.fadeLen; k++) this.scratch[k] = this.concealSample();
    this.startFade();
    // Late audio after a stall: the fade-in may as well start up to one cut
    // further on, which nobody hears go. Short of a stall, an underrun says
    // the cushion was short, and what it added is kept.
    const skip = Math.min(this.maxCut, Math.floor((this.playoutSec * 1000 - this.targetMs - URGENT_MS) * ms),
                          this.w - this.r - n - 3 * this.fadeLen);
    if (skip > 0) {
      this.r += skip;
      this.dropped += skip;
    }
    this.playing = true;
    this.played = true;
    this.cGain = 0;
  }

  // delayMs is what is queued now; targetMs and playoutMs are the cushion
  // left at the link's best-case arrival, the quantity steered, which is
  // what is queued just before the timeliest piece arrives.
  figures() {
    const ms = this.rate / 1000;
    return {
      delayMs: (this.w - this.r) / ms,
      targetMs: this.targetMs,
      jitterMs: this.jitterMs,
      playoutMs: this.playoutSec * 1000,
      underruns: this.underruns,
      concealedMs: this.concealed / ms,
      droppedMs: this.dropped / ms,
      stretchedMs: this.stretched / ms,
      capCuts: this.capCuts,
      fades: this.fades,
    };
  }
}
