// <call-audio-panel>: the call panel an integrator drops into a router's web
// interface. A custom element (shadow DOM, no framework) on top of
// CallAudioClient; the guide is docs/call-panel.md.
//
//   <script type="module" src="/call-audio/call-audio-panel.js"></script>
//   <call-audio-panel service="https://192.168.1.1:9444"></call-audio-panel>
//   <script type="module">
//     document.querySelector('call-audio-panel').getToken =
//       async () => (await fetch('/my/backend/audio-token')).text();
//   </script>
//
// The token only ever comes from that callback (or a global function named
// by the token-provider attribute): never from a field the user sees.
import { CallAudioClient } from './call-audio-client.js';

// Every text the panel shows or announces. Set `panel.strings` to an object
// with any of these keys to replace them (translation, wording of the
// router's UI); keys left out keep these.
export const DEFAULT_STRINGS = Object.freeze({
  title: 'Phone call',
  call: 'Call',
  hangUp: 'Hang up',
  tryAgain: 'Try again',
  takeBack: 'Take the call back',
  openService: 'Open the router\'s address',
  resume: 'Resume audio',
  mute: 'Mute',
  volume: 'Volume',
  listenOnly: 'Listen only',
  microphone: 'Microphone',
  speaker: 'Speaker',
  device: 'Device',
  callTime: 'Call time',
  link: 'Link',
  good: 'good',
  fair: 'fair',
  poor: 'poor',
  measuring: 'measuring',
  deviceFailed: 'That device could not be used; the previous one stays.',
  idleTitle: 'Ready',
  idleText: 'Press Call to listen to the modem\'s call and speak into it.',
  connectingTitle: 'Connecting…',
  connectingText: '',
  liveTitle: 'In call',
  liveText: '',
  listenOnlyTitle: 'In call, listening only',
  micDeniedText: 'The microphone is blocked, so you can listen but not speak. To speak, allow the '
    + 'microphone for this site in the browser\'s settings, then call again.',
  micAbsentText: 'No microphone was found, so you can listen but not speak.',
  suspendedText: 'The browser paused the call\'s audio. Press Resume audio.',
  interruptedText: 'The system interrupted the call\'s audio (another call or app). Press Resume audio.',
  insecureTitle: 'This page is not secure',
  insecureText: 'Browsers allow the microphone and call audio only on secure pages. Open the router\'s '
    + 'interface with an https:// address.',
  microphoneTitle: 'Microphone not available',
  microphoneText: 'The browser refused the microphone, or there is none. Allow it in the browser\'s '
    + 'site settings, or tick Listen only, then call again.',
  noCardTitle: 'Waiting for a call',
  noCardText: 'The modem has no call right now. The panel connects as soon as a call starts.',
  captureUnavailableTitle: 'Call audio unavailable',
  captureUnavailableText: 'The modem\'s call audio could not be opened. Try again; if this keeps '
    + 'happening, restart the router.',
  retryingTitle: 'Retrying…',
  retryingText: 'The modem\'s call audio could not be opened yet.',
  takenOverTitle: 'Call taken over',
  takenOverText: 'Another page or device is listening to the call now. Take it back here if you want it.',
  tokenRefusedTitle: 'Access refused',
  tokenRefusedText: 'The router refused this page\'s access, or it expired. Sign in to the router\'s '
    + 'interface again (reload the page), then try again.',
  renewingTitle: 'Renewing access…',
  renewingText: '',
  certificateTitle: 'Router not reachable',
  certificateText: 'This browser may not trust the router\'s certificate yet. Open the router\'s address, '
    + 'accept its certificate, come back and try again. If that address does not open either, the call '
    + 'service is not running.',
  networkTitle: 'Service unreachable',
  networkText: 'The router stopped answering. Check that this device is connected to the router, '
    + 'then try again.',
  reconnectingTitle: 'Reconnecting…',
  reconnectingText: 'The connection to the router was lost.',
  serviceTitle: 'Unexpected answer',
  serviceText: 'The call service gave an answer this page does not understand. Try again; if this keeps '
    + 'happening, the router\'s software and this page may not match.',
});

