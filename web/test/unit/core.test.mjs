// The browser client's pure logic, in Node: no browser needed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  Backoff, CallMachine, FramePacker, JitterBuffer, PcmDecoder, Problem, Resampler, State,
  UplinkQueue, encodeS16LE, postOutcome,
} from '../../call-audio-core.js';

const toInts = (f) => Array.from(f, (x) => Math.round(x * 32768));

test('decode: little-endian, sign, extremes', () => {
  const d = new PcmDecoder();
  const bytes = Uint8Array.from([0x01, 0x00, 0xff, 0xff, 0x00, 0x80, 0xff, 0x7f, 0x01, 0x80, 0x34, 0x12]);
  assert.deepEqual(toInts(d.decode(bytes)), [1, -1, -32768, 32767, -32767, 0x1234]);
});

test('decode: a read that ends inside a sample carries the odd byte', () => {
  const values = [0x1234, -2, 300, -32768, 32767, 7, -300];
  const bytes = encodeS16LE(Float32Array.from(values, (v) => v / 32768));
  for (let a = 0; a <= bytes.length; a++) {
    for (let b = a; b <= bytes.length; b++) {
      const d = new PcmDecoder();
      const got = [...d.decode(bytes.subarray(0, a)), ...d.decode(bytes.subarray(a, b)),
                   ...d.decode(bytes.subarray(b))];
      assert.deepEqual(toInts(got), values, `split at ${a}/${b}`);
      assert.equal(d.carry, -1);
    }
  }
  const d = new PcmDecoder();
  assert.equal(d.decode(Uint8Array.from([0x10])).length, 0);
  assert.equal(d.decode(new Uint8Array(0)).length, 0);   // an empty read keeps the carry
  assert.deepEqual(toInts(d.decode(Uint8Array.from([0x20, 0x30]))), [0x2010]);
  assert.equal(d.carry, 0x30);
});

test('encode: rounding, clipping, byte order', () => {
  const b = encodeS16LE(Float32Array.from([0, 1, -1, 2, -2, 0.5, -0.5, 1 / 32768]));
  assert.deepEqual(Array.from(b), [0, 0, 0xff, 0x7f, 0, 0x80, 0xff, 0x7f, 0, 0x80, 0, 0x40, 0, 0xc0, 1, 0]);
});

const sine = (rate, freq, n, amp = 0.5) => Float32Array.from({ length: n },
  (_, i) => amp * Math.sin(2 * Math.PI * freq * i / rate));
const rms = (x) => Math.sqrt(x.reduce((a, v) => a + v * v, 0) / x.length);
function crossingsHz(x, rate) {
  let c = 0;
  for (let i = 1; i < x.length; i++) if ((x[i - 1] < 0) !== (x[i] < 0)) c++;
  return (c / 2) * rate / x.length;
}

test('resample 48 kHz to 16 kHz: tone kept, image band removed, chunking invisible', () => {
  const input = sine(48000, 1000, 48000);
  const r = new Resampler(48000, 16000);
  const out = r.process(input);
  assert.ok(Math.abs(out.length - 16000) < 20, `got ${out.length} samples`);
  const body = out.subarray(200, out.length - 200);
  assert.ok(Math.abs(crossingsHz(body, 16000) - 1000) < 3);
  assert.ok(Math.abs(rms(body) - 0.5 / Math.SQRT2) < 0.01, `rms ${rms(body)}`);

  const alias = new Resampler(48000, 16000).process(sine(48000, 10000, 48000));
  assert.ok(rms(alias.subarray(200, alias.length - 200)) < 0.5 / Math.SQRT2 / 100, 'a 10 kHz tone folds back');

  const chunked = new Resampler(48000, 16000);
  const parts = [];
  for (let i = 0; i < input.length;) {
    const n = [1, 127, 128, 441, 3][parts.length % 5];
    parts.push(...chunked.process(input.subarray(i, i + n)));
    i += n;
  }
  assert.equal(parts.length, out.length);
  for (let i = 0; i < out.length; i++) assert.ok(Math.abs(parts[i] - out[i]) < 1e-6);
});

test('resample 16 kHz up to 44.1 kHz and 48 kHz', () => {
  for (const to of [44100, 48000]) {
    const out = new Resampler(16000, to).process(sine(16000, 440, 16000));
    assert.ok(Math.abs(out.length - to) < 40, `${to}: ${out.length}`);
    const body = out.subarray(500, out.length - 500);
    assert.ok(Math.abs(crossingsHz(body, to) - 440) < 3);
    assert.ok(Math.abs(rms(body) - 0.5 / Math.SQRT2) < 0.01);
  }
  const same = new Resampler(16000, 16000).process(Float32Array.from([0.25, -0.5]));
  assert.deepEqual(Array.from(same), [0.25, -0.5]);
});

