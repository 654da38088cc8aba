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
//
// The page thread only wires things up and reports: the network runs in a
// module Worker (call-audio-worker.js), the audio in AudioWorklets
// (call-audio-worklet.js), and they pass samples over MessagePorts.
import {
  Problem, RATE, RateMeter, State, audioReport, describeProblem, micFailure, withoutMic,
} from './call-audio-core.js';

export { Problem, State, describeProblem };

const RESUME_WAIT_MS = 500;   // a resume() not done by then waits for a user gesture

const MIC_TEXT = {
  denied: 'Listening only: the microphone was refused.',
  absent: 'Listening only: no microphone was found.',
};

export class CallAudioClient {
  constructor(opts) {
    if (!opts || !opts.service) throw new TypeError('CallAudioClient needs { service, token }');
    this.opts = opts;
    this.service = String(opts.service).replace(/\/+$/, '');
    this.token = opts.token || '';
    this.getToken = opts.getToken || null;
    this.listen = opts.listen !== false;
    this.speak = opts.speak !== false;
    this.onState = opts.onState || (() => {});
    this.onFigures = opts.onFigures || (() => {});
    this.onPlayed = opts.onPlayed || null;   // receives played samples (monitoring, tests)
    this.onPlayedInput = opts.onPlayedInput || null;
    this.sampleRate = opts.sampleRate === undefined ? RATE : opts.sampleRate;
    // The player's bounds (ms); undefined leaves the player's defaults.
    this.playout = { minTargetMs: opts.minTargetMs, maxTargetMs: opts.maxTargetMs, capMs: opts.capMs };
    this.workletUrl = opts.workletUrl || new URL('./call-audio-worklet.js', import.meta.url).href;
    this.workerUrl = opts.workerUrl || new URL('./call-audio-worker.js', import.meta.url).href;
    this.ctx = null;
    this.micCtx = null;
    this.worker = null;
    this.running = false;
    this.session = 0;
    this.volume = 1;
    this.muted = false;
    this.inputDevice = opts.inputDevice || null;
    this.outputDevice = null;
    this.s = { state: State.IDLE, problem: null, mic: 'off', listenOnly: false, audio: 'closed', resumeStuck: false };
    this.resetFigures();
  }

  resetFigures() {
    this.fig = {
      fillMs: 0, peakMs: 0, underruns: 0, droppedMs: 0, rxLevel: 0, txLevel: 0,
      postRttMs: 0, postsPerSecond: 0, postErrors: 0, micDroppedFrames: 0, contextRate: 0,
      rttMs: 0, postsFailed: 0, postsTimedOut: 0, framesDroppedBeforePost: 0, playerDelayMs: 0, targetMs: 0,
      jitterMs: 0, concealedMs: 0, stretchedMs: 0, capCuts: 0, fades: 0, streamReconnects: 0, tokenRenewals: 0,
      inFlight: 0, seq: null,
    };
    this.rate = new RateMeter(1000);
    this.postsOk = 0;
  }

  get state() {
    const s = this.s;
    const { audio, needsGesture } = audioReport({ ctxState: s.audio, resumeStuck: s.resumeStuck,
                                                  active: this.running });
    let message = describeProblem(s.problem);
    if (!message && needsGesture) message = 'The browser paused the audio: press a button to resume it.';
    if (!message && s.listenOnly) message = MIC_TEXT[s.mic] || '';
    return { state: s.state, problem: s.problem, message, mic: s.mic, listenOnly: s.listenOnly,
             muted: this.muted, audio, needsGesture };
  }

  emitState() {
    this.onState(this.state);
  }

  // Whether setOutputDevice() can work in this engine.
  get canChooseOutput() {
    const Ctx = globalThis.AudioContext;
    return !!Ctx && typeof Ctx.prototype.setSinkId === 'function';
  }