// What the panel shows for a client state: [title key, text key, actions,
// tone]. Actions are the buttons offered as the next step.
function viewOf(s) {
  const p = s.problem;
  if (p === 'insecure') return ['insecure', 'insecureTitle', 'insecureText', [], 'error'];
  switch (s.state) {
    case 'connecting': return ['connecting', 'connectingTitle', 'connectingText', ['hangUp'], 'info'];
    case 'live':
      if (s.listenOnly || s.mic === 'denied' || s.mic === 'absent') {
        return ['listen-only', 'listenOnlyTitle', s.mic === 'denied' ? 'micDeniedText'
          : s.mic === 'absent' ? 'micAbsentText' : 'liveText', ['hangUp'], s.mic === 'denied' ? 'warn' : 'ok'];
      }
      return ['live', 'liveTitle', 'liveText', ['hangUp'], 'ok'];
    case 'waiting':
      if (p === 'no-card') return ['no-card', 'noCardTitle', 'noCardText', ['hangUp'], 'info'];
      if (p === 'token-refused') return ['renewing', 'renewingTitle', 'renewingText', ['hangUp'], 'info'];
      if (p === 'capture-unavailable') return ['retrying', 'retryingTitle', 'retryingText', ['hangUp'], 'warn'];
      return ['reconnecting', 'reconnectingTitle', 'reconnectingText', ['hangUp'], 'warn'];
    case 'ended':
      switch (p) {
        case 'taken-over': return ['taken-over', 'takenOverTitle', 'takenOverText', ['takeBack'], 'warn'];
        case 'token-refused': return ['token-refused', 'tokenRefusedTitle', 'tokenRefusedText', ['tryAgain'], 'error'];
        case 'certificate':
          return ['certificate', 'certificateTitle', 'certificateText', ['openService', 'tryAgain'], 'error'];
        case 'network': return ['network', 'networkTitle', 'networkText', ['tryAgain'], 'error'];
        case 'microphone': return ['microphone', 'microphoneTitle', 'microphoneText', ['tryAgain'], 'error'];
        case 'no-card': return ['no-card-ended', 'noCardTitle', 'noCardText', ['tryAgain'], 'info'];
        case 'capture-unavailable':
          return ['capture-unavailable', 'captureUnavailableTitle', 'captureUnavailableText', ['tryAgain'], 'error'];
        default: return ['service', 'serviceTitle', 'serviceText', ['tryAgain'], 'error'];
      }
    default: return ['idle', 'idleTitle', 'idleText', ['call'], 'info'];
  }
}

// Link quality over the last reports (oldest first; the client sends four a
// second). Counters in the figures are totals since the call started, so a
// window's events are the difference between its last and first report.
// Thresholds: a round trip that hurts conversation (150 ms fair, 400 ms
// poor, as one-way delay budgets for voice go), audio the listener hears
// break up (any underrun fair, 3 or more in the window poor), speech that
// did not reach the card (any failed or timed-out post fair, 5 or more poor:
// 2 % of the 250 posts of 5 s), and the player's own delay (150 / 300 ms).
// Returns 'good', 'fair', 'poor', or null before two reports.
export const QUALITY_WINDOW = 20;
export const QUALITY = Object.freeze({
  rttMs: [150, 400],
  underruns: [1, 3],
  lostPosts: [1, 5],
  playerDelayMs: [150, 300],
});

export function linkQuality(reports) {
  if (reports.length < 2) return null;
  const a = reports[0];
  const b = reports[reports.length - 1];
  const delta = (k) => Math.max(0, (b[k] || 0) - (a[k] || 0));
  const seen = {
    rttMs: b.rttMs || 0,
    underruns: delta('underruns'),
    lostPosts: delta('postsFailed') + delta('postsTimedOut'),
    playerDelayMs: b.playerDelayMs || 0,
  };
  let level = 0;
  for (const [k, [fair, poor]] of Object.entries(QUALITY)) {
    if (seen[k] >= poor) level = 2;
    else if (seen[k] >= fair) level = Math.max(level, 1);
  }
  return ['good', 'fair', 'poor'][level];
}

