// The adaptive player core in simulated time: a sender on its own clock, a
// link that delays, jitters and stalls, and an output that renders 128-sample
// quanta on time. The input is two smooth tones that share no short period,
// so a cut or start that is not faded shows as a sample-to-sample jump the
// tones cannot make, and a sample played from the wrong place is seen too.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Playout } from '../../call-audio-playout.js';

const QUANTUM = 128;
const TONES = [[440, 0.3], [257, 0.2]];   // Hz, amplitude
const signal = (i, rate) => TONES.reduce((a, [hz, amp]) => a + amp * Math.sin(2 * Math.PI * hz * i / rate), 0);
// The largest step the tones make; a hard cut jumps by up to their peak-to-peak.
const naturalStep = (rate) => TONES.reduce((a, [hz, amp]) => a + 2 * Math.PI * hz / rate * amp, 0);

// A deterministic uniform draw in [0, 1).
function lcg(seed) {
  let s = seed >>> 0;
  return () => ((s = (Math.imul(s, 1664525) + 1013904223) >>> 0) / 2 ** 32);
}

// Runs one scenario; returns the final figures, the largest output jump, the
// worst recovery after `events` and what the runs said.
function simulate({ rate = 16000, seconds, chunkMs = 20, ppm = 0, delayMs = 10, jitterMs = 0,
                    stalls = [], capMs = 400, flushAt = -1 }) {
  const p = new Playout({ rate, capMs });
  const chunk = Math.round(chunkMs * rate / 1000);
  const inRate = rate * (1 + ppm * 1e-6);             // the sender's clock, in caller seconds
  const draw = lcg(7);
  const TAKE = 3;                                     // quanta between takeRuns()
  const out = new Float32Array(QUANTUM);
  const held = new Float32Array(TAKE * QUANTUM);      // output since the last takeRuns()
  const piece = new Float32Array(chunk);
  let k = 0;
  let origin = 0;                                     // the sender's start, restarted by a flush
  let lastArrival = 0;
  let next = null;                                    // [arrival, first input index]
  const arrival = (n) => {
    let t = origin + ((n + 1) * chunk) / inRate;              // ready once its last sample exists
    const jitter = typeof jitterMs === 'function' ? jitterMs(t) : jitterMs;
    t += delayMs / 1000 + jitter / 1000 * draw();
    // What a stall held comes out after it in order, a piece a millisecond.
    for (const [at, ms] of stalls) if (t >= at && t < at + ms / 1000) t = Math.max(at + ms / 1000, lastArrival + 0.001);
    lastArrival = Math.max(lastArrival, t);           // one connection: in order
    return lastArrival;
  };
  let prev = 0;
  let maxJump = 0;
  let produced = 0;
  let accounted = 0;
  let lastIndex = -1;
  let backwards = 0;
  let flushed = false;
  let misplaced = 0;
  let longestMisplaced = 0;                           // in a row
  const series = [];                                  // [t, delayMs - targetMs]
  const quanta = TAKE * Math.floor(seconds * rate / QUANTUM / TAKE);
  for (let q = 0; q < quanta; q++) {
    const now = q * QUANTUM / rate;
    if (!flushed && flushAt >= 0 && now >= flushAt && q % TAKE === 0) {   // runs just taken
      p.flush();
      flushed = true;
      k = 0;
      origin = now;
      lastIndex = -1;
      next = null;
    }
    for (;;) {
      if (!next) next = [arrival(k), k * chunk];
      if (next[0] > now) break;
      for (let i = 0; i < chunk; i++) piece[i] = signal(next[1] + i, rate);
      p.push(piece, next[0]);
      k += 1;
      next = null;
    }
    p.render(out, now);
    for (let i = 0; i < QUANTUM; i++) {
      maxJump = Math.max(maxJump, Math.abs(out[i] - prev));
      prev = out[i];
    }
    held.set(out, (q % TAKE) * QUANTUM);
    if (q % TAKE !== TAKE - 1) continue;
    // Each run must say where its samples came from: outside a fade (the
    // first samples after a jump or a resume) they are exactly the input's.
    let o = 0;
    for (const [i, c] of p.takeRuns()) {
      if (i >= 0) {
        if (i <= lastIndex) backwards += 1;
        lastIndex = i + c - 1;
        for (let j = 0; j < c && o + j < held.length; j++) {
          if (Math.abs(held[o + j] - Math.fround(signal(i + j, rate))) > 1e-6) {
            if (++misplaced > longestMisplaced) longestMisplaced = misplaced;
          } else misplaced = 0;
        }
      }
      o += c;
    }
    accounted += o;
    produced += held.length;
    const f = p.figures();
    series.push([now, f.delayMs - f.targetMs, f.targetMs]);
  }
  return { f: p.figures(), maxJump, produced, accounted, backwards, longestMisplaced, fadeLen: 0.005 * rate, series };
}