  // Starts the call. Browsers only let audio start from a user gesture, so
  // call this directly in a click (or key) handler: the AudioContext is
  // created before the first await. Resolves once audio is set up; the
  // connection's progress is reported through onState.
  async start() {
    if (this.running) return;
    if (globalThis.isSecureContext === false || !globalThis.AudioWorkletNode || !globalThis.Worker) {
      Object.assign(this.s, { state: State.ENDED, problem: globalThis.isSecureContext === false
        ? Problem.INSECURE : Problem.SERVICE });
      this.emitState();
      return;
    }
    this.running = true;
    const session = ++this.session;
    this.ctx = this.makeContext();
    this.watchContext(this.ctx, session);
    const resumed = this.resumeContext(this.ctx, session);
    this.resetFigures();
    this.fig.contextRate = this.ctx.sampleRate;
    Object.assign(this.s, { state: State.CONNECTING, problem: null, mic: 'off', listenOnly: false });
    this.emitState();
    try {
      await this.ctx.audioWorklet.addModule(this.workletUrl);
    } catch (e) {
      if (session === this.session) this.teardown();
      throw e;
    }
    if (session !== this.session) return;
    const playerPort = this.listen ? this.setUpPlayer() : null;
    const micChannel = this.speak ? new MessageChannel() : null;
    if (this.speak) {
      const ok = await this.setUpMic(session, micChannel.port1);
      if (session !== this.session) return;
      if (!ok) {
        const next = withoutMic({ listen: this.listen });
        if (next.end) {
          this.s.state = State.ENDED;
          this.s.problem = next.end;
          this.emitState();
          this.teardown();
          return;
        }
        this.s.listenOnly = true;
        this.emitState();
      }
    }
    await resumed;
    if (session !== this.session) return;
    this.worker = new Worker(this.workerUrl, { type: 'module' });
    this.worker.onmessage = (e) => this.fromWorker(e.data, session);
    this.worker.onerror = (e) => {
      if (session !== this.session) return;
      this.s.state = State.ENDED;
      this.s.problem = Problem.SERVICE;
      this.emitState();
      this.teardown();
      if (e && e.message) console.error('call-audio worker:', e.message);
    };
    const transfer = [];
    if (playerPort) transfer.push(playerPort);
    if (micChannel) transfer.push(micChannel.port2);
    this.worker.postMessage({
      type: 'start', service: this.service, token: this.token, canRenew: !!this.getToken,
      tokenInHeader: this.opts.tokenIn === 'header', listen: this.listen, speak: this.speak,
      playerRate: this.ctx.sampleRate, backoff: this.opts.backoff || {},
      player: playerPort, mic: micChannel ? micChannel.port2 : null,
    }, transfer);
    if (this.muted) this.worker.postMessage({ type: 'mute', muted: true });
    this.figTimer = setInterval(() => this.reportFigures(), 250);
  }

  // Ends the call and releases the microphone and the audio output.
  stop() {
    if (!this.running) return;
    this.s.state = State.IDLE;
    this.s.problem = null;
    this.teardown();
    this.emitState();
  }

  teardown() {
    this.running = false;
    this.session += 1;
    clearInterval(this.figTimer);
    if (this.worker) {
      this.worker.postMessage({ type: 'stop' });
      this.worker.terminate();
    }
    this.worker = null;
    this.stopTracks();
    this.mic = null;
    this.micSource = null;
    this.player = null;
    this.gain = null;
    for (const c of [this.micCtx, this.ctx]) if (c) c.close().catch(() => {});
    this.micCtx = null;
    this.ctx = null;
    this.s.mic = 'off';
    this.s.audio = 'closed';
    this.s.resumeStuck = false;
  }