// "m:ss", or "h:mm:ss" from an hour on.
export function formatDuration(ms) {
  const t = Math.max(0, Math.floor(ms / 1000));
  const h = Math.floor(t / 3600);
  const m = Math.floor(t / 60) % 60;
  const s = String(t % 60).padStart(2, '0');
  return h ? `${h}:${String(m).padStart(2, '0')}:${s}` : `${m}:${s}`;
}

const STYLE = `
:host {
  --_bg: var(--call-audio-bg, #fff);
  --_fg: var(--call-audio-fg, #1b1f24);
  --_muted: var(--call-audio-muted, #59616b);
  --_border: var(--call-audio-border, #c9ced4);
  --_accent: var(--call-audio-accent, #0b5cad);
  --_on-accent: var(--call-audio-on-accent, #fff);
  --_ok: var(--call-audio-ok, #17733a);
  --_warn: var(--call-audio-warn, #8a5300);
  --_error: var(--call-audio-error, #b3261e);
  --_hangup: var(--call-audio-hangup, #b3261e);
  --_radius: var(--call-audio-radius, 10px);
  --_gap: var(--call-audio-gap, .75rem);
  display: block;
  max-width: var(--call-audio-max-width, 32rem);
  font: var(--call-audio-font, 1rem/1.4 system-ui, sans-serif);
  color: var(--_fg);
}
:host([hidden]) { display: none; }
* { box-sizing: border-box; }
.panel { background: var(--_bg); border: 1px solid var(--_border); border-radius: var(--_radius);
  padding: var(--_gap); display: grid; gap: var(--_gap); }
.top { display: flex; flex-wrap: wrap; align-items: baseline; gap: .25rem var(--_gap); }
h2 { font-size: 1.15em; margin: 0; flex: 1 1 auto; }
.timer { font-variant-numeric: tabular-nums; font-weight: 600; }
.quality { display: inline-flex; align-items: flex-end; gap: .35em; color: var(--_muted); }
.bars { display: inline-flex; align-items: flex-end; gap: 2px; height: 1em; }
.bars i { width: 4px; background: var(--_border); border-radius: 1px; }
.bars i:nth-child(1) { height: 40%; } .bars i:nth-child(2) { height: 70%; } .bars i:nth-child(3) { height: 100%; }
[data-quality=good] .bars i { background: var(--_ok); }
[data-quality=fair] .bars i:nth-child(-n+2) { background: var(--_warn); }
[data-quality=poor] .bars i:nth-child(1) { background: var(--_error); }
.status { border-left: 4px solid var(--_accent); padding: .1rem 0 .1rem .6rem; }
.status[data-tone=ok] { border-color: var(--_ok); }
.status[data-tone=warn] { border-color: var(--_warn); }
.status[data-tone=error] { border-color: var(--_error); }
.status strong { display: block; }
.status p { margin: .2rem 0 0; color: var(--_muted); }
.status p:empty { display: none; }
.row { display: flex; flex-wrap: wrap; align-items: center; gap: .5rem var(--_gap); }
button, a.button, select, input[type=range] { font: inherit; min-height: 2.75rem; }
button, a.button { border-radius: var(--_radius); border: 1px solid var(--_border); padding: .5rem 1.1rem;
  background: var(--_bg); color: var(--_fg); cursor: pointer; text-decoration: none;
  display: inline-flex; align-items: center; }
button.primary { background: var(--_accent); border-color: var(--_accent); color: var(--_on-accent); }
button.hangup { background: var(--_hangup); border-color: var(--_hangup); color: var(--_on-accent); }
button[aria-pressed=true] { background: var(--_fg); color: var(--_bg); }
button:disabled { opacity: .5; cursor: not-allowed; }
:focus-visible { outline: 3px solid var(--_accent); outline-offset: 2px; }
label { display: inline-flex; align-items: center; gap: .5em; }
.field { flex: 1 1 12rem; min-width: 0; }
.field select, .field input[type=range] { flex: 1 1 auto; min-width: 0; }
select { border: 1px solid var(--_border); border-radius: var(--_radius); background: var(--_bg); color: var(--_fg);
  padding: 0 .5rem; max-width: 100%; }
input[type=checkbox] { width: 1.25rem; height: 1.25rem; }
[hidden] { display: none !important; }
`;