test('frame packing: 20 ms S16LE frames in order, remainder kept', () => {
  const p = new FramePacker();
  const frames = [];
  let v = 0;
  for (const n of [100, 250, 7, 600, 3]) {
    const chunk = Float32Array.from({ length: n }, () => (v++ - 400) / 32768);
    frames.push(...p.push(chunk));
  }
  assert.equal(v, 960);
  assert.equal(frames.length, 3);
  const d = new PcmDecoder();
  for (let f = 0; f < 3; f++) {
    assert.equal(frames[f].length, 640);
    assert.deepEqual(toInts(d.decode(frames[f])), Array.from({ length: 320 }, (_, i) => f * 320 + i - 400));
  }
  assert.equal(p.fill, 0);
  assert.equal(p.push(new Float32Array(319)).length, 0);
  assert.equal(p.push(new Float32Array(1)).length, 1);
});

const ramp = (from, n) => Float32Array.from({ length: n }, (_, i) => (from + i) / 32768);

test('jitter buffer: waits for the start level, then plays in order', () => {
  const b = new JitterBuffer({ start: 960, cap: 3200 });
  const out = new Float32Array(128);
  b.push(ramp(0, 640));
  assert.equal(b.pull(out), 0);
  assert.ok(out.every((x) => x === 0));
  b.push(ramp(640, 640));
  assert.equal(b.pull(out), 128);
  assert.deepEqual(toInts(out), Array.from({ length: 128 }, (_, i) => i));
  assert.equal(b.fill, 1280 - 128);
  assert.equal(b.underruns, 0);
});

test('jitter buffer: cap drops the oldest and counts it', () => {
  const b = new JitterBuffer({ start: 960, cap: 3200 });
  for (let i = 0; i < 6; i++) b.push(ramp(i * 640, 640));   // 3840 samples offered
  assert.equal(b.fill, 3200);
  assert.equal(b.dropped, 640);
  assert.equal(b.takePeak(), 3200);
  const out = new Float32Array(3200);
  b.pull(out);
  assert.deepEqual(toInts(out.subarray(0, 3)), [640, 641, 642]);
  assert.equal(toInts(out)[3199], 3839);
  b.push(ramp(0, 5000));                                    // one piece larger than the cap
  assert.equal(b.fill, 3200);
  assert.equal(b.dropped, 640 + 1800);
  b.pull(out);
  assert.equal(toInts(out)[0], 1800);
});

test('jitter buffer: running dry is an underrun, then it primes again', () => {
  const b = new JitterBuffer({ start: 960, cap: 3200 });
  const out = new Float32Array(128);
  b.push(ramp(0, 1000));
  for (let i = 0; i < 7; i++) assert.equal(b.pull(out), 128);
  assert.equal(b.pull(out), 1000 - 7 * 128);
  assert.equal(out[out.length - 1], 0);
  assert.equal(b.underruns, 1);
  b.push(ramp(0, 500));
  assert.equal(b.pull(out), 0, 'below the start level again');
  assert.equal(b.underruns, 1, 'priming is not an underrun');
  b.push(ramp(500, 500));
  assert.equal(b.pull(out), 128);
});

test('uplink queue keeps the newest frames', () => {
  const q = new UplinkQueue(4);
  assert.equal(q.take(), null);
  for (let i = 0; i < 6; i++) q.push(new Uint8Array(640).fill(i));
  assert.equal(q.dropped, 2);
  const body = q.take();
  assert.equal(body.length, 2560);
  assert.deepEqual([body[0], body[640], body[1280], body[2559]], [2, 3, 4, 5]);
  assert.equal(q.length, 0);
});

test('back-off doubles to its ceiling with bounded jitter', () => {
  const b = new Backoff({ base: 500, max: 4000, random: () => 0 });
  assert.deepEqual([b.next(), b.next(), b.next(), b.next(), b.next()], [500, 1000, 2000, 4000, 4000]);
  b.reset();
  assert.equal(b.next(), 500);
  const j = new Backoff({ base: 1000, random: () => 0.999 });
  const d = j.next();
  assert.ok(d >= 800 && d < 1000);
});

const noJitter = () => new Backoff({ base: 500, max: 8000, random: () => 0 });
const machine = () => new CallMachine({ backoff: noJitter(),
                                        noCardBackoff: new Backoff({ base: 1000, max: 5000, random: () => 0 }) });
const body = (error) => JSON.stringify(error ? { success: false, error } : { success: false });
// A started machine that has had these stream answers.
const started = (...answers) => {
  const m = machine();
  m.start();
  for (const a of answers) m.streamAnswer(a);
  return m;
};

test('state machine: 200 is live', () => {
  const m = machine();
  assert.deepEqual(m.start(), { do: 'connect', after: 0 });
  assert.equal(m.state, State.CONNECTING);
  assert.deepEqual(m.streamAnswer(200), { do: 'read' });
  assert.equal(m.state, State.LIVE);
  assert.equal(m.problem, null);
});

