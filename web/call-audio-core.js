// The browser client's logic that needs no browser: PCM decoding and
// encoding, resampling, 20 ms frame packing, the uplink's send clock, the
// token keeper, the call's lifecycle decisions and its state machine. The
// page module, the network worker, the AudioWorklet processors and Node's
// test runner all import this file, so it must not touch window, fetch,
// AudioContext or any other browser API.

export const RATE = 16000;          // the service's audio, both directions
export const FRAME_SAMPLES = 320;   // 20 ms at 16 kHz: one uplink frame
export const FRAME_BYTES = FRAME_SAMPLES * 2;

function s16(lo, hi) {
  const v = lo | (hi << 8);
  return v >= 0x8000 ? v - 0x10000 : v;
}

// Turns the stream's bytes into samples in [-1, 1). A network read may end
// in the middle of a sample, so an odd last byte is kept for the next read.
// Little-endian is decoded by hand: a DataView or Int16Array view would need
// aligned, even-length pieces, and Int16Array follows the host's byte order.
export class PcmDecoder {
  constructor() {
    this.carry = -1;
  }

  decode(bytes) {
    const have = bytes.length + (this.carry >= 0 ? 1 : 0);
    const out = new Float32Array(have >> 1);
    let i = 0;
    let o = 0;
    if (this.carry >= 0 && bytes.length > 0) {
      out[o++] = s16(this.carry, bytes[0]) / 32768;
      this.carry = -1;
      i = 1;
    }
    for (; i + 1 < bytes.length; i += 2) out[o++] = s16(bytes[i], bytes[i + 1]) / 32768;
    if (i < bytes.length) this.carry = bytes[i];
    return out;
  }

  reset() {
    this.carry = -1;
  }
}

// Samples in [-1, 1] to S16LE bytes, rounded and clipped.
export function encodeS16LE(samples, out = new Uint8Array(samples.length * 2), offset = 0) {
  for (let i = 0; i < samples.length; i++) {
    let v = Math.round(samples[i] * 32768);
    if (v > 32767) v = 32767;
    else if (v < -32768) v = -32768;
    if (Number.isNaN(v)) v = 0;
    out[offset + 2 * i] = v & 0xff;
    out[offset + 2 * i + 1] = (v >> 8) & 0xff;
  }
  return out;
}

// Streaming band-limited resampler (windowed sinc, Blackman window). Used
// where a browser will not run an AudioContext at 16 kHz: downward for the
// microphone, upward for playback. Downsampling moves the cut-off below the
// new Nyquist frequency so that the microphone's high band does not fold
// back into the speech band. Chunk boundaries do not change the output.
const TABLE_STEPS = 256; // kernel table entries per input sample

export class Resampler {
  constructor(fromRate, toRate, zeroCrossings = 8) {
    if (!(fromRate > 0 && toRate > 0)) throw new RangeError('rates must be positive');
    this.from = fromRate;
    this.to = toRate;
    this.step = fromRate / toRate;           // input samples per output sample
    this.fc = Math.min(1, toRate / fromRate) * 0.92;
    this.half = zeroCrossings / this.fc;     // kernel half width, in input samples
    const n = Math.ceil(this.half * TABLE_STEPS) + 2;
    this.table = new Float32Array(n);
    for (let k = 0; k < n; k++) {
      const d = k / TABLE_STEPS;
      if (d >= this.half) break;
      const x = this.fc * d;
      const sinc = x === 0 ? 1 : Math.sin(Math.PI * x) / (Math.PI * x);
      const w = 0.42 + 0.5 * Math.cos(Math.PI * d / this.half) + 0.08 * Math.cos(2 * Math.PI * d / this.half);
      this.table[k] = this.fc * sinc * w;
    }
    this.buf = new Float32Array(4096);
    this.len = 0;      // samples held in buf
    this.base = 0;     // absolute input index of buf[0]
    this.t = 0;        // absolute input position of the next output sample
  }

  kernel(d) {
    const x = Math.abs(d) * TABLE_STEPS;
    const k = Math.floor(x);
    if (k + 1 >= this.table.length) return 0;
    const f = x - k;
    return this.table[k] * (1 - f) + this.table[k + 1] * f;
  }

