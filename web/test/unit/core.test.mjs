// The browser client's pure logic, in Node: no browser needed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  Backoff, CallMachine, FramePacker, PcmDecoder, Problem, Resampler, SendClock, State,
  TokenKeeper, audioReport, encodeS16LE, framesPerPost, micFailure, postOutcome, postTimeoutMs,
  tokenExpiryMs, withoutMic,
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

test('state machine: 403 waits for the token keeper, whose answer decides', () => {
  const m = started();
  assert.deepEqual(m.streamAnswer(403, body('forbidden')), { do: 'token' });
  assert.equal(m.state, State.WAITING);
  assert.equal(m.problem, Problem.TOKEN_REFUSED);
  assert.deepEqual(m.tokenSupplied(true), { do: 'connect', after: 0 });
  assert.equal(m.problem, null);
  assert.deepEqual(m.tokenSupplied(false), { do: 'stop' });
  assert.equal(m.state, State.ENDED);
  assert.equal(m.problem, Problem.TOKEN_REFUSED);
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

test('send clock: time-outs and post sizes from the round trip', () => {
  for (const [rtt, timeout, frames] of [[0, 2000, 1], [10, 500, 1], [60, 500, 1], [100, 650, 1], [101, 654, 2],
                                        [250, 1250, 3], [400, 1850, 4], [2000, 2000, 4]]) {
    assert.equal(postTimeoutMs(rtt), timeout, `time-out at ${rtt} ms`);
    assert.equal(framesPerPost(rtt), frames, `frames per post at ${rtt} ms`);
  }
});

// Each row drives a send clock: 'push N' captures N frames; 'take' sends
// what is due, expecting [seq, count] per post ([] for none); 'ok K next
// rtt' answers the K-th post sent with a 200 (next: X-Audio-Next, '-' for
// none); 'fail K' and 'timeout K' fail it; 'pause K ms' fails it with a
// pause. `after` checks the counters at the end.
const clockRows = [
  ['until seq is known: one post at a time, carrying what waited',
    ['push 1', 'take [0,1]', 'push 2', 'take', 'ok 1 - 20', 'take [1,2]', 'push 1', 'take', 'ok 2 - 20', 'take [3,1]'],
    { dropped: 0, inFlight: 1, seq: false }],
  ['one at a time keeps only the newest 80 ms',
    ['push 1', 'take [0,1]', 'push 6', 'take', 'ok 1 - 200', 'take [3,4]'], { dropped: 2 }],
  ['with seq: a post per frame, four in flight, then frames wait; each post carries the unanswered frame '
    + 'before its own once more, so an overtaken post loses nothing',
    ['push 1', 'take [0,1]', 'ok 1 1 20', 'push 1', 'take [1,1]', 'push 1', 'take [1,2]', 'push 1', 'take [2,2]',
     'push 1', 'take [3,2]', 'push 1', 'take', 'ok 2 2 20', 'take [4,2]'], { dropped: 0, inFlight: 4, seq: true }],
  ['with seq and long round trips: fewer, larger posts',
    ['push 1', 'take [0,1]', 'ok 1 1 250', 'push 1', 'take', 'push 1', 'take', 'push 1', 'take [1,3]'],
    { dropped: 0 }],
  ['X-Audio-Next: frames the service already took are never sent again',
    ['push 1', 'take [0,1]', 'ok 1 1 20', 'push 1', 'take [1,1]', 'push 1', 'take [1,2]', 'ok 3 3 20', 'fail 2',
     'push 1', 'take [3,1]'], { postsFailed: 1 }],
  ['a failed post is sent again while its frames are fresh; a timed-out one is stale',
    ['push 1', 'take [0,1]', 'ok 1 1 20', 'push 1', 'take [1,1]', 'fail 2', 'take [1,1]', 'ok 3 2 20',
     'push 1', 'take [2,1]', 'push 1', 'take [2,2]', 'push 4', 'take [4,4]', 'timeout 4', 'timeout 5', 'take',
     'push 1', 'take [5,4]'], { postsFailed: 3, postsTimedOut: 2, dropped: 0 }],
  ['an error pauses every post for its time; without seq a failed post is not sent again',
    ['push 1', 'take [0,1]', 'pause 1 250', 'push 1', 'take', 'at 249', 'take', 'at 250', 'take [1,1]'],
    { postsFailed: 1 }],
];

test('send clock: rows', () => {
  for (const [name, steps, after] of clockRows) {
    const c = new SendClock();
    const sent = [];
    let index = 0;
    let nowMs = 0;
    for (const step of steps) {
      const [op, a, b, d] = step.split(' ');
      const post = () => sent[Number(a) - 1].id;
      if (op === 'push') for (let i = 0; i < Number(a); i++) c.push(index++, new Uint8Array(640).fill(index));
      else if (op === 'at') nowMs = Number(a);
      else if (op === 'take') {
        const got = [];
        for (let p = c.take(nowMs); p; p = c.take(nowMs)) {
          sent.push(p);
          got.push(`[${p.seq},${p.count}]`);
          assert.equal(p.body.length, 640 * p.count);
          assert.equal(p.body[0], p.seq + 1, `${name}: body starts with frame ${p.seq}`);
        }
        assert.equal(got.join(' '), step.slice(5), `${name}: ${step}`);
      } else if (op === 'ok') c.answered(post(), { next: b === '-' ? null : Number(b), rttMs: Number(d) });
      else c.failed(post(), { nowMs, timedOut: op === 'timeout', pauseMs: op === 'pause' ? Number(b) : 0 });
    }
    for (const [k, v] of Object.entries(after)) assert.equal(c[k], v, `${name}: ${k}`);
  }
});

test('token expiry from its digits', () => {
  assert.equal(tokenExpiryMs('1700000000.' + 'a'.repeat(64)), 1700000001000);
  for (const t of ['', 'abc.def', '.abc', null]) assert.ok(Number.isNaN(tokenExpiryMs(t)));
});

// A fake clock and a getToken whose answers the test releases.
function keeperRig(token, opts = {}) {
  const rig = { t: 1000e3, asked: 0, answers: [] };
  rig.keeper = new TokenKeeper({
    token, now: () => rig.t, sleep: async (ms) => { rig.t += ms; },
    getToken: () => { rig.asked += 1; return new Promise((r) => rig.answers.push(r)); }, ...opts,
  });
  rig.give = async (tok) => { rig.answers.shift()(tok); await new Promise((r) => setImmediate(r)); };
  return rig;
}
const tok = (expirySec, tag = 'a') => `${expirySec}.${tag.repeat(64)}`;

test('token keeper: the renewal race of two posts in flight does not end the call', async () => {
  // Two posts leave with T1; the first 403 starts the renewal; the second
  // 403 lands after it returned T2. A renewal asked for again returns T2
  // again (minted in the same second), which once counted as a refusal.
  const T1 = tok(999);
  const T2 = tok(1600, 'b');
  const rig = keeperRig(T1);
  const fakeFetch = (token) => Promise.resolve(token === T2 ? 200 : 403);
  const [s1, s2] = await Promise.all([fakeFetch(await rig.keeper.current()), fakeFetch(await rig.keeper.current())]);
  assert.deepEqual([s1, s2], [403, 403]);
  const first = rig.keeper.refused(T1);
  const waiting = rig.keeper.current();        // a post meanwhile waits for the renewal
  await rig.give(T2);
  assert.equal(await first, true);
  assert.equal(await waiting, T2);
  assert.equal(await rig.keeper.refused(T1), true, 'the late 403 retries with the new token');
  assert.equal(rig.asked, 1, 'one renewal');
  assert.equal(await fakeFetch(rig.keeper.token), 200);
});

test('token keeper: renews ahead of expiry without holding requests, at most once per token', async () => {
  const rig = keeperRig(tok(1000e3 / 1000 + 100));
  assert.equal(await rig.keeper.current(), rig.keeper.token);
  assert.equal(rig.asked, 0, '100 s before expiry');
  rig.t += 75e3;
  const old = rig.keeper.token;
  assert.equal(await rig.keeper.current(), old, 'the old token serves while the renewal runs');
  assert.equal(rig.asked, 1);
  await rig.give(old);                          // the same token back: kept, not renewed again
  rig.t += 10e3;
  await rig.keeper.current();
  assert.equal(rig.asked, 1);
  const expired = keeperRig(tok(1000e3 / 1000 - 60));
  await expired.keeper.current();
  assert.equal(expired.asked, 0, 'a token that looks expired is tried: the clocks may differ');
});

test('token keeper: refusals of the current token end the call after a few futile renewals, spaced', async () => {
  const T = tok(5000);
  const rig = keeperRig(T);
  const results = [];
  for (let i = 0; i < 4; i++) {
    const r = rig.keeper.refused(T);
    await new Promise((done) => setImmediate(done));
    if (rig.answers.length) await rig.give(T);  // the callback keeps giving the refused token
    results.push(await r);
  }
  assert.deepEqual(results, [true, true, true, false]);
  assert.equal(rig.asked, 3);
  assert.ok(rig.t >= 1000e3 + 2 * 5000, 'renewals are spaced');
  rig.keeper.accepted(T);
  assert.equal(rig.keeper.futile, 0);
  assert.equal(await new TokenKeeper({ token: T }).refused(T), false, 'no callback');
  const empty = keeperRig(T);
  const r = empty.keeper.refused(T);
  await empty.give('');
  assert.equal(await r, false, 'the callback gave nothing');
});

test('lifecycle: microphone failures, listen-only, audio reports, the uplink', () => {
  for (const [name, mic] of [['NotAllowedError', 'denied'], ['SecurityError', 'denied'], ['NotFoundError', 'absent'],
                             ['NotReadableError', 'absent'], ['OverconstrainedError', 'absent'], [undefined, 'absent']]) {
    assert.equal(micFailure(name), mic, name);
  }
  assert.deepEqual(withoutMic({ listen: true }), { listenOnly: true, end: null });
  assert.deepEqual(withoutMic({ listen: false }), { listenOnly: false, end: Problem.MICROPHONE });
  for (const [ctxState, resumeStuck, active, audio, needsGesture] of [
    ['running', false, true, 'running', false], ['suspended', false, true, 'suspended', false],
    ['suspended', true, true, 'suspended', true], ['suspended', true, false, 'suspended', false],
    ['interrupted', true, true, 'interrupted', false], [undefined, false, true, 'closed', false]]) {
    assert.deepEqual(audioReport({ ctxState, resumeStuck, active }), { audio, needsGesture }, `${ctxState}`);
  }
  const m = machine();
  assert.equal(m.uplinkOpen(), false, 'idle');
  m.start();
  assert.equal(m.uplinkOpen(), false, 'before the first answer');
  m.streamAnswer(200);
  assert.equal(m.uplinkOpen(), true, 'live');
  m.streamStalled({ liveMs: 3000 });
  assert.equal(m.problem, Problem.NETWORK);
  assert.equal(m.uplinkOpen(), true, 'posts go on while the stream reconnects');
  m.streamAnswer(503, body('no modem audio card'));
  assert.equal(m.uplinkOpen(), false, 'no card');
});