const HTML = `
<section class="panel" part="panel" aria-labelledby="title">
  <div class="top">
    <h2 id="title" part="title"></h2>
    <span class="timer" id="timer" part="timer" role="timer" hidden></span>
    <span class="quality" id="quality" part="quality" hidden><span class="bars" aria-hidden="true"><i></i><i></i><i></i></span><span id="quality-text"></span></span>
  </div>
  <div class="status" id="status" part="status" role="status" aria-live="polite" aria-atomic="true">
    <strong id="headline"></strong><p id="text"></p><p id="notice"></p>
  </div>
  <div class="row" id="actions">
    <button type="button" id="call" class="primary" part="button call"></button>
    <button type="button" id="hangUp" class="hangup" part="button hang-up"></button>
    <button type="button" id="tryAgain" class="primary" part="button try-again"></button>
    <button type="button" id="takeBack" class="primary" part="button take-back"></button>
    <a id="openService" class="button" part="button open-service" target="_blank" rel="noopener noreferrer"></a>
    <button type="button" id="resume" class="primary" part="button resume"></button>
  </div>
  <div class="row">
    <button type="button" id="mute" part="button mute" aria-pressed="false"></button>
    <label class="field"><span id="volume-label"></span><input type="range" id="volume" min="0" max="100" step="5" value="100"></label>
    <label><input type="checkbox" id="listenOnly"><span id="listen-label"></span></label>
  </div>
  <div class="row" id="devices" hidden>
    <label class="field" id="mic-field"><span id="mic-label"></span><select id="mic"></select></label>
    <label class="field" id="out-field"><span id="out-label"></span><select id="out"></select></label>
  </div>
</section>`;

let sheet = undefined;   // one constructed sheet for every panel; null where there is none
function styleSheet() {
  if (sheet === undefined) {
    sheet = null;
    try {
      if (globalThis.ShadowRoot && 'adoptedStyleSheets' in ShadowRoot.prototype) {
        sheet = new CSSStyleSheet();
        sheet.replaceSync(STYLE);
      }
    } catch {
      sheet = null;
    }
  }
  return sheet;
}

const ACTIONS = ['call', 'hangUp', 'tryAgain', 'takeBack', 'openService', 'resume'];
const API = '/api/v1/voice_call/audio';

const Base = globalThis.HTMLElement || class {};

export class CallAudioPanel extends Base {
  static get observedAttributes() { return ['service', 'listen-only']; }

  constructor() {
    super();
    this._strings = { ...DEFAULT_STRINGS };
    this._getToken = null;
    this._token = '';          // the last token the callback gave; '' when none or refused
    this._tokenAsk = null;     // the pending callback, shared by whoever waits
    this._client = null;
    this._state = { state: 'idle', problem: null };
    this._view = '';
    this._reports = [];
    this._liveSince = 0;
    this._tick = null;
    this._volume = 1;
    this._muted = false;
    this._inputId = '';
    this._outputId = '';
    this._notice = '';
    this.clientOptions = {};   // more CallAudioClient options (tests, monitoring)
    const root = this.attachShadow({ mode: 'open' });
    // A constructed style sheet needs no 'unsafe-inline' in the page's CSP;
    // engines without one get a <style> element.
    const sheet = styleSheet();
    if (sheet) root.adoptedStyleSheets = [sheet];
    root.innerHTML = sheet ? HTML : `<style>${STYLE}</style>${HTML}`;
    this.$ = (id) => root.getElementById(id);
    this.$('call').addEventListener('click', () => this.call());
    this.$('tryAgain').addEventListener('click', () => this.call());
    this.$('takeBack').addEventListener('click', () => this.call());
    this.$('hangUp').addEventListener('click', () => this.hangUp());
    this.$('resume').addEventListener('click', () => this._client && this._client.resume().catch(() => {}));
    this.$('mute').addEventListener('click', () => this.setMuted(!this._muted));
    this.$('volume').addEventListener('input', (e) => {
      this._volume = Number(e.target.value) / 100;
      if (this._client) this._client.setVolume(this._volume);
    });
    this.$('listenOnly').addEventListener('change', (e) => { this.listenOnly = e.target.checked; });
    this.$('mic').addEventListener('change', (e) => this._chooseDevice('input', e.target));
    this.$('out').addEventListener('change', (e) => this._chooseDevice('output', e.target));
    this._onDevices = () => this._fillDevices();
    // Browsers drop a wake lock when the page is hidden; it is asked again
    // when the page shows while the call is live.
    this._onVisible = () => this._keepAwake(this._state.state === 'live');
    this._wakeLock = null;
  }