  process(input) {
    if (this.from === this.to) return Float32Array.from(input);
    if (this.len + input.length > this.buf.length) {
      const bigger = new Float32Array(Math.max(this.buf.length * 2, this.len + input.length));
      bigger.set(this.buf.subarray(0, this.len));
      this.buf = bigger;
    }
    this.buf.set(input, this.len);
    this.len += input.length;
    const end = this.base + this.len; // first absolute index not yet received
    const max = Math.max(0, Math.ceil((end - this.half - this.t) / this.step) + 1);
    const out = new Float32Array(max);
    let o = 0;
    while (o < max && this.t + this.half < end) {
      const lo = Math.max(Math.ceil(this.t - this.half), 0);
      const hi = Math.floor(this.t + this.half);
      let acc = 0;
      let wsum = 0;
      for (let n = lo; n <= hi; n++) {
        const w = this.kernel(this.t - n);
        acc += this.buf[n - this.base] * w;
        wsum += w;
      }
      out[o++] = wsum > 0 ? acc / wsum : 0;
      this.t += this.step;
    }
    // Drop what no later output sample can reach.
    const keepFrom = Math.max(Math.ceil(this.t - this.half) - 1, this.base);
    const drop = Math.min(keepFrom - this.base, this.len);
    if (drop > 0) {
      this.buf.copyWithin(0, drop, this.len);
      this.len -= drop;
      this.base += drop;
    }
    return out.subarray(0, o);
  }
}

// Packs 16 kHz samples into 20 ms S16LE frames of 640 bytes.
export class FramePacker {
  constructor(frameSamples = FRAME_SAMPLES) {
    this.frame = new Float32Array(frameSamples);
    this.fill = 0;
  }

  push(samples) {
    const frames = [];
    let i = 0;
    while (i < samples.length) {
      const n = Math.min(this.frame.length - this.fill, samples.length - i);
      this.frame.set(samples.subarray(i, i + n), this.fill);
      this.fill += n;
      i += n;
      if (this.fill === this.frame.length) {
        frames.push(encodeS16LE(this.frame));
        this.fill = 0;
      }
    }
    return frames;
  }
}

// Retry delays that double from `base` to `max`, with up to 20 % jitter so
// that several pages do not retry in step.
export class Backoff {
  constructor({ base = 500, max = 10000, random = Math.random } = {}) {
    this.base = base;
    this.max = max;
    this.random = random;
    this.attempt = 0;
  }

  next() {
    const d = Math.min(this.max, this.base * 2 ** this.attempt);
    this.attempt += 1;
    return Math.round(d * (1 - 0.2 * this.random()));
  }

  reset() {
    this.attempt = 0;
  }
}

export const Problem = Object.freeze({
  NO_CARD: 'no-card',
  CAPTURE_UNAVAILABLE: 'capture-unavailable',
  TAKEN_OVER: 'taken-over',
  TOKEN_REFUSED: 'token-refused',
  CERTIFICATE: 'certificate',
  NETWORK: 'network',
  MICROPHONE: 'microphone',
  SERVICE: 'service',
  INSECURE: 'insecure',
});

const PROBLEM_TEXT = {
  'no-card': 'No call: the modem has no call audio right now. Waiting for a call.',
  'capture-unavailable': 'The modem\'s call audio could not be opened. Retrying.',
  'taken-over': 'Another page or device took over the call audio.',
  'token-refused': 'The access token was refused or has expired.',
  'certificate': 'The service could not be reached. Its certificate may not be trusted by this browser '
    + '(open the service address once and accept it), or it is not running.',
  'network': 'The network connection to the service was lost. Reconnecting.',
  'microphone': 'The microphone is not available (permission refused or no device).',
  'service': 'The service gave an unexpected answer.',
  'insecure': 'This page is not a secure context (HTTPS or http://localhost): the browser offers it '
    + 'neither the microphone nor audio worklets.',
};

export function describeProblem(code) {
  return PROBLEM_TEXT[code] || '';
}

function errorField(body) {
  try {
    const j = JSON.parse(body);
    return j && typeof j.error === 'string' ? j.error : '';
  } catch {
    return '';
  }
}

export const State = Object.freeze({
  IDLE: 'idle',
  CONNECTING: 'connecting',
  LIVE: 'live',
  WAITING: 'waiting',   // a reconnect (or a fresh token) is pending
  ENDED: 'ended',       // stopped by a problem that needs the user
});

// How long a stream must have run before its end no longer counts as a
// failed attempt: after that the retry delay starts from the beginning.
export const STABLE_MS = 10000;

