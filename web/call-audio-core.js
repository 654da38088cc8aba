// The browser client's logic that needs no browser: PCM decoding and
// encoding, resampling, 20 ms frame packing, the playback jitter buffer, the
// uplink's newest-audio queue and the call state machine. The page module,
// the AudioWorklet processors and Node's test runner all import this file,
// so it must not touch window, fetch, AudioContext or any other browser API.

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

// The playback jitter buffer. It waits until `start` samples are queued
// before it plays (and again after running dry), and never holds more than
// `cap` samples: audio beyond the cap pushes out the oldest, so delay cannot
// build up however long the call runs.
export class JitterBuffer {
  constructor({ start, cap }) {
    if (!(cap > 0 && start >= 0 && start <= cap)) throw new RangeError('need 0 <= start <= cap');
    this.start = start;
    this.cap = cap;
    this.ring = new Float32Array(cap);
    this.read = 0;
    this.fill = 0;
    this.playing = false;
    this.underruns = 0;
    this.dropped = 0;   // samples thrown away by the cap
    this.peak = 0;      // largest fill since the last takePeak()
  }

  push(samples) {
    let src = samples;
    if (src.length >= this.cap) {
      this.dropped += this.fill + (src.length - this.cap);
      src = src.subarray(src.length - this.cap);
      this.fill = 0;
      this.read = 0;
    } else if (this.fill + src.length > this.cap) {
      const over = this.fill + src.length - this.cap;
      this.read = (this.read + over) % this.cap;
      this.fill -= over;
      this.dropped += over;
    }
    let w = (this.read + this.fill) % this.cap;
    for (let i = 0; i < src.length; i++) {
      this.ring[w] = src[i];
      w = w + 1 === this.cap ? 0 : w + 1;
    }
    this.fill += src.length;
    if (this.fill > this.peak) this.peak = this.fill;
  }

  // Fills `out` with the next samples; silence while priming or when dry.
  pull(out) {
    if (!this.playing) {
      if (this.fill < this.start || this.fill === 0) {
        out.fill(0);
        return 0;
      }
      this.playing = true;
    }
    const n = Math.min(out.length, this.fill);
    for (let i = 0; i < n; i++) {
      out[i] = this.ring[this.read];
      this.read = this.read + 1 === this.cap ? 0 : this.read + 1;
    }
    this.fill -= n;
    if (n < out.length) {
      out.fill(0, n);
      this.underruns += 1;
      this.playing = false;
    }
    return n;
  }

  takePeak() {
    const p = this.peak;
    this.peak = this.fill;
    return p;
  }
}

// Microphone frames waiting while a post is out. Only the newest `max`
// frames are kept: the service plays at most 80 ms ahead and trims older
// audio anyway, so a backlog in the page would only add delay.
export class UplinkQueue {
  constructor(maxFrames = 4) {
    this.max = maxFrames;
    this.frames = [];
    this.dropped = 0;
  }

  push(frame) {
    this.frames.push(frame);
    while (this.frames.length > this.max) {
      this.frames.shift();
      this.dropped += 1;
    }
  }

  get length() {
    return this.frames.length;
  }

  // All queued frames as one body, oldest first; null when empty.
  take() {
    if (this.frames.length === 0) return null;
    let size = 0;
    for (const f of this.frames) size += f.length;
    const body = new Uint8Array(size);
    let o = 0;
    for (const f of this.frames) {
      body.set(f, o);
      o += f.length;
    }
    this.frames = [];
    return body;
  }

  clear() {
    this.frames = [];
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
    this.tokenAsked = false;  // a fresh token was asked for and not yet proven good
  }

  set(state, problem) {
    this.state = state;
    this.problem = problem;
  }

  start() {
    this.everLive = false;
    this.captureRetries = 0;
    this.networkRetries = 0;
    this.tokenAsked = false;
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
      this.tokenAsked = false;
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

  tokenRefused() {
    if (this.tokenAsked) return this.end(Problem.TOKEN_REFUSED); // the fresh one failed too
    this.tokenAsked = true;
    this.set(State.WAITING, Problem.TOKEN_REFUSED);
    return { do: 'token' };
  }

  // The integrator's token callback answered: a new token, or nothing.
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
