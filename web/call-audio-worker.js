// The browser client's network, in a module Worker so that nothing the page
// does can stall the audio: the far end's stream (read, decoded, resampled
// and handed to the player worklet over a MessagePort), its watchdog, the
// uplink's send clock and posts (microphone frames come straight from the
// microphone worklet over another port), and the token. The page starts it
// with new Worker(url, { type: 'module' }) and talks to it by messages:
//
//   page -> worker  { type: 'start', service, token, tokenInHeader, listen, speak,
//                     playerRate, backoff, player: MessagePort, mic: MessagePort }
//                   { type: 'token', id, token }   the answer to a 'token?'
//                   { type: 'mute', muted }        the far end hears silence
//                   { type: 'stop' }
//   worker -> page  { type: 'state', state, problem }
//                   { type: 'token?', id }         call getToken() and answer
//                   { type: 'figures', ... }       four times a second
import {
  Backoff, CallMachine, PcmDecoder, Problem, RATE, Resampler, SendClock, State, TokenKeeper,
  postOutcome,
} from './call-audio-core.js';

const API = '/api/v1/voice_call/audio';
export const WATCHDOG_MS = 1000;   // no stream bytes for this long: reconnect
const ANSWER_MS = 5000;            // the most a request waits for its answer's head
const FIGURES_MS = 250;

const now = () => performance.now();

class Call {
  constructor(cfg, send) {
    this.cfg = cfg;
    this.send = send;
    this.service = String(cfg.service).replace(/\/+$/, '');
    this.player = cfg.player || null;
    this.machine = new CallMachine({ backoff: new Backoff(cfg.backoff || {}) });
    this.asks = new Map();
    this.askIds = 0;
    this.keeper = new TokenKeeper({ token: cfg.token || '', getToken: cfg.canRenew ? () => this.askPage() : null });
    this.clock = new SendClock();
    this.running = true;
    this.muted = false;
    this.captured = 0;             // microphone frames seen: the next frame's capture index
    this.uplinkWasOpen = false;
    this.fig = { streamReconnects: 0, postsOk: 0 };
    this.toPlayer = cfg.playerRate && cfg.playerRate !== RATE ? new Resampler(RATE, cfg.playerRate) : null;
    if (cfg.mic) cfg.mic.onmessage = (e) => this.onFrame(e.data);
    this.figTimer = setInterval(() => this.figures(), FIGURES_MS);
    const first = this.machine.start();
    if (cfg.listen !== false) this.act(first);
    else this.act(this.machine.streamAnswer(200));
  }

  askPage() {
    const id = ++this.askIds;
    return new Promise((resolve) => {
      this.asks.set(id, resolve);
      this.send({ type: 'token?', id });
    });
  }

  answer(id, token) {
    const r = this.asks.get(id);
    this.asks.delete(id);
    if (r) r(token);
  }

  stop() {
    this.running = false;
    clearTimeout(this.timer);
    clearInterval(this.figTimer);
    if (this.abort) this.abort.abort();
    for (const a of this.flying || []) a.abort();
    for (const r of this.asks.values()) r('');
    this.asks.clear();
  }

  emit() {
    this.send({ type: 'state', state: this.machine.state, problem: this.machine.problem });
  }

  act(step) {
    if (!this.running) return;
    this.emit();
    if (step.do === 'connect') {
      clearTimeout(this.timer);
      this.timer = setTimeout(() => this.openStream(), step.after);
    } else if (step.do === 'stop') {
      this.stop();
    }
  }

  url(route, token, query = '') {
    const q = this.cfg.tokenInHeader ? query : 'token=' + encodeURIComponent(token) + (query ? '&' + query : '');
    return this.service + API + route + (q ? '?' + q : '');
  }

  init(token, extra) {
    // No Content-Type on posts and the token in the query keep every request
    // "simple", so the browser sends no preflight; the header form costs one.
    const init = { mode: 'cors', credentials: 'omit', cache: 'no-store', ...extra };
    if (this.cfg.tokenInHeader) init.headers = { 'x-audio-token': token };
    return init;
  }

  // ---- listening ----

  async openStream() {
    if (!this.running) return;
    this.machine.set(State.CONNECTING, this.machine.problem);
    this.emit();
    const token = await this.keeper.current();
    if (!this.running) return;
    const abort = new AbortController();
    this.abort = abort;
    let stalled = false;
    let watchdog = 0;
    const arm = (ms) => {
      clearTimeout(watchdog);
      watchdog = setTimeout(() => { stalled = true; abort.abort(); }, ms);
    };
    arm(ANSWER_MS);
    let res;
    try {
      res = await fetch(this.url('/stream', token), this.init(token, { signal: abort.signal }));
    } catch {
      clearTimeout(watchdog);
      if (!this.running || abort !== this.abort) return;
      return this.act(this.machine.fetchFailed({ online: !stalled && navigator.onLine !== false }));
    }
    if (!this.running) return;
    if (res.status !== 200) {
      const body = await res.text().catch(() => '');
      clearTimeout(watchdog);
      if (!this.running) return;
      if (res.status === 403) return this.tokenRefused(token);
      return this.act(this.machine.streamAnswer(res.status, body));
    }
    this.keeper.accepted(token);
    this.act(this.machine.streamAnswer(200));
    // The player counts input samples from 0 at each stream's start.
    if (this.player) this.player.postMessage({ type: 'flush' });
    const since = now();
    const decoder = new PcmDecoder();
    if (this.toPlayer) this.toPlayer = new Resampler(RATE, this.cfg.playerRate);
    const reader = res.body.getReader();
    let clean = false;
    arm(WATCHDOG_MS);
    try {
      for (;;) {
        const { done, value } = await reader.read();
        if (done) { clean = true; break; }
        if (!this.running) break;
        arm(WATCHDOG_MS);
        let samples = decoder.decode(value);
        if (this.toPlayer) samples = this.toPlayer.process(samples);
        if (samples.length && this.player) this.player.postMessage(samples, [samples.buffer]);
      }
    } catch {
      clean = false;
    }
    clearTimeout(watchdog);
    if (!this.running) return;
    const liveMs = now() - since;
    if (stalled) {
      this.fig.streamReconnects += 1;
      return this.act(this.machine.streamStalled({ liveMs }));
    }
    // A stream that ends properly was either taken over by a newer listener
    // or lost its card; the health route tells which.
    const cardPresent = clean ? await this.health(token) : null;
    if (!this.running) return;
    this.act(this.machine.streamEnded({ clean, cardPresent, liveMs }));
  }