// The call's state machine. It is told what happened (an answer, the end of
// the stream, a failed fetch) and returns what to do next:
//   { do: 'read' }                 the stream is live, read it
//   { do: 'connect', after: ms }   open the stream again after a delay
//   { do: 'token' }                ask the integrator for a fresh token
//   { do: 'stop' }                 give up until the user starts again
// Nothing here retries a stream that ended because a newer listener took
// over: reconnecting would take it back and two pages would fight forever.
export class CallMachine {
  constructor({ backoff = new Backoff(), noCardBackoff = new Backoff({ base: 1000, max: 5000 }),
                maxCaptureRetries = 5, maxNetworkRetries = Infinity } = {}) {
    this.backoff = backoff;
    this.noCardBackoff = noCardBackoff;
    this.maxCaptureRetries = maxCaptureRetries;
    this.maxNetworkRetries = maxNetworkRetries;
    this.state = State.IDLE;
    this.problem = null;
    this.everLive = false;
    this.captureRetries = 0;
    this.networkRetries = 0;
  }

  set(state, problem) {
    this.state = state;
    this.problem = problem;
  }

  start() {
    this.everLive = false;
    this.captureRetries = 0;
    this.networkRetries = 0;
    this.backoff.reset();
    this.noCardBackoff.reset();
    this.set(State.CONNECTING, null);
    return { do: 'connect', after: 0 };
  }

  stop() {
    this.set(State.IDLE, null);
    return { do: 'stop' };
  }

  retry(problem, backoff = this.backoff) {
    this.set(State.WAITING, problem);
    return { do: 'connect', after: backoff.next() };
  }

  end(problem) {
    this.set(State.ENDED, problem);
    return { do: 'stop' };
  }

  // The answer to a stream request: its status and, when not 200, its body.
  streamAnswer(status, body = '') {
    if (status === 200) {
      this.everLive = true;
      this.captureRetries = 0;
      this.networkRetries = 0;
      this.noCardBackoff.reset();
      this.set(State.LIVE, null);
      return { do: 'read' };
    }
    if (status === 403) return this.tokenRefused();
    if (status === 503) {
      const err = errorField(body);
      if (err === 'no modem audio card') return this.retry(Problem.NO_CARD, this.noCardBackoff);
      if (err === 'capture unavailable') {
        this.captureRetries += 1;
        if (this.captureRetries > this.maxCaptureRetries) return this.end(Problem.CAPTURE_UNAVAILABLE);
        return this.retry(Problem.CAPTURE_UNAVAILABLE);
      }
    }
    return this.end(Problem.SERVICE);
  }

  // The stream was refused its token: the token keeper renews it (and
  // decides when renewing is futile); meanwhile the call waits.
  tokenRefused() {
    this.set(State.WAITING, Problem.TOKEN_REFUSED);
    return { do: 'token' };
  }

  // The token keeper answered: a token to try, or none worth trying.
  tokenSupplied(ok) {
    if (!ok) return this.end(Problem.TOKEN_REFUSED);
    this.set(State.CONNECTING, null);
    return { do: 'connect', after: 0 };
  }

  // The stream's body ended. `clean`: the service closed it properly;
  // `cardPresent`: what the health route said afterwards (null: no answer);
  // `liveMs`: how long it had been live.
  streamEnded({ clean, cardPresent = null, liveMs = 0 }) {
    if (liveMs >= STABLE_MS) {
      this.backoff.reset();
      this.networkRetries = 0;
    }
    if (clean && cardPresent === true) return this.end(Problem.TAKEN_OVER);
    if (clean && cardPresent === false) return this.retry(Problem.NO_CARD, this.noCardBackoff);
    return this.networkLost();
  }

  // fetch() rejected: there was no answer at all. Before the first answer
  // that usually means an untrusted certificate (the browser says no more);
  // once the service has answered, or while offline, the network is gone.
  fetchFailed({ online = true } = {}) {
    if (!this.everLive && online) return this.end(Problem.CERTIFICATE);
    return this.networkLost();
  }

  // No stream bytes for the watchdog's time: the connection is taken for
  // dead (a roam, a sleeping radio) and opened again; the service's
  // newest-listener-wins closes the old one.
  streamStalled({ liveMs = 0 } = {}) {
    return this.streamEnded({ clean: false, liveMs });
  }

