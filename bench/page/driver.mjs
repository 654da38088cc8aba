// The bench's page-side driver: one call of the browser client (served
// from /call-audio-client.js), watched from outside the client wherever it
// can be, so that the same driver measures an older client and a newer one
// in every engine. bench/network_browser.mjs loads it in bench.html, clicks
// #call and, after the call, reads window.bench.finish(). Times are epoch
// milliseconds (performance.timeOrigin + now()).
//
// - Microphone: the frames the microphone worklet hands over
//   (client.onMicFrame) are stamped with the card's numbering pattern,
//   frame n carrying samples 320 n ..., and their hand-over times kept. A
//   client that hands the page no frames has its posts stamped instead,
//   by their `seq` (fetch-tap.mjs), and the bench dates the frames from
//   the posts.
// - Posts: timed by a fetch() wrapper, in the page and in module workers.
// - Downlink, dated by the output clock: what reaches each context's
//   destination is tapped (output-tap.mjs) with the context time of its
//   first sample; the pattern read from it gives card frame numbers. A
//   client that reports which input samples it played
//   (onPlayedInput({ at, blocks: [[first, count], ...], inserted })) is
//   dated from its reports instead, its input samples matched with card
//   frames by reading the stream as it passes (fetch-tap.mjs).
// - With `keep=1` in the page's hash, what reached the output is kept
//   whole (16-bit, each tapped batch with its context time and epoch time),
//   and so are the places where the player's report shows a join: output
//   it made up (stretches, concealment) or input it skipped or replayed.
// - bench.block(ms) keeps the page's thread busy for ms (a page that
//   stalls its own thread); it returns the epoch times it ran between.
import { CallAudioClient } from '/call-audio-client.js';
import { CHANNEL, installFetchTap, stampAtPosts } from './fetch-tap.mjs';
import { RATE, decodeAt, pattern } from './pattern.mjs';

const now = () => performance.timeOrigin + performance.now();
const FRAME = 320;
const POINT_MS = 20;      // at most one downlink point per this much output
// A performanceTime this close to the time of reading is taken as the
// engine's own (Chromium's trails it by up to a device period).
const READING_SLACK_MS = 20;
const B = window.bench = {
  figures: [], down: [], downReport: [], ready: [], posts: [], states: [], errors: [], liveAt: 0,
  inserted: 0, reports: 0, streams: {}, clock: {}, micHook: false, workers: [], output: [], joins: [],
};
const hash = new URLSearchParams(location.hash.slice(1));
const KEEP = hash.get('keep') === '1';
addEventListener('error', (e) => B.errors.push(String(e.message || e)));
addEventListener('unhandledrejection', (e) => B.errors.push(String(e.reason)));

// ---- what the fetch taps see, here and in workers ----

let stream = null;            // the newest stream: { id, runs: [[index, g], ...] }
function onTap(m) {
  if (m.kind === 'post') B.posts.push([m.t, m.rtt, m.status, m.size, m.seq]);
  else if (m.kind === 'stream') { stream = { id: m.id, runs: [] }; B.streams[m.id] = m.t; }
  else if (m.kind === 'run' && stream && stream.id === m.id) stream.runs.push([m.index, m.g]);
}
installFetchTap(window, onTap, 'page');
new BroadcastChannel(CHANNEL).onmessage = (e) => onTap(e.data);

// Module workers start with the fetch tap imported ahead of their script.
const RealWorker = window.Worker;
window.Worker = class extends RealWorker {
  constructor(url, opts = {}) {
    const abs = new URL(url, location.href).href;
    if (opts.type !== 'module') { B.workers.push(['not watched (classic)', abs]); super(url, opts); return; }
    const tap = new URL('./fetch-tap.mjs', import.meta.url).href;
    const src = `import { stampAtPosts } from ${JSON.stringify(tap)};\nimport ${JSON.stringify(abs)};\n`
      + `stampAtPosts(${!B.micHook});\n`;
    super(URL.createObjectURL(new Blob([src], { type: 'text/javascript' })), opts);
    B.workers.push(['watched', abs]);
  }
};