test('state machine: 403 asks for a token once; a second refusal ends', () => {
  const m = started();
  assert.deepEqual(m.streamAnswer(403, body('forbidden')), { do: 'token' });
  assert.equal(m.problem, Problem.TOKEN_REFUSED);
  assert.deepEqual(m.tokenSupplied(true), { do: 'connect', after: 0 });
  assert.deepEqual(m.streamAnswer(403, body('forbidden')), { do: 'stop' });
  assert.equal(m.state, State.ENDED);
  assert.equal(m.problem, Problem.TOKEN_REFUSED);

  const n = started();
  n.streamAnswer(403, body('forbidden'));
  assert.deepEqual(n.tokenSupplied(false), { do: 'stop' });
  assert.equal(n.problem, Problem.TOKEN_REFUSED);

  const later = started(403);          // a token that expires during a long call
  later.tokenSupplied(true);
  later.streamAnswer(200);
  assert.deepEqual(later.streamAnswer(403), { do: 'token' });
});

test('state machine: 503 no modem card waits for the call', () => {
  const m = started();
  const delays = [];
  for (let i = 0; i < 5; i++) {
    const s = m.streamAnswer(503, body('no modem audio card'));
    assert.equal(s.do, 'connect');
    delays.push(s.after);
    assert.equal(m.state, State.WAITING);
    assert.equal(m.problem, Problem.NO_CARD);
  }
  assert.deepEqual(delays, [1000, 2000, 4000, 5000, 5000]);
  m.streamAnswer(200);
  assert.equal(m.streamAnswer(503, body('no modem audio card')).after, 1000);
});

test('state machine: 503 capture unavailable retries a few times, then ends', () => {
  const m = started();
  const delays = [];
  for (let i = 0; i < 5; i++) delays.push(m.streamAnswer(503, body('capture unavailable')).after);
  assert.deepEqual(delays, [500, 1000, 2000, 4000, 8000]);
  assert.equal(m.problem, Problem.CAPTURE_UNAVAILABLE);
  assert.deepEqual(m.streamAnswer(503, body('capture unavailable')), { do: 'stop' });
  assert.equal(m.state, State.ENDED);
});

test('state machine: unexpected answers end with a service problem', () => {
  for (const [status, b] of [[404, body()], [400, body()], [500, body()], [503, body()], [413, body()],
                             [503, 'not json'], [204, '']]) {
    const m = started();
    assert.deepEqual(m.streamAnswer(status, b), { do: 'stop' }, `${status} ${b}`);
    assert.equal(m.problem, Problem.SERVICE);
  }
});

test('state machine: a clean end with the card present is a take-over, never retried', () => {
  const m = started(200);
  assert.deepEqual(m.streamEnded({ clean: true, cardPresent: true, liveMs: 30000 }), { do: 'stop' });
  assert.equal(m.state, State.ENDED);
  assert.equal(m.problem, Problem.TAKEN_OVER);
});

test('state machine: a clean end without the card waits for the next call', () => {
  const m = started(200);
  const s = m.streamEnded({ clean: true, cardPresent: false, liveMs: 500 });
  assert.equal(s.do, 'connect');
  assert.equal(m.problem, Problem.NO_CARD);
});

test('state machine: a broken stream reconnects with growing delays, reset by a stable call', () => {
  const m = started();
  const delays = [];
  for (let i = 0; i < 4; i++) {
    m.streamAnswer(200);
    const s = m.streamEnded({ clean: false, liveMs: 100 });
    assert.equal(s.do, 'connect');
    assert.equal(m.problem, Problem.NETWORK);
    delays.push(s.after);
  }
  assert.deepEqual(delays, [500, 1000, 2000, 4000]);
  m.streamAnswer(200);
  assert.equal(m.streamEnded({ clean: false, liveMs: 15000 }).after, 500);
  m.streamAnswer(200);
  assert.equal(m.streamEnded({ clean: true, cardPresent: null, liveMs: 100 }).after, 1000,
               'health gave no answer: the network');
});

test('state machine: no answer at all', () => {
  const m = started();
  assert.deepEqual(m.fetchFailed({ online: true }), { do: 'stop' });
  assert.equal(m.problem, Problem.CERTIFICATE);

  const off = started();
  assert.equal(off.fetchFailed({ online: false }).do, 'connect');
  assert.equal(off.problem, Problem.NETWORK);

  const was = started(200);
  was.streamEnded({ clean: false });
  assert.equal(was.fetchFailed({ online: true }).do, 'connect');
  assert.equal(was.problem, Problem.NETWORK);
});

test('post answers', () => {
  assert.deepEqual(postOutcome(200, '{"success":true}'), { ok: true });
  assert.deepEqual(postOutcome(403, body('forbidden')), { ok: false, token: true });
  assert.equal(postOutcome(503, body('no modem audio card')).problem, Problem.NO_CARD);
  assert.equal(postOutcome(503, body('no modem audio card')).after, 1000);
  assert.equal(postOutcome(503, body()).problem, Problem.SERVICE);
  assert.equal(postOutcome(0).problem, Problem.NETWORK);
  for (const s of [0, 413, 500, 503]) assert.ok(postOutcome(s, body()).after > 0);
});