  // Whether microphone audio is posted: while the stream is live, and while
  // a lost stream reconnects (posts have their own connections). Not before
  // the first answer, nor while no card or a refused token holds the call.
  uplinkOpen() {
    if (this.state === State.LIVE) return true;
    return this.everLive && this.state !== State.ENDED && this.problem === Problem.NETWORK;
  }

  networkLost() {
    this.networkRetries += 1;
    if (this.networkRetries > this.maxNetworkRetries) return this.end(Problem.NETWORK);
    return this.retry(Problem.NETWORK);
  }
}

// What the uplink does after a post's answer (status 0: no answer).
//   { ok: true }                       go on
//   { ok: false, after: ms }           wait before the next post
//   { ok: false, token: true }         the token needs renewing
export function postOutcome(status, body = '') {
  if (status === 200) return { ok: true };
  if (status === 403) return { ok: false, token: true };
  if (status === 503 && errorField(body) === 'no modem audio card') {
    return { ok: false, after: 1000, problem: Problem.NO_CARD };
  }
  if (status === 0) return { ok: false, after: 250, problem: Problem.NETWORK };
  // 503 without a reason: the card's playback side failed; the service
  // opens it again on the next post, so try again soon.
  return { ok: false, after: 250, problem: Problem.SERVICE };
}

// Sliding count of events in the last `windowMs`, for posts per second.
export class RateMeter {
  constructor(windowMs = 1000) {
    this.windowMs = windowMs;
    this.times = [];
  }

  add(now) {
    this.times.push(now);
    this.prune(now);
  }

  prune(now) {
    while (this.times.length && this.times[0] <= now - this.windowMs) this.times.shift();
  }

  perSecond(now) {
    this.prune(now);
    return (this.times.length * 1000) / this.windowMs;
  }
}

// ---- the uplink's send clock ----
//
// The microphone's 20 ms frames are the clock: posts leave as frames come,
// not when answers come, so a long round trip costs delay, not audio. With
// `seq` on the post (the capture index of its first frame) the service
// skips frames it already has or that a newer post overtook, so several
// posts may be in flight and none plays out of order. A service that does
// not answer `X-Audio-Next` gets one post at a time, each carrying what
// the microphone made meanwhile.
export const MAX_POST_FRAMES = 4;   // 80 ms: the most the service queues for the card
export const MAX_IN_FLIGHT = 4;
const FRAME_MS = (1000 * FRAME_SAMPLES) / RATE;

const clamp = (v, lo, hi) => Math.min(hi, Math.max(lo, v));

// A post's time-out (ms) for a smoothed round trip; 0 or less: none measured.
export function postTimeoutMs(rttMs) {
  return rttMs > 0 ? clamp(4 * rttMs + 250, 500, 2000) : 2000;
}

// Frames a post waits for, for a smoothed round trip and the posts allowed
// in flight. One frame a post reaches the card most evenly: the card's
// 80 ms can hold a frame's lump plus a 4G link's +/-15 ms of jitter, and
// hardly two frames' (on the bench's 4G profile, in Chromium, 97.5 % of the
// microphone played with four posts in flight against 94.8 % with three,
// which left two frames a post). That takes a post in flight per 20 ms of
// round trip. Four in flight, with the stream, leave one of the six
// connections a browser opens to one host for a new stream or a health
// request (with five, WebKitGTK starved a second tab's stream). Up to one
// slot's worth beyond what the slots cover, posts still go one frame at a
// time and the frames that waited for a slot leave together; past it, every
// post waits for as many frames, so posts stay even instead of alternating
// small and large.
export function framesPerPost(rttMs, slots = MAX_IN_FLIGHT) {
  return clamp(Math.ceil(rttMs / (FRAME_MS * (slots + 1))), 1, MAX_POST_FRAMES);
}

export class SendClock {
  constructor({ maxFrames = MAX_POST_FRAMES, maxInFlight = MAX_IN_FLIGHT } = {}) {
    this.maxFrames = maxFrames;
    this.maxInFlight = maxInFlight;
    this.pending = [];          // [index, bytes, posted before] not in flight, oldest first
    this.flying = new Map();    // post id -> post
    this.seq = null;            // service takes seq: null until the first 200 says
    this.next = 0;              // X-Audio-Next: every frame below it was taken or skipped
    this.newest = -1;           // capture index of the newest frame pushed
    this.srtt = 0;
    this.rttvar = 0;
    this.pausedUntil = 0;
    this.ids = 0;
    this.dropped = 0;           // frames never posted: pushed out by newer ones
    this.postsFailed = 0;       // posts without a 200 (time-outs included)
    this.postsTimedOut = 0;
  }