  async health(token) {
    const abort = new AbortController();
    const t = setTimeout(() => abort.abort(), ANSWER_MS);
    try {
      const res = await fetch(this.url('/health', token), this.init(token, { signal: abort.signal }));
      if (res.status !== 200) return null;
      const j = await res.json();
      return j.card_present === true;
    } catch {
      return null;
    } finally {
      clearTimeout(t);
    }
  }

  async tokenRefused(used) {
    this.act(this.machine.tokenRefused());
    const ok = await this.keeper.refused(used);
    if (!this.running) return;
    this.act(this.machine.tokenSupplied(ok));
  }

  // ---- speaking ----

  onFrame(m) {
    if (!this.running || !m || m.type !== 'frame') return;
    const index = this.captured++;
    if (this.cfg.speak === false) return;
    if (!this.machine.uplinkOpen()) {
      if (this.uplinkWasOpen) this.clock.dropped += 1;
      return;
    }
    this.uplinkWasOpen = true;
    if (this.muted) m.bytes.fill(0);
    this.clock.push(index, m.bytes);
    this.pump();
  }

  pump() {
    for (;;) {
      const post = this.clock.take(now());
      if (!post) break;
      this.post(post);
    }
    // A pause after an error ends with no frame to wake the clock when the
    // microphone is stopped; a timer does.
    if (this.clock.pending.length && this.clock.pausedUntil > now()) {
      clearTimeout(this.pumpTimer);
      this.pumpTimer = setTimeout(() => this.pump(), this.clock.pausedUntil - now());
    }
  }

  async post(p) {
    const token = await this.keeper.current();
    if (!this.running) return;
    const abort = new AbortController();
    this.flying = this.flying || new Set();
    this.flying.add(abort);
    let timedOut = false;
    const t = setTimeout(() => { timedOut = true; abort.abort(); }, p.timeoutMs);
    const t0 = now();
    let status = 0;
    let text = '';
    let next = null;
    try {
      const res = await fetch(this.url('/tx', token, 'seq=' + p.seq),
                              this.init(token, { method: 'POST', body: p.body, signal: abort.signal }));
      status = res.status;
      const n = res.headers.get('X-Audio-Next');
      next = n !== null && /^\d{1,16}$/.test(n) ? Number(n) : null;
      text = await res.text();
    } catch {
      status = 0;
    }
    clearTimeout(t);
    this.flying.delete(abort);
    if (!this.running) return;
    if (status === 200) {
      this.keeper.accepted(token);
      this.fig.postsOk += 1;
      this.clock.answered(p.id, { next, rttMs: now() - t0 });
    } else {
      const out = postOutcome(status, text);
      this.clock.failed(p.id, { nowMs: now(), timedOut, pauseMs: timedOut || out.token ? 0 : out.after });
      if (out.token && !(await this.keeper.refused(token))) {
        if (!this.running) return;
        this.machine.end(Problem.TOKEN_REFUSED);
        this.emit();
        this.stop();
        return;
      }
    }
    this.pump();
  }

  figures() {
    const c = this.clock;
    this.send({
      type: 'figures', rttMs: c.srtt, postsOk: this.fig.postsOk, postsFailed: c.postsFailed, postsTimedOut: c.postsTimedOut,
      framesDroppedBeforePost: c.dropped, inFlight: c.inFlight, seq: c.seq,
      streamReconnects: this.fig.streamReconnects, tokenRenewals: this.keeper.renewals,
    });
  }
}

// In a worker: one call at a time, driven by the page's messages.
if (typeof WorkerGlobalScope !== 'undefined' && globalThis instanceof WorkerGlobalScope) {
  let call = null;
  const send = (m) => globalThis.postMessage(m);
  globalThis.onmessage = (e) => {
    const m = e.data || {};
    if (m.type === 'start') {
      if (call) call.stop();
      call = new Call(m, send);
    } else if (m.type === 'token' && call) {
      call.answer(m.id, m.token);
    } else if (m.type === 'mute' && call) {
      call.muted = !!m.muted;
    } else if (m.type === 'stop' && call) {
      call.stop();
      call = null;
    }
  };
}
