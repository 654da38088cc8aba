// call-audio browser client: listen to and speak into the router's modem
// call from a web page. Dependency-free ES module; the guide is
// docs/web-client.md.
//
//   import { CallAudioClient } from './call-audio-client.js';
//   const call = new CallAudioClient({ service: 'https://192.168.1.1:9444', token,
//                                      getToken: async () => fetchNewTokenFromYourBackend(),
//                                      onState: s => ..., onFigures: f => ... });
//   button.onclick = () => call.start();   // only from a user gesture
//   hangup.onclick = () => call.stop();
import {
  Backoff, CallMachine, PcmDecoder, Problem, RATE, RateMeter, Resampler, State, UplinkQueue,
  describeProblem, postOutcome,
} from './call-audio-core.js';

export { Problem, State, describeProblem };

const API = '/api/v1/voice_call/audio';

export class CallAudioClient {
  constructor(opts) {
    if (!opts || !opts.service) throw new TypeError('CallAudioClient needs { service, token }');
    this.service = String(opts.service).replace(/\/+$/, '');
    this.token = opts.token || '';
    this.getToken = opts.getToken || null;
    this.tokenInHeader = opts.tokenIn === 'header';
    this.listen = opts.listen !== false;
    this.speak = opts.speak !== false;
    this.onState = opts.onState || (() => {});
    this.onFigures = opts.onFigures || (() => {});
    this.onPlayed = opts.onPlayed || null;   // receives played samples (monitoring, tests)
    this.sampleRate = opts.sampleRate === undefined ? RATE : opts.sampleRate;
    this.startMs = opts.startMs ?? 60;
    this.capMs = opts.capMs ?? 200;
    this.workletUrl = opts.workletUrl || new URL('./call-audio-worklet.js', import.meta.url).href;
    this.machine = new CallMachine({ backoff: new Backoff(opts.backoff || {}) });
    this.ctx = null;
    this.running = false;
    this.session = 0;
    this.timer = null;
    this.abort = null;
    this.tokenWait = null;
    this.resetFigures();
  }

  resetFigures() {
    this.fig = {
      fillMs: 0, peakMs: 0, underruns: 0, droppedMs: 0, rxLevel: 0, txLevel: 0,
      postRttMs: 0, postsPerSecond: 0, postErrors: 0, micDroppedFrames: 0,
      contextRate: 0,
    };
    this.rate = new RateMeter(1000);
    this.rtts = [];
  }

  get state() {
    return { state: this.machine.state, problem: this.machine.problem,
             message: describeProblem(this.machine.problem) };
  }

  emitState() {
    this.onState(this.state);
  }

  // Starts the call. Browsers only let audio start from a user gesture, so
  // call this directly in a click (or key) handler: the AudioContext is
  // created before the first await. Resolves once audio is set up; the
  // connection's progress is reported through onState.
  async start() {
    if (this.running) return;
    this.running = true;
    const session = ++this.session;
    this.ctx = this.makeContext();
    const resumed = this.ctx.resume();
    this.resetFigures();
    this.fig.contextRate = this.ctx.sampleRate;
    this.machine.start();
    this.emitState();
    try {
      await this.ctx.audioWorklet.addModule(this.workletUrl);
      await resumed;
    } catch (e) {
      if (session === this.session) this.teardown();
      throw e;
    }
    if (session !== this.session) return;
    if (this.listen) this.setUpPlayer();
    if (this.speak) {
      try {
        await this.setUpMic(session);
      } catch {
        if (session !== this.session) return;
        this.machine.end(Problem.MICROPHONE);
        this.emitState();
        this.teardown();
        return;
      }
    }
    if (session !== this.session) return;
    this.figTimer = setInterval(() => this.reportFigures(), 250);
    if (this.listen) this.connect(session, 0);
    else { this.machine.streamAnswer(200); this.emitState(); }
  }

  // Ends the call and releases the microphone and the audio output.
  stop() {
    if (!this.running) return;
    this.machine.stop();
    this.emitState();
    this.teardown();
  }

  teardown() {
    this.running = false;
    this.session += 1;
    clearTimeout(this.timer);
    clearInterval(this.figTimer);
    if (this.abort) this.abort.abort();
    this.tokenWait = null;
    if (this.stream) for (const t of this.stream.getTracks()) t.stop();
    this.stream = null;
    this.mic = null;
    this.player = null;
    if (this.micCtx) this.micCtx.close().catch(() => {});
    this.micCtx = null;
    if (this.ctx) this.ctx.close().catch(() => {});
    this.ctx = null;
  }