  get inFlight() {
    return this.flying.size;
  }

  // A captured frame: `index` counts the microphone's frames from 0.
  push(index, bytes) {
    this.newest = Math.max(this.newest, index);
    this.pending.push([index, bytes, false]);
    this.trim();
  }

  trim() {
    while (this.pending.length > this.maxFrames) {
      const [, , posted] = this.pending.shift();
      if (!posted) this.dropped += 1;
    }
  }

  // The post to send now, or null: { id, seq, count, body, timeoutMs }.
  take(nowMs) {
    this.pending = this.pending.filter(([i]) => i >= this.next);
    if (!this.pending.length || nowMs < this.pausedUntil) return null;
    const parallel = this.seq === true;
    if (this.flying.size >= (parallel ? this.maxInFlight : 1)) return null;
    if (parallel && this.pending.length < framesPerPost(this.srtt, this.maxInFlight)) return null;
    // One post holds consecutive frames only: seq names the first.
    let n = 1;
    while (n < this.pending.length && this.pending[n][0] === this.pending[0][0] + n) n += 1;
    const fresh = this.pending.splice(0, n);
    const frames = parallel ? [...this.carried(fresh[0][0], this.maxFrames - n), ...fresh] : fresh;
    const body = new Uint8Array(frames.length * FRAME_BYTES);
    frames.forEach(([, bytes], k) => body.set(bytes, k * FRAME_BYTES));
    const post = { id: ++this.ids, seq: frames[0][0], count: frames.length, body, frames, fresh,
                   timeoutMs: postTimeoutMs(this.srtt) };
    this.flying.set(post.id, post);
    return post;
  }

  // Redundancy: while earlier posts are unanswered, a post also carries
  // the frames just before its own that they brought (at most `room`, and
  // each frame once more only), so that a post held up by a retransmission
  // and overtaken loses nothing: the service plays each frame once, from
  // whichever post brings it first, and skips it in the other. On a link
  // whose round trip is shorter than a frame nothing is carried.
  carried(first, room) {
    const unanswered = new Map();
    for (const p of this.flying.values()) for (const f of p.fresh) unanswered.set(f[0], f);
    const out = [];
    for (let k = first - 1; out.length < room && k >= this.next; k--) {
      const f = unanswered.get(k);
      if (!f || f[3]) break;
      f[3] = true;
      out.unshift(f);
    }
    return out;
  }

  // A 200. `next`: its X-Audio-Next as a number, or null when absent.
  answered(id, { next = null, rttMs }) {
    if (!this.flying.delete(id)) return;
    if (this.seq === null) this.seq = next !== null;
    if (next !== null && next > this.next) this.next = next;
    if (this.srtt === 0) {
      this.srtt = rttMs;
      this.rttvar = rttMs / 2;
    } else {
      this.rttvar += (Math.abs(rttMs - this.srtt) - this.rttvar) / 4;
      this.srtt += (rttMs - this.srtt) / 8;
    }
  }

  // No 200: a time-out, no answer, or a refusal; `pauseMs` holds every
  // post. With seq the post's frames go back to be sent again when they are
  // still among the newest and not known to be taken (a time-out's are
  // stale by then): the service skips any it had after all. Without seq a
  // post that failed may still have played, so nothing is sent twice.
  failed(id, { nowMs, timedOut = false, pauseMs = 0 }) {
    const post = this.flying.get(id);
    if (!post) return;
    this.flying.delete(id);
    this.postsFailed += 1;
    if (timedOut) this.postsTimedOut += 1;
    this.pausedUntil = Math.max(this.pausedUntil, nowMs + pauseMs);
    if (this.seq !== true) return;
    const have = new Set(this.pending.map(([i]) => i));
    const again = post.frames.filter(([i]) => i >= this.next && i > this.newest - this.maxFrames && !have.has(i))
      .map(([i, bytes]) => [i, bytes, true]);
    if (!again.length) return;
    this.pending = [...again, ...this.pending].sort((a, b) => a[0] - b[0]);
    this.trim();
  }
}

// ---- tokens ----

// When a token stops being valid, in epoch ms: its expiry digits are the
// last valid second by the router's clock. NaN when the token has no
// expiry digits.
export function tokenExpiryMs(token) {
  const m = /^(\d{1,15})\./.exec(String(token || ''));
  return m ? (Number(m[1]) + 1) * 1000 : NaN;
}