// Card frame number of the newest stream's input sample `index`, or -1.
function cardFrame(index) {
  const runs = stream ? stream.runs : [];
  let lo = 0;
  let hi = runs.length - 1;
  if (hi < 0 || index < runs[0][0]) return -1;
  while (lo < hi) {
    const mid = (lo + hi + 1) >> 1;
    if (runs[mid][0] <= index) lo = mid; else hi = mid - 1;
  }
  return runs[lo][1] + (index - runs[lo][0]);
}

// ---- the output clock ----

// Epoch ms at which context time t leaves the output. getOutputTimestamp()
// gives contextTime, the frame at the output now, and performanceTime, when
// it is there. Where performanceTime is not the time of reading (Firefox
// 153 moves it back by outputLatency together with contextTime, WebKitGTK
// 2.50's runs at twice the page's clock), contextTime is taken with the
// time of reading. Without getOutputTimestamp: the render clock plus the
// context's stated latencies.
function outputClock(ctx) {
  const c = B.clock;
  if (!c.rate) {
    Object.assign(c, { rate: ctx.sampleRate, getOutputTimestamp: typeof ctx.getOutputTimestamp === 'function',
                       outputLatencyMs: typeof ctx.outputLatency === 'number' ? ctx.outputLatency * 1000 : null,
                       baseLatencyMs: typeof ctx.baseLatency === 'number' ? ctx.baseLatency * 1000 : null,
                       byTimestamp: 0, byContextTime: 0, byRenderClock: 0, trace: [] });
  }
  const reading = performance.now();
  const ts = c.getOutputTimestamp ? ctx.getOutputTimestamp() : null;
  const ct = ctx.currentTime;
  // A few readings of the clocks, kept for whoever checks the dating.
  if (c.trace.length < 40 && (c.byTimestamp + c.byContextTime + c.byRenderClock) % 10 === 0) {
    c.trace.push([reading, ct, ts ? ts.contextTime : null, ts ? ts.performanceTime : null]);
  }
  if (ts && ts.contextTime > 0) {
    const timely = Math.abs(ts.performanceTime - reading) < READING_SLACK_MS;
    const at = timely ? ts.performanceTime : reading;
    c[timely ? 'byTimestamp' : 'byContextTime'] += 1;
    return (t) => performance.timeOrigin + at + (t - ts.contextTime) * 1000;
  }
  c.byRenderClock += 1;
  const lat = (ctx.baseLatency || 0) + (ctx.outputLatency || 0);
  return (t) => performance.timeOrigin + reading + (t - ct + lat) * 1000;
}

// ---- the output tap ----

const TAP_URL = new URL('./output-tap.mjs', import.meta.url).href;
const tapModules = new WeakMap();     // AudioWorklet -> promise of the tap's module
const taps = new WeakMap();           // context -> its tap node
let playerCtx = null;                 // the first context whose output was tapped

function tapModule(worklet, add) {
  if (!tapModules.has(worklet)) tapModules.set(worklet, add.call(worklet, TAP_URL));
  return tapModules.get(worklet);
}

const realAdd = AudioWorklet.prototype.addModule;
AudioWorklet.prototype.addModule = function (url, opts) {
  return Promise.all([tapModule(this, realAdd), realAdd.call(this, url, opts)]).then(() => undefined);
};

const realConnect = AudioNode.prototype.connect;
AudioNode.prototype.connect = function (dest, ...rest) {
  const r = realConnect.call(this, dest, ...rest);
  if (dest instanceof AudioDestinationNode && !(this instanceof AudioWorkletNode && this.benchTap)) {
    const node = this;
    const ctx = node.context;
    tapModule(ctx.audioWorklet, realAdd).then(() => realConnect.call(node, tapOf(ctx)))
      .catch((e) => B.errors.push('output tap: ' + e));
  }
  return r;
};

function tapOf(ctx) {
  if (!taps.has(ctx)) {
    const tap = new AudioWorkletNode(ctx, 'callaudio-bench-output-tap',
      { numberOfInputs: 1, numberOfOutputs: 1, outputChannelCount: [1] });
    tap.benchTap = true;
    tap.port.onmessage = (e) => onOutput(ctx, e.data.at, e.data.samples);
    realConnect.call(tap, ctx.destination);
    taps.set(ctx, tap);
  }
  return taps.get(ctx);
}