  stopTracks() {
    if (this.stream) for (const t of this.stream.getTracks()) t.stop();
    this.stream = null;
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

  // The context's state is reported; one the browser suspended or
  // interrupted is asked to resume, and a resume that does not happen is
  // taken to wait for a user gesture (see resume()).
  watchContext(ctx, session) {
    ctx.onstatechange = () => {
      if (session !== this.session) return;
      if (ctx === this.ctx) {
        this.s.audio = ctx.state;
        if (ctx.state === 'running') this.s.resumeStuck = false;
        this.emitState();
      }
      if (ctx.state === 'suspended' || ctx.state === 'interrupted') this.resumeContext(ctx, session);
    };
    if (ctx === this.ctx) this.s.audio = ctx.state;
  }

  // Resolves after the resume or RESUME_WAIT_MS, whichever comes first.
  resumeContext(ctx, session) {
    let timer = 0;
    const done = ctx.resume().then(() => true, () => false);
    const late = new Promise((r) => { timer = setTimeout(() => r(false), RESUME_WAIT_MS); });
    return Promise.race([done, late]).then((ok) => {
      clearTimeout(timer);
      if (session !== this.session || ctx !== this.ctx) return;
      const stuck = !ok && ctx.state !== 'running';
      if (stuck !== this.s.resumeStuck || this.s.audio !== ctx.state) {
        this.s.resumeStuck = stuck;
        this.s.audio = ctx.state;
        this.emitState();
      }
    });
  }

  // Resumes audio the browser holds: call it from a user gesture (a click)
  // when state.needsGesture is true.
  async resume() {
    const session = this.session;
    const all = [this.ctx, this.micCtx].filter(Boolean).map((c) => c.resume().catch(() => {}));
    await Promise.all(all);
    if (session !== this.session || !this.ctx) return;
    this.s.audio = this.ctx.state;
    this.s.resumeStuck = this.ctx.state !== 'running';
    this.emitState();
  }

  setUpPlayer() {
    this.player = new AudioWorkletNode(this.ctx, 'call-audio-player', {
      numberOfInputs: 0, numberOfOutputs: 1, outputChannelCount: [1],
      processorOptions: { ...this.playout, tap: !!this.onPlayed },
    });
    this.player.port.onmessage = (e) => this.fromPlayer(e.data);
    this.gain = this.ctx.createGain();
    this.gain.gain.value = this.volume;
    this.player.connect(this.gain);
    this.gain.connect(this.ctx.destination);
    if (this.outputDevice && this.canChooseOutput) this.ctx.setSinkId(this.outputDevice).catch(() => {});
    const channel = new MessageChannel();
    this.player.port.postMessage({ type: 'port', port: channel.port1 }, [channel.port1]);
    return channel.port2;
  }

  fromPlayer(m) {
    if (m.type === 'figures') {
      const f = this.fig;
      f.fillMs = f.playerDelayMs = m.delayMs;
      f.peakMs = Math.max(f.peakMs, m.peakMs ?? m.delayMs);
      Object.assign(f, { targetMs: m.targetMs, jitterMs: m.jitterMs, underruns: m.underruns,
                         concealedMs: m.concealedMs, droppedMs: m.droppedMs, stretchedMs: m.stretchedMs,
                         capCuts: m.capCuts, fades: m.fades, rxLevel: m.level });
    } else if (m.type === 'played-input') {
      if (this.onPlayedInput && m.blocks.length) this.onPlayedInput({ at: m.at, blocks: m.blocks, inserted: m.inserted });
    } else if (m.type === 'played' && this.onPlayed) {
      this.onPlayed(m.samples, this.ctx ? this.ctx.sampleRate : 0);
    }
  }

  fromWorker(m, session) {
    if (session !== this.session) return;
    if (m.type === 'state') {
      this.s.state = m.state;
      this.s.problem = m.problem;
      this.emitState();
      if (m.state === State.ENDED) this.teardown();
    } else if (m.type === 'token?') {
      this.askToken(m.id, session);
    } else if (m.type === 'figures') {
      const f = this.fig;
      const t = performance.now();
      for (let i = this.postsOk; i < m.postsOk; i++) this.rate.add(t);
      this.postsOk = m.postsOk;
      Object.assign(f, { rttMs: m.rttMs, postRttMs: m.rttMs, postsFailed: m.postsFailed, postErrors: m.postsFailed,
                         postsTimedOut: m.postsTimedOut, framesDroppedBeforePost: m.framesDroppedBeforePost,
                         micDroppedFrames: m.framesDroppedBeforePost, inFlight: m.inFlight, seq: m.seq,
                         streamReconnects: m.streamReconnects, tokenRenewals: m.tokenRenewals });
    }
  }

  async askToken(id, session) {
    let token = '';
    try {
      token = this.getToken ? String((await this.getToken()) || '') : '';
    } catch {
      token = '';
    }
    if (session !== this.session || !this.worker) return;
    if (token) this.token = token;
    this.worker.postMessage({ type: 'token', id, token });
  }

  // ---- the microphone ----

  // Opens the microphone and its worklet, whose frames go to `port`.
  // Resolves false (with state.mic saying why) when there is none to use.
  async setUpMic(session, port) {
    let stream;
    try {
      stream = await this.openMic(this.inputDevice);
    } catch (e) {
      if (session === this.session) this.s.mic = micFailure(e && e.name);
      return false;
    }
    if (session !== this.session) {
      for (const t of stream.getTracks()) t.stop();
      return false;
    }
    this.stream = stream;
    let ctx = this.ctx;
    let source;
    try {
      source = ctx.createMediaStreamSource(stream);
    } catch {
      // A browser that cannot join a microphone to a 16 kHz context gets
      // one of its own at the device rate; the worklet resamples. It is
      // created after an await, so it may need resuming by a gesture too.
      this.micCtx = ctx = this.makeContext(0);
      this.watchContext(ctx, session);
      this.resumeContext(ctx, session);
      await ctx.audioWorklet.addModule(this.workletUrl);
      if (session !== this.session) return false;
      source = ctx.createMediaStreamSource(stream);
    }
    this.mic = new AudioWorkletNode(ctx, 'call-audio-mic', {
      numberOfInputs: 1, numberOfOutputs: 1, outputChannelCount: [1],
    });
    this.mic.port.onmessage = (e) => {
      if (e.data.type === 'level') this.fig.txLevel = e.data.level;
    };
    this.mic.port.postMessage({ type: 'port', port }, [port]);
    source.connect(this.mic);
    this.micSource = source;
    // The node outputs silence; being connected keeps it running everywhere.
    this.mic.connect(ctx.destination);
    this.s.mic = 'on';
    return true;
  }

  openMic(deviceId) {
    if (!globalThis.navigator || !navigator.mediaDevices || !navigator.mediaDevices.getUserMedia) {
      return Promise.reject(Object.assign(new Error('no getUserMedia'), { name: 'NotFoundError' }));
    }
    return navigator.mediaDevices.getUserMedia({
      audio: { echoCancellation: true, noiseSuppression: true, autoGainControl: true, channelCount: 1,
               ...(deviceId ? { deviceId: { exact: deviceId } } : {}) },
      video: false,
    });
  }

  // The far end hears silence while muted; the microphone stays open.
  setMuted(muted) {
    this.muted = !!muted;
    if (this.worker) this.worker.postMessage({ type: 'mute', muted: this.muted });
    this.emitState();
  }

  // Playback volume, 0 to 1.
  setVolume(v) {
    this.volume = Math.min(1, Math.max(0, Number(v) || 0));
    if (this.gain) this.gain.gain.value = this.volume;
  }

  // Switches the microphone (a deviceId from enumerateDevices()). During a
  // call the new device replaces the old one; rejects, keeping the old one,
  // when it cannot be opened. Outside a call, or in a listen-only call, it
  // is the device the next start() opens.
  async setInputDevice(deviceId) {
    this.inputDevice = deviceId || null;
    if (!this.running || !this.mic) return;
    const session = this.session;
    const stream = await this.openMic(this.inputDevice);
    if (session !== this.session || !this.mic) {
      for (const t of stream.getTracks()) t.stop();
      return;
    }
    const source = this.mic.context.createMediaStreamSource(stream);
    if (this.micSource) this.micSource.disconnect();
    this.stopTracks();
    this.stream = stream;
    source.connect(this.mic);
    this.micSource = source;
  }

  // Plays through another output (a deviceId of an 'audiooutput'); rejects
  // where the engine cannot choose (see canChooseOutput).
  async setOutputDevice(deviceId) {
    if (!this.canChooseOutput) throw new Error('this browser cannot choose the audio output');
    this.outputDevice = deviceId || '';
    if (this.ctx) await this.ctx.setSinkId(this.outputDevice);
  }

  reportFigures() {
    this.fig.postsPerSecond = this.rate.perSecond(performance.now());
    this.onFigures({ ...this.fig, state: this.s.state });
    this.fig.peakMs = this.fig.fillMs;
  }
}