// Keeps the call's token fresh with the integrator's getToken(). One
// renewal at a time: requests that find a renewal started by a refusal wait
// for it. A renewal starts `aheadMs` before the token's expiry (the running
// requests go on with the old token meanwhile) and after a refusal. Since
// the page's clock may differ from the router's, a token that already looks
// expired is still tried. A refusal of a token a renewal has already
// replaced only means "try again with the new one", and a renewal that
// returns the same token (tokens minted in whole seconds) is kept and
// tried: only `maxFutile` refusals of the current token in a row, without a
// success between them, end the call. Renewals are at least `spacingMs`
// apart, so a broken callback cannot spin.
export class TokenKeeper {
  constructor({ token = '', getToken = null, now = () => Date.now(),
                sleep = (ms) => new Promise((r) => setTimeout(r, ms)),
                aheadMs = 30000, spacingMs = 5000, maxFutile = 3 } = {}) {
    Object.assign(this, { token, getToken, now, sleep, aheadMs, spacingMs, maxFutile });
    this.renewing = null;       // promise of the renewal in flight: true when a token came back
    this.blocking = false;      // requests wait for it
    this.lastRenewal = -Infinity;
    this.aheadFor = null;       // the token last renewed ahead of its expiry
    this.futile = 0;            // refusals of the current token since the last success
    this.renewals = 0;
  }

  // The token for the next request, after any renewal it must wait for.
  async current() {
    const exp = tokenExpiryMs(this.token);
    const t = this.now();
    if (this.getToken && !this.renewing && this.aheadFor !== this.token
        && t >= exp - this.aheadMs && t < exp && t - this.lastRenewal >= this.spacingMs) {
      this.aheadFor = this.token;
      this.renew(false);
    }
    if (this.renewing && this.blocking) await this.renewing;
    return this.token;
  }

  renew(blocking) {
    if (this.renewing) {
      this.blocking = this.blocking || blocking;
      return this.renewing;
    }
    this.blocking = blocking;
    const wait = Math.max(0, this.lastRenewal + this.spacingMs - this.now());
    const renewal = (async () => {
      if (wait > 0) await this.sleep(wait);
      this.lastRenewal = this.now();
      this.renewals += 1;
      let fresh = '';
      try {
        fresh = String((await this.getToken()) || '');
      } catch {
        fresh = '';
      }
      if (fresh) this.token = fresh;
      return !!fresh;
    })();
    this.renewing = renewal;
    renewal.then(() => {
      if (this.renewing === renewal) {
        this.renewing = null;
        this.blocking = false;
      }
    });
    return renewal;
  }

  // A request sent with `used` got a 403. Resolves true when it may be
  // retried with `token`, false when the call should end.
  async refused(used) {
    if (!this.getToken) return false;
    if (used !== this.token) return true;        // already replaced
    if (this.renewing) {
      this.blocking = true;
      return this.renewing;
    }
    this.futile += 1;
    if (this.futile > this.maxFutile) return false;
    return this.renew(true);
  }

  // A request sent with `used` was accepted.
  accepted(used) {
    if (used === this.token) this.futile = 0;
  }
}

// ---- the call's lifecycle ----

// What a getUserMedia() failure (the error's name) means: the user or a
// policy said no ('denied'), or there is no usable microphone ('absent').
export function micFailure(name) {
  return name === 'NotAllowedError' || name === 'SecurityError' || name === 'PermissionDeniedError'
    ? 'denied' : 'absent';
}

// The call after its microphone failed: it goes on listen-only while there
// is something to listen to, else it ends.
export function withoutMic({ listen }) {
  return listen ? { listenOnly: true, end: null } : { listenOnly: false, end: Problem.MICROPHONE };
}

// What the page reports about its audio context. `ctxState` is the
// context's state ('interrupted' is WebKit's: a phone call or another app
// took the audio; it resumes by itself); `resumeStuck`: a resume() the
// client asked for has not taken effect, which outside a user gesture
// means the browser waits for one.
export function audioReport({ ctxState, resumeStuck = false, active = true }) {
  const audio = ['running', 'suspended', 'interrupted', 'closed'].includes(ctxState) ? ctxState : 'closed';
  return { audio, needsGesture: active && audio === 'suspended' && resumeStuck };
}