function onOutput(ctx, at, samples) {
  if (ctx.state === 'closed') return;
  playerCtx = playerCtx || ctx;
  if (ctx.sampleRate !== RATE) return;   // the pattern does not survive resampling
  const toEpoch = outputClock(ctx);
  const ints = Int16Array.from(samples, (x) => Math.round(x * 32768));
  if (KEEP) B.output.push([toEpoch(at), at, ints]);
  for (let start = 0; start + 8 <= ints.length; start += FRAME) {
    for (let i = start; i < start + 64 && i + 8 <= ints.length; i++) {
      const g = decodeAt(ints, i);
      if (g >= 0) { B.down.push([toEpoch(at + i / RATE), g]); break; }
    }
  }
}

// ---- the player's own report ----

let lastPoint = -Infinity;
let nextInput = -1;           // the input sample that follows what played so far
function onPlayedInput(report) {
  B.reports += 1;
  B.inserted += report.inserted || 0;
  if (KEEP) noteJoins(report);
  const ctx = (client && client.ctx) || playerCtx;
  if (!ctx || !report.blocks || !report.blocks.length) return;
  const toEpoch = outputClock(ctx);
  let off = 0;
  for (const [first, count] of report.blocks) {
    const t = toEpoch(report.at + off / RATE);
    const g = cardFrame(first);
    if (g >= 0 && t - lastPoint >= POINT_MS) { B.downReport.push([t, g]); lastPoint = t; }
    off += count;
  }
}

// Joins in the player's output, [context time, kind, samples]: 'made'
// (output not from the input) and 'back to input' at its end, 'skip'
// (input skipped), 'back' (input played again, or a new stream).
function noteJoins(report) {
  let off = 0;
  for (const [first, count] of report.blocks) {
    const at = report.at + off / RATE;
    if (first < 0) B.joins.push([at, 'made', count], [at + count / RATE, 'back to input', count]);
    else {
      const gap = nextInput >= 0 ? first - nextInput : 0;
      if (gap !== 0) B.joins.push([at, gap > 0 ? 'skip' : 'back', gap]);
      nextInput = first + count;
    }
    off += count;
  }
}

// Base64 of 16-bit samples, to carry them out of the page in a JSON value.
function base64(ints) {
  const bytes = new Uint8Array(ints.buffer, ints.byteOffset, ints.byteLength);
  let s = '';
  for (let i = 0; i < bytes.length; i += 8192) s += String.fromCharCode(...bytes.subarray(i, i + 8192));
  return btoa(s);
}

B.block = (ms) => {
  const from = now();
  while (now() < from + ms) { /* the page's thread does nothing else */ }
  return [from, now()];
};

// ---- the client ----

const client = new CallAudioClient({
  service: hash.get('service'), token: hash.get('token'),
  onState: (s) => { B.states.push({ t: now(), ...s }); if (s.state === 'live' && !B.liveAt) B.liveAt = now(); },
  onFigures: (f) => B.figures.push({ t: now(), ...f }),
  onPlayedInput,
});
if (typeof client.onMicFrame === 'function') {
  B.micHook = true;
  stampAtPosts(false);
  let n = 0;
  const onMicFrame = client.onMicFrame.bind(client);
  client.onMicFrame = (bytes, ...rest) => {
    const v = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    for (let i = 0; i < bytes.byteLength / 2; i++) v.setInt16(2 * i, pattern(n * FRAME + i), true);
    B.ready.push(now());
    n += 1;
    return onMicFrame(bytes, ...rest);
  };
}

document.getElementById('call').onclick = () => { client.start().catch((e) => B.errors.push('start: ' + e)); };
B.finish = () => {
  const ctx = client.ctx || playerCtx;
  if (ctx) outputClock(ctx);
  client.stop();
  return { live_at: B.liveAt, figures: B.figures, down: B.down, down_report: B.downReport, inserted: B.inserted,
           reports: B.reports, ready: B.ready, posts: B.posts, states: B.states, clock: B.clock,
           mic_hook: B.micHook, workers: B.workers, streams: Object.keys(B.streams).length, page_errors: B.errors,
           user_agent: navigator.userAgent, joins: B.joins,
           output: B.output.map(([t, at, ints]) => [t, at, base64(ints)]) };
};
B.loaded = true;