  connectedCallback() {
    if (globalThis.navigator && navigator.mediaDevices && navigator.mediaDevices.addEventListener) {
      navigator.mediaDevices.addEventListener('devicechange', this._onDevices);
    }
    if (globalThis.isSecureContext === false && !this._client) this._state = { state: 'ended', problem: 'insecure' };
    document.addEventListener('visibilitychange', this._onVisible);
    this._render();
    this._askToken().catch(() => {});
  }

  disconnectedCallback() {
    if (globalThis.navigator && navigator.mediaDevices && navigator.mediaDevices.removeEventListener) {
      navigator.mediaDevices.removeEventListener('devicechange', this._onDevices);
    }
    document.removeEventListener('visibilitychange', this._onVisible);
    this.hangUp();
  }

  attributeChangedCallback() { this._render(); }

  get service() { return this.getAttribute('service') || ''; }
  set service(v) { this.setAttribute('service', v); }

  get listenOnly() { return this.hasAttribute('listen-only'); }
  set listenOnly(v) { this.toggleAttribute('listen-only', !!v); }

  // async () => token. May return the same token again; the client asks it
  // when the service refuses the token it has.
  get getToken() {
    if (this._getToken) return this._getToken;
    const name = this.getAttribute('token-provider');
    const fn = name ? name.split('.').reduce((o, k) => (o == null ? o : o[k]), globalThis) : null;
    return typeof fn === 'function' ? fn : null;
  }
  set getToken(fn) {
    this._getToken = typeof fn === 'function' ? fn : null;
    this._askToken().catch(() => {});
  }

  get strings() { return this._strings; }
  set strings(v) {
    this._strings = { ...DEFAULT_STRINGS, ...(v || {}) };
    this._view = '';
    this._render();
  }

  get client() { return this._client; }
  get state() { return { ...this._state }; }

  // Asks the integrator's callback for a token; calls that overlap share
  // one question. Resolves to the token ('' when there is none).
  _askToken() {
    const ask = this.getToken;
    if (!ask) return Promise.resolve(this._token);
    if (!this._tokenAsk) {
      const wait = Promise.resolve().then(() => ask()).then((t) => {
        this._token = t ? String(t) : '';
        return this._token;
      }).finally(() => { if (this._tokenAsk === wait) this._tokenAsk = null; });
      this._tokenAsk = wait;
    }
    return this._tokenAsk;
  }

  // Starts a call. Call it from a user gesture (a click or key press): audio
  // may only start there. The token asked for when the panel was attached is
  // used at once, so the client starts inside the gesture.
  call() {
    if (this._client && this._active()) return;
    this._stopClient();
    if (globalThis.isSecureContext === false) {
      this._show({ state: 'ended', problem: 'insecure' });
      return;
    }
    if (!this._token) {
      // No token yet: the gesture may lapse while the callback answers, in
      // which case the client reports needsGesture and Resume appears.
      this._show({ state: 'connecting', problem: null });
      this._askToken().then((t) => {
        if (t) this._startClient(t);
        else this._show({ state: 'ended', problem: 'token-refused' });
      }, () => this._show({ state: 'ended', problem: 'token-refused' }));
      return;
    }
    this._startClient(this._token);
  }

  hangUp() {
    if (!this._client) return;
    this._client.stop();
    this._stopClient();
  }

  // Shows a client state without a call, to check a theme or a translation
  // in every view: preview({ state: 'ended', problem: 'network' }). Ends
  // any call first.
  preview(state) {
    this.hangUp();
    this._show({ state: 'idle', problem: null, ...state });
  }

  setMuted(on) {
    this._muted = !!on;
    if (this._client) this._client.setMuted(this._muted);
    this._render();
  }