// Seconds after `from` until delay stays within 50 ms of target (to `to`).
function recovery(series, from, to) {
  let last = from;
  for (const [t, d] of series) if (t >= from && t < to && Math.abs(d) > 50) last = t;
  return last - from;
}

const scenarios = [
  { name: 'quiet link', seconds: 20, jitterMs: 5,
    check: (r) => {
      assert.ok(r.f.targetMs <= 40, `target ${r.f.targetMs}`);
      assert.equal(r.f.underruns, 0);
      assert.ok(recovery(r.series, 2, 20) <= 0.01);
    } },
  { name: 'jitter for 10 s: the target rises within a second, falls over several', seconds: 50,
    jitterMs: (t) => (t >= 10 && t < 20 ? 60 : 5),
    check: (r) => {
      const at = (s) => r.series.find(([t]) => t >= s)[2];
      assert.ok(at(10) <= 40 && at(11) >= 60, `target ${at(10)} then ${at(11)}`);
      assert.ok(at(22) >= 50 && at(49) <= 40, `target ${at(22)} then ${at(49)}`);
      assert.ok(r.f.underruns <= 3, `underruns ${r.f.underruns}`);
    } },
  { name: '300 ms stall: back within 2 s', seconds: 20, jitterMs: 5, stalls: [[12, 300]],
    check: (r) => {
      assert.ok(recovery(r.series, 12.3, 20) <= 2, `recovery ${recovery(r.series, 12.3, 20)}`);
      assert.equal(r.f.underruns, 1);
      assert.ok(r.f.concealedMs > 200 && r.f.droppedMs > 200, JSON.stringify(r.f));
    } },
  { name: '300 ms stall at 48 kHz', rate: 48000, seconds: 20, jitterMs: 5, stalls: [[12, 300]],
    check: (r) => assert.ok(recovery(r.series, 12.3, 20) <= 2) },
  { name: '500 ms without pushes, then a burst', seconds: 20, chunkMs: 10, stalls: [[12, 500]],
    check: (r) => assert.ok(recovery(r.series, 12.5, 20) <= 2, `recovery ${recovery(r.series, 12.5, 20)}`) },
  { name: 'sender 200 ppm fast for 10 minutes', seconds: 600, ppm: 200, jitterMs: 5,
    check: (r) => {
      assert.deepEqual([r.f.capCuts, r.f.underruns], [0, 0]);
      assert.ok(r.f.droppedMs > 100, `${r.f.droppedMs} ms cut`);   // 120 ms of drift absorbed
      assert.ok(recovery(r.series, 2, 600) <= 0.01);
    } },
  { name: 'sender 200 ppm slow for 10 minutes', seconds: 600, ppm: -200, jitterMs: 5,
    check: (r) => {
      assert.deepEqual([r.f.capCuts, r.f.underruns], [0, 0]);
      assert.ok(r.f.stretchedMs > 100, `${r.f.stretchedMs} ms stretched`);
      assert.ok(recovery(r.series, 2, 600) <= 0.01);
    } },
  { name: 'a stall longer than the cap: cut while playing, crossfaded', seconds: 8, capMs: 150,
    stalls: [[4, 300]],
    check: (r) => assert.ok(r.f.capCuts >= 1, JSON.stringify(r.f)) },
  { name: 'stream restarted: flushed, renumbered from 0', seconds: 8, jitterMs: 5, flushAt: 4,
    check: (r) => assert.ok(r.f.fades >= 2) },
];

for (const s of scenarios) {
  test(`playout: ${s.name}`, () => {
    const r = simulate(s);
    if (process.env.PLAYOUT_DEBUG) console.log(s.name, r.maxJump.toFixed(4), JSON.stringify(r.f));
    assert.equal(r.accounted, r.produced, 'runs account for every output sample');
    assert.equal(r.backwards, 0, 'input indexes never go back');
    assert.ok(r.longestMisplaced <= r.fadeLen, `${r.longestMisplaced} samples in a row not what the runs say`);
    const bound = 1.25 * naturalStep(s.rate ?? 16000);
    assert.ok(r.maxJump < bound, `largest jump ${r.maxJump.toFixed(4)} (bound ${bound.toFixed(4)})`);
    s.check(r);
  });
}