  makeContext(rate = this.sampleRate) {
    const Ctx = globalThis.AudioContext || globalThis.webkitAudioContext;
    if (rate) {
      try {
        return new Ctx({ sampleRate: rate, latencyHint: 'interactive' });
      } catch {
        // Some browsers refuse 16 kHz: run at the device rate and resample.
      }
    }
    return new Ctx({ latencyHint: 'interactive' });
  }

  url(route) {
    return this.tokenInHeader ? this.service + API + route
      : this.service + API + route + '?token=' + encodeURIComponent(this.token);
  }

  init(extra = {}) {
    // No Content-Type on posts and the token in the query keep every request
    // "simple", so the browser sends no preflight; the header form costs one.
    const init = { mode: 'cors', credentials: 'omit', cache: 'no-store', ...extra };
    if (this.tokenInHeader) init.headers = { 'x-audio-token': this.token };
    return init;
  }

  setUpPlayer() {
    this.player = new AudioWorkletNode(this.ctx, 'call-audio-player', {
      numberOfInputs: 0, numberOfOutputs: 1, outputChannelCount: [1],
      processorOptions: { startMs: this.startMs, capMs: this.capMs, tap: !!this.onPlayed },
    });
    this.player.port.onmessage = (e) => {
      const m = e.data;
      if (m.type === 'figures') {
        this.fig.fillMs = m.fillMs;
        this.fig.peakMs = Math.max(this.fig.peakMs, m.peakMs);
        this.fig.underruns = m.underruns;
        this.fig.droppedMs = m.droppedMs;
        this.fig.rxLevel = m.level;
      } else if (m.type === 'played' && this.onPlayed) {
        this.onPlayed(m.samples, this.ctx ? this.ctx.sampleRate : 0);
      }
    };
    this.player.connect(this.ctx.destination);
    this.toPlayer = this.ctx.sampleRate === RATE ? null : new Resampler(RATE, this.ctx.sampleRate);
  }

  async setUpMic(session) {
    this.stream = await navigator.mediaDevices.getUserMedia({
      audio: { echoCancellation: true, noiseSuppression: true, autoGainControl: true, channelCount: 1 },
      video: false,
    });
    if (session !== this.session) {
      for (const t of this.stream.getTracks()) t.stop();
      return;
    }
    let ctx = this.ctx;
    let source;
    try {
      source = ctx.createMediaStreamSource(this.stream);
    } catch {
      // A browser that cannot join a microphone to a 16 kHz context gets
      // one of its own at the device rate; the worklet resamples.
      this.micCtx = ctx = this.makeContext(0);
      await ctx.audioWorklet.addModule(this.workletUrl);
      source = ctx.createMediaStreamSource(this.stream);
    }
    this.mic = new AudioWorkletNode(ctx, 'call-audio-mic', {
      numberOfInputs: 1, numberOfOutputs: 1, outputChannelCount: [1],
    });
    this.mic.port.onmessage = (e) => {
      const m = e.data;
      if (m.type === 'frame') this.onMicFrame(m.bytes, session);
      else if (m.type === 'level') this.fig.txLevel = m.level;
    };
    source.connect(this.mic);
    // The node outputs silence; being connected keeps it running everywhere.
    this.mic.connect(ctx.destination);
    this.uplink = new UplinkQueue(4);
    this.posting = false;
    this.postPauseUntil = 0;
  }

  // ---- listening ----