  _startClient(token) {
    const client = new CallAudioClient({
      ...this.clientOptions,
      service: this.service,
      token,
      getToken: () => this._askToken(),
      listen: true,
      speak: !this.listenOnly,
      onState: (s) => { if (this._client === client) this._show(s); },
      onFigures: (f) => { if (this._client === client) this._figures(f); },
    });
    this._client = client;
    this._reports = [];
    this._liveSince = 0;
    this._notice = '';
    client.setVolume(this._volume);
    client.setMuted(this._muted);
    // start() creates the audio context before its first await: it must run
    // in this call stack to inherit the user gesture.
    const started = client.start();
    if (started && started.catch) {
      started.catch(() => { if (this._client === client) this._show({ ...client.state, state: 'ended', problem: 'service' }); });
    }
    if (this._inputId) client.setInputDevice(this._inputId).catch(() => {});
    if (this._outputId && client.canChooseOutput) client.setOutputDevice(this._outputId).catch(() => {});
    this._show(client.state);
  }

  _stopClient() {
    this._client = null;
    clearInterval(this._tick);
    this._tick = null;
    this._liveSince = 0;
    this._render();
  }

  _active() {
    const s = this._state.state;
    return s === 'connecting' || s === 'live' || s === 'waiting';
  }

  _show(s) {
    this._state = { ...s };
    if (s.state === 'live' && !this._liveSince) this._liveSince = Date.now();
    if (this._active() && !this._tick) this._tick = setInterval(() => this._renderTimer(), 1000);
    if (!this._active()) {
      clearInterval(this._tick);
      this._tick = null;
    }
    if (s.state === 'ended' && s.problem === 'token-refused') {
      // The token is known bad: ask for the next one now, so that Try again
      // can start inside its click.
      this._token = '';
      this._askToken().catch(() => {});
    }
    if (s.state === 'live') this._fillDevices();
    this._keepAwake(s.state === 'live');
    this._render();
    this.dispatchEvent(new CustomEvent('statechange', { detail: { ...s, view: this._view } }));
  }

  // Keeps the screen on while the call is live, where the browser offers a
  // screen wake lock: a phone that locks itself suspends the page's audio.
  async _keepAwake(on) {
    const api = globalThis.navigator && navigator.wakeLock;
    if (!api) return;
    if (!on) {
      const lock = this._wakeLock;
      this._wakeLock = null;
      if (lock && lock.release) lock.release().catch(() => {});
      return;
    }
    if (this._wakeLock || document.visibilityState !== 'visible') return;
    const asking = {};
    this._wakeLock = asking;
    let lock = null;
    try {
      lock = await api.request('screen');
    } catch {
      lock = null;   // refused (no user activation, a policy, low battery): the call goes on
    }
    if (this._wakeLock !== asking || this._state.state !== 'live') {
      if (lock) lock.release().catch(() => {});
      if (this._wakeLock === asking) this._wakeLock = null;
      return;
    }
    this._wakeLock = lock;
    if (lock) lock.addEventListener('release', () => { if (this._wakeLock === lock) this._wakeLock = null; });
  }

  _figures(f) {
    this._reports.push(f);
    if (this._reports.length > QUALITY_WINDOW) this._reports.shift();
    this._renderQuality();
    this.dispatchEvent(new CustomEvent('figures', { detail: f }));
  }

  async _chooseDevice(kind, select) {
    const id = select.value;
    const c = this._client;
    if (kind === 'input') this._inputId = id; else this._outputId = id;
    if (!c) return;
    try {
      await (kind === 'input' ? c.setInputDevice(id) : c.setOutputDevice(id));
      this._notice = '';
    } catch {
      this._notice = this._strings.deviceFailed;
    }
    this._render();
  }

  async _fillDevices() {
    const md = globalThis.navigator && navigator.mediaDevices;
    if (!md || !md.enumerateDevices) return;
    let list = [];
    try {
      list = await md.enumerateDevices();
    } catch {
      return;
    }
    const fill = (select, kind, chosen) => {
      const devices = list.filter((d) => d.kind === kind && d.deviceId);
      const key = devices.map((d) => d.deviceId + '\n' + d.label).join('\n');
      if (select.dataset.key !== key) {
        select.dataset.key = key;
        select.replaceChildren(...devices.map((d, i) => {
          const o = document.createElement('option');
          o.value = d.deviceId;
          o.textContent = d.label || `${this._strings.device} ${i + 1}`;
          return o;
        }));
      }
      if (chosen && devices.some((d) => d.deviceId === chosen)) select.value = chosen;
      return devices.length;
    };
    this._deviceCounts = { input: fill(this.$('mic'), 'audioinput', this._inputId),
                           output: fill(this.$('out'), 'audiooutput', this._outputId) };
    this._render();
  }

  _renderTimer() {
    const el = this.$('timer');
    el.hidden = !this._liveSince || !this._active();
    el.textContent = this._liveSince ? formatDuration(Date.now() - this._liveSince) : '';
  }

  _renderQuality() {
    const el = this.$('quality');
    const q = this._state.state === 'live' ? linkQuality(this._reports) : null;
    el.hidden = this._state.state !== 'live';
    el.dataset.quality = q || '';
    const text = `${this._strings.link}: ${this._strings[q || 'measuring']}`;
    if (this.$('quality-text').textContent !== text) this.$('quality-text').textContent = text;
  }

  _render() {
    if (!this.$) return;
    const S = this._strings;
    const s = this._state;
    const [view, titleKey, textKey, actions, tone] = viewOf(s);
    this._view = view;
    const set = (id, text) => { if (this.$(id).textContent !== text) this.$(id).textContent = text; };
    set('title', S.title);
    for (const a of ACTIONS) set(a, S[a]);
    set('mute', S.mute);
    set('volume-label', S.volume);
    set('listen-label', S.listenOnly);
    set('mic-label', S.microphone);
    set('out-label', S.speaker);
    this.$('timer').setAttribute('aria-label', S.callTime);
    this.$('volume').setAttribute('aria-valuetext', `${Math.round(this._volume * 100)} %`);

    // The status region is announced whenever its text changes, so it is
    // written only on a change of view or notice, never by the timer.
    const status = this.$('status');
    status.dataset.tone = tone;
    status.dataset.view = view;
    set('headline', S[titleKey]);
    let notice = this._notice;
    if (s.needsGesture || s.audio === 'suspended') notice = S.suspendedText;
    if (s.audio === 'interrupted') notice = S.interruptedText;
    set('text', S[textKey] || '');
    set('notice', notice);

    const shown = new Set(actions);
    if (this._active() && (s.needsGesture || s.audio === 'suspended' || s.audio === 'interrupted')) shown.add('resume');
    for (const a of ACTIONS) this.$(a).hidden = !shown.has(a);
    this.$('call').disabled = globalThis.isSecureContext === false;
    if (shown.has('openService')) {
      // The service's health route, with no token: what the user needs there
      // is the browser's certificate prompt, and a token in this address
      // would be kept in the browser's history.
      this.$('openService').href = this.service.replace(/\/+$/, '') + API + '/health';
    }

    const active = this._active();
    const speaking = active && !this.listenOnly && !s.listenOnly && s.mic !== 'denied' && s.mic !== 'absent';
    const mute = this.$('mute');
    mute.setAttribute('aria-pressed', String(this._muted));
    mute.disabled = !speaking;
    mute.hidden = !active;
    const listen = this.$('listenOnly');
    listen.checked = this.listenOnly || !!s.listenOnly;
    // The microphone is asked for when a call starts; switching needs a new call.
    listen.disabled = active;

    const counts = this._deviceCounts || { input: 0, output: 0 };
    const canOut = !!(this._client && this._client.canChooseOutput);
    this.$('mic-field').hidden = !speaking || counts.input === 0;
    this.$('out-field').hidden = !canOut || counts.output === 0;
    this.$('devices').hidden = !active || (this.$('mic-field').hidden && this.$('out-field').hidden);

    this._renderTimer();
    this._renderQuality();
  }
}

if (globalThis.customElements && !customElements.get('call-audio-panel')) {
  customElements.define('call-audio-panel', CallAudioPanel);
}