  connect(session, after) {
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.openStream(session), after);
  }

  async openStream(session) {
    if (session !== this.session) return;
    this.machine.set(State.CONNECTING, this.machine.problem);
    this.emitState();
    const abort = new AbortController();
    this.abort = abort;
    let res;
    try {
      res = await fetch(this.url('/stream'), this.init({ signal: abort.signal }));
    } catch {
      if (session !== this.session) return;
      return this.act(session, this.machine.fetchFailed({ online: navigator.onLine !== false }));
    }
    if (session !== this.session) return;
    if (res.status !== 200) {
      const body = await res.text().catch(() => '');
      if (session !== this.session) return;
      return this.act(session, this.machine.streamAnswer(res.status, body));
    }
    this.act(session, this.machine.streamAnswer(200));
    const since = performance.now();
    const decoder = new PcmDecoder();
    const reader = res.body.getReader();
    let clean = false;
    try {
      for (;;) {
        const { done, value } = await reader.read();
        if (done) { clean = true; break; }
        if (session !== this.session) return;
        let samples = decoder.decode(value);
        if (this.toPlayer) samples = this.toPlayer.process(samples);
        if (samples.length && this.player) this.player.port.postMessage(samples, [samples.buffer]);
      }
    } catch {
      clean = false;
    }
    if (session !== this.session) return;
    const liveMs = performance.now() - since;
    // A stream that ends properly was either taken over by a newer listener
    // or lost its card; the health route tells which.
    const cardPresent = clean ? await this.health() : null;
    if (session !== this.session) return;
    this.act(session, this.machine.streamEnded({ clean, cardPresent, liveMs }));
  }

  async health() {
    try {
      const res = await fetch(this.url('/health'), this.init());
      if (res.status !== 200) return null;
      const j = await res.json();
      return j.card_present === true;
    } catch {
      return null;
    }
  }

  act(session, step) {
    this.emitState();
    if (step.do === 'connect') this.connect(session, step.after);
    else if (step.do === 'token') this.renewToken(session);
    else if (step.do === 'stop') this.teardown();
  }

  // Asks the integrator for a fresh token. Refusals that arrive meanwhile
  // (the stream and posts) share the one question. Resolves to true when a
  // new token came back.
  freshToken() {
    if (!this.tokenWait) {
      const old = this.token;
      const wait = (async () => {
        let fresh = '';
        try {
          fresh = this.getToken ? String((await this.getToken()) || '') : '';
        } catch {
          fresh = '';
        }
        if (fresh) this.token = fresh;
        return !!fresh && fresh !== old;
      })();
      this.tokenWait = wait;
      wait.then(() => { if (this.tokenWait === wait) this.tokenWait = null; });
    }
    return this.tokenWait;
  }

  async renewToken(session) {
    const ok = await this.freshToken();
    if (session !== this.session) return;
    this.act(session, this.machine.tokenSupplied(ok));
  }

  // ---- speaking ----

  onMicFrame(bytes, session) {
    if (session !== this.session || !this.uplink) return;
    if (this.machine.state !== State.LIVE) return;   // nothing to speak into yet
    this.uplink.push(bytes);
    this.fig.micDroppedFrames = this.uplink.dropped;
    this.pump(session);
  }

  pump(session) {
    if (this.posting || this.uplink.length === 0) return;
    const wait = this.postPauseUntil - performance.now();
    if (wait > 0) {
      clearTimeout(this.postTimer);
      this.postTimer = setTimeout(() => this.pump(session), wait);
      return;
    }
    this.post(session, this.uplink.take());
  }

  async post(session, body) {
    this.posting = true;
    const t0 = performance.now();
    let status = 0;
    let text = '';
    try {
      const res = await fetch(this.url('/tx'), this.init({ method: 'POST', body }));
      status = res.status;
      text = await res.text();
    } catch {
      status = 0;
    }
    this.posting = false;
    if (session !== this.session) return;
    const now = performance.now();
    const out = postOutcome(status, text);
    if (out.ok) {
      this.rtts.push(now - t0);
      if (this.rtts.length > 50) this.rtts.shift();
      this.rate.add(now);
    } else {
      this.fig.postErrors += 1;
      if (out.token) {
        // The running stream keeps its connection; only posts need the new
        // token, so the stream is not reopened.
        const ok = await this.freshToken();
        if (session !== this.session) return;
        if (!ok) {
          this.machine.end(Problem.TOKEN_REFUSED);
          this.emitState();
          this.teardown();
          return;
        }
      } else {
        this.postPauseUntil = now + out.after;
      }
    }
    this.pump(session);
  }

  reportFigures() {
    const now = performance.now();
    this.fig.postsPerSecond = this.rate.perSecond(now);
    this.fig.postRttMs = this.rtts.length ? this.rtts.reduce((a, b) => a + b, 0) / this.rtts.length : 0;
    this.onFigures({ ...this.fig, state: this.machine.state });
    this.fig.peakMs = this.fig.fillMs;
  }
}
