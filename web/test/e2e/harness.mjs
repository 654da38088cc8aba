// What the browser test and the browser bench share: the service on the
// simulated modem card, a static server for web/ (the page's origin), the
// audio helpers a browser needs on a machine without sound hardware, and the
// readers of what the page played and the card received. Every process
// started here is stopped by its pid in stopAll().
import { spawn, execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { decodeAt } from '../../../bench/page/pattern.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
export const WEB = path.resolve(HERE, '..', '..');
export const ROOT = path.resolve(WEB, '..');
export const BUILD = process.env.CALLAUDIO_BUILD_DIR || path.join(ROOT, 'build');
export const BIN = process.env.CALLAUDIO_BIN || path.join(BUILD, 'service', 'call-audio');
export const RATE = 16000;
export const WAIT_MS = 20000;   // the longest any single step waits

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The bench scripts' common options: which engines, how many seconds.
export function benchOptions(args) {
  const opt = (name, def) => {
    const i = args.indexOf(name);
    return i >= 0 && i + 1 < args.length ? args[i + 1] : def;
  };
  return { engines: opt('--engines', 'chromium,firefox,webkit').split(','), seconds: Number(opt('--seconds', '20')) };
}

export async function until(what, fn, timeout = WAIT_MS) {
  const end = Date.now() + timeout;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
    await sleep(100);
  }
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

export function mint(secret, expiry) {
  const digits = String(expiry);
  return digits + '.' + crypto.createHmac('sha256', secret).update(digits).digest('hex');
}

export function writeToneWav(file, hz, amp, rate = 48000, seconds = 4) {
  const n = rate * seconds;
  const data = Buffer.alloc(n * 2);
  for (let i = 0; i < n; i++) {
    data.writeInt16LE(Math.round(amp * 32767 * Math.sin(2 * Math.PI * hz * i / rate)), 2 * i);
  }
  const h = Buffer.alloc(44);
  h.write('RIFF', 0); h.writeUInt32LE(36 + data.length, 4); h.write('WAVE', 8);
  h.write('fmt ', 12); h.writeUInt32LE(16, 16); h.writeUInt16LE(1, 20); h.writeUInt16LE(1, 22);
  h.writeUInt32LE(rate, 24); h.writeUInt32LE(rate * 2, 28); h.writeUInt16LE(2, 32); h.writeUInt16LE(16, 34);
  h.write('data', 36); h.writeUInt32LE(data.length, 40);
  fs.writeFileSync(file, Buffer.concat([h, data]));
}

// The page's origin: a static server for `root` (web/) on loopback.
// `pages` maps further paths to text served from memory (HTML, or a script
// when the path ends in .js or .mjs).
export function serveWeb({ root = WEB, pages = {} } = {}) {
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript', '.css': 'text/css' };
  const server = http.createServer((req, res) => {
    const p = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    if (Object.hasOwn(pages, p)) {
      res.writeHead(200, { 'content-type': types[path.extname(p)] || 'text/html', 'cache-control': 'no-store' })
        .end(pages[p]);
      return;
    }
    const file = path.join(root, p.endsWith('/') ? p + 'index.html' : p);
    if (!file.startsWith(root + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'content-type': types[path.extname(file)] || 'application/octet-stream',
                         'cache-control': 'no-store' });
    fs.createReadStream(file).pipe(res);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// A child that is ours: its output is kept, and stop() ends it by its pid.
function child(cmd, args, opts = {}) {
  const p = spawn(cmd, args, { stdio: ['ignore', 'pipe', 'pipe'], ...opts });
  p.out = '';
  p.stdout.on('data', (d) => { p.out += d; });
  p.stderr.on('data', (d) => { p.out += d; });
  p.on('error', (e) => { p.out += String(e); });
  return p;
}

export async function stop(p) {
  if (!p || p.exitCode !== null || p.signalCode !== null) return;
  const gone = new Promise((r) => p.once('exit', r));
  try { process.kill(p.pid, 'SIGTERM'); } catch { return; }
  await Promise.race([gone, sleep(5000)]);
  if (p.exitCode === null && p.signalCode === null) {
    try { process.kill(p.pid, 'SIGKILL'); } catch { /* already gone */ }
    await Promise.race([gone, sleep(5000)]);
  }
}

// A sound server with a null sink of its own. Firefox keeps an AudioContext
// suspended when there is no audio device at all; with a null sink it runs
// on the sound server's real-time clock.
async function startSoundServer(dir, procs) {
  const home = path.join(dir, 'pulse');
  fs.mkdirSync(home, { recursive: true });
  const socket = path.join(home, 'native');
  const p = child('pulseaudio', ['-n', '--daemonize=no', '--exit-idle-time=-1', '--use-pid-file=no',
    '--disallow-exit=yes', '--disable-shm=yes',
    '-L', `module-native-protocol-unix socket=${socket} auth-anonymous=1`,
    '-L', 'module-null-sink sink_name=callaudio_test'],
  { env: { ...process.env, HOME: home, XDG_RUNTIME_DIR: home, XDG_CONFIG_HOME: home } });
  procs.push(p);
  await until('the sound server', () => fs.existsSync(socket) || p.exitCode !== null);
  if (p.exitCode !== null) throw new Error('pulseaudio exited:\n' + p.out);
  return { PULSE_SERVER: 'unix:' + socket };
}

// An X server for a browser that has no headless mode. -displayfd picks a
// free display number and writes it out once the server accepts clients.
async function startDisplay(procs) {
  const p = child('Xvfb', ['-displayfd', '1', '-nolisten', 'tcp', '-screen', '0', '1280x800x24']);
  procs.push(p);
  let fd = '';
  p.stdout.on('data', (d) => { fd += d; });
  const n = await until('Xvfb', () => (/^(\d+)\n/.exec(fd) || [])[1] || (p.exitCode !== null && 'x'));
  if (n === 'x') throw new Error('Xvfb exited:\n' + p.out);
  return { DISPLAY: ':' + n };
}

// Starts everything a call needs: certificate, secret, the service on the
// simulated card, the page's origin, and the engine's audio and display
// helpers. Returns the set-up; stopAll() undoes it. A set-up that fails
// half-way is undone before the error is passed on.
export async function startAll(engine) {
  const S = { procs: [] };
  try {
    await setUp(S, engine);
  } catch (e) {
    await stopAll(S);
    throw e;
  }
  return S;
}

async function setUp(S, engine) {
  S.dir = fs.mkdtempSync(path.join(os.tmpdir(), `callaudio-${engine.name}-`));
  S.cert = path.join(S.dir, 'cert.pem');
  S.key = path.join(S.dir, 'key.pem');
  execFileSync('openssl', ['req', '-x509', '-nodes', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
    '-keyout', S.key, '-out', S.cert, '-days', '2', '-subj', '/CN=localhost',
    '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1'], { stdio: 'ignore', timeout: 60000 });
  S.secretFile = path.join(S.dir, 'secret.key');
  S.secret = crypto.randomBytes(32).toString('hex');
  fs.writeFileSync(S.secretFile, S.secret + '\n');
  S.wav = path.join(S.dir, 'tone.wav');
  writeToneWav(S.wav, engine.tone.hz, 0.3);
  S.state = path.join(S.dir, 'sim');
  S.port = await freePort();
  S.service = child(path.join(ROOT, 'tools', 'simcard', 'with-sim-card'),
    ['--build-dir', BUILD, '--state', S.state, '--', BIN, '--port', String(S.port),
     '--cert', S.cert, '--key', S.key, '--secret', S.secretFile]);
  S.procs.push(S.service);
  S.log = () => S.service.out;
  await until('the service to listen', () => S.log().includes(`listening on :${S.port}`) || S.service.exitCode !== null);
  if (S.service.exitCode !== null) throw new Error('service exited:\n' + S.log());

  S.web = await serveWeb();
  S.webPort = S.web.address().port;
  S.browser = await launchEngine(S, engine);
}

// Starts the engine's audio and display helpers (their environment in
// S.env, their processes in S.procs) and launches the engine with the
// fake microphone playing S.wav; profiles and helpers' files go below S.dir.
export async function launchEngine(S, engine) {
  S.env = {};
  for (const need of engine.needs) {
    Object.assign(S.env, need === 'sound' ? await startSoundServer(S.dir, S.procs) : await startDisplay(S.procs));
  }
  return engine.launch({ dir: S.dir, wav: S.wav, env: { ...process.env, ...S.env }, timeout: WAIT_MS * 2 });
}

export async function stopAll(S) {
  if (!S) return;
  if (S.browser) await Promise.race([S.browser.close().catch(() => {}), sleep(WAIT_MS)]);
  if (S.web) S.web.close();
  for (const p of (S.procs || []).reverse()) await stop(p);
  if (S.dir) fs.rmSync(S.dir, { recursive: true, force: true });
}

export function pageUrl(S, token, extra = '', port = S.port) {
  return `http://127.0.0.1:${S.webPort}/demo/#service=https://localhost:${port}&token=${token}${extra}`;
}

// Finds, in the page and every open shadow root, the shown element with an
// ARIA role and accessible name, the way assistive technology and a person
// see the panel: explicit roles, the implicit roles of the controls the
// panel uses, and names from aria-label, aria-labelledby, a <label> (without
// the control's own text) or the content. Runs in the page; `then(el)`
// says what to return.
const BY_ROLE = `(role, name, then) => {
  const implicit = (el) => el.getAttribute('role') || ({ button: 'button', summary: 'button', select: 'combobox',
    a: el.hasAttribute('href') ? 'link' : '', input: { checkbox: 'checkbox', range: 'slider' }[el.type] || '' })[el.localName] || '';
  const text = (el) => (el ? el.textContent : '').replace(/\\s+/g, ' ').trim();
  const label = (l) => { const c = l.cloneNode(true); c.querySelectorAll('input, select').forEach((e) => e.remove()); return text(c); };
  const nameOf = (el) => el.getAttribute('aria-label')
    || (el.getAttribute('aria-labelledby') || '').split(' ').filter(Boolean).map((id) => text(el.getRootNode().getElementById(id))).join(' ')
    || (el.labels && el.labels.length ? [...el.labels].map(label).join(' ') : text(el));
  const walk = (root) => {
    for (const el of root.querySelectorAll('*')) {
      if (implicit(el) === role && el.getClientRects().length && (name === null || nameOf(el) === name)) return el;
      const inner = el.shadowRoot && walk(el.shadowRoot);
      if (inner) return inner;
    }
    return null;
  };
  const el = walk(document);
  return el ? then(el) : null;
}`;

// A name of null matches any name.
export const byRole = (page, role, name, then = '(el) => true') =>
  page.eval(`(${BY_ROLE})(${JSON.stringify(role)}, ${JSON.stringify(name)}, ${then})`);

// Presses the control with this role and name with a real pointer click
// (the user gesture audio needs), once it is shown and enabled.
export async function press(page, role, name) {
  const at = await until(`${role} "${name}" to be shown and enabled`, () => byRole(page, role, name,
    `(el) => { if (el.disabled) return null; el.scrollIntoView({ block: 'center' });
       const r = el.getBoundingClientRect(); return { x: Math.round(r.x + r.width / 2), y: Math.round(r.y + r.height / 2) }; }`));
  await page.clickAt(at.x, at.y);
}

// The panel's live region: what a screen reader announces.
export const statusText = (page) => byRole(page, 'status', null, '(el) => el.textContent');

// Opens the demo page and presses the panel's Call button (a user gesture,
// so the page may start audio). `port`: where the page finds the service.
export async function openCall(S, token, extra = '', port = S.port) {
  const page = await openDemo(S, token, extra, port);
  await press(page, 'button', 'Call');
  return page;
}

export async function openDemo(S, token, extra = '', port = S.port) {
  const page = await S.browser.open(pageUrl(S, token, extra, port));
  await until('the demo page', () => page.eval('!!(window.callAudioDemo && window.callAudioDemo.panel)'));
  return page;
}

// Checks a state of the page with axe-core (every rule it runs by default:
// WCAG A and AA and its best practices) and, where the engine can take
// them, writes screenshots at a phone's and a desktop's width to
// SHOTS/<name>-<width>.png for a reviewer to look at.
export const SHOTS = path.join(BUILD, 'web-screenshots');
let AXE = null;
export const WIDTHS = { phone: 390, desktop: 1280 };
export async function checkState(page, name) {
  AXE = AXE || fs.readFileSync(path.join(HERE, 'node_modules', 'axe-core', 'axe.min.js'), 'utf8');
  const violations = await page.eval(`(() => {
    if (!window.axe) { ${AXE}\n }
    return window.axe.run(document, { resultTypes: ['violations'] }).then((r) => r.violations.map((v) =>
      ({ id: v.id, impact: v.impact, help: v.help, nodes: v.nodes.slice(0, 3).map((n) => n.target.join(' ')) })));
  })()`);
  if (page.screenshot) {
    fs.mkdirSync(SHOTS, { recursive: true });
    for (const [w, px] of Object.entries(WIDTHS)) await page.screenshot(path.join(SHOTS, `${name}-${w}.png`), px);
  }
  return violations;
}

// A loopback TCP relay to the service, holding every piece `delayMs` each
// way (in order), whose freeze() makes every connection open at that moment
// go silent both ways without closing, as a Wi-Fi roam leaves them;
// connections made later are relayed as usual. close() ends it and its
// connections. `bytes` counts what it carried each way (TLS records as they
// cross the wire, without TCP/IP headers), and open() the same per open
// connection.
export function startRelay(targetPort, { delayMs = 0 } = {}) {
  const conns = new Set();
  const bytes = { up: 0, down: 0, connections: 0 };
  const server = net.createServer((client) => {
    const up = net.connect(targetPort, '127.0.0.1');
    const c = { client, up, frozen: false };
    conns.add(c);
    bytes.connections += 1;
    c.bytes = { up: 0, down: 0 };
    const later = (fn) => (delayMs > 0 ? setTimeout(fn, delayMs) : fn());
    const end = () => { conns.delete(c); client.destroy(); up.destroy(); };
    // A side's end (a service that answers and closes) follows its last
    // bytes; an error ends both at once.
    const pass = (from, to, dir) => {
      from.on('data', (d) => later(() => {
        if (!c.frozen && !to.destroyed) { bytes[dir] += d.length; c.bytes[dir] += d.length; to.write(d); }
      }));
      from.on('end', () => later(() => { if (!c.frozen) to.end(); }));
    };
    pass(client, up, 'up');
    pass(up, client, 'down');
    for (const s of [client, up]) {
      s.on('error', end);
      s.on('close', () => later(end));
    }
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve({
    port: server.address().port,
    bytes,
    freeze() { for (const c of conns) c.frozen = true; return conns.size; },
    open: () => [...conns].map((c) => c.bytes),   // each open connection's counts, live
    close() { for (const c of conns) { c.client.destroy(); c.up.destroy(); } server.close(); },
  })));
}

export const lastState = (page) => page.eval(
  '(() => { const s = window.callAudioDemo.states; return s.length ? s[s.length - 1] : null; })()');

export async function waitState(page, state, problem = null) {
  return until(`page state ${state}/${problem}`, async () => {
    const s = await lastState(page);
    return s && s.state === state && s.problem === problem ? s : null;
  });
}

// The player's output as 16-bit values, taken out of the page as base64.
export async function takePlayed(page) {
  const b64 = await page.eval(`(() => {
    const parts = window.callAudioDemo.played.splice(0);
    let n = 0;
    for (const p of parts) n += p.length;
    const ints = new Int16Array(n);
    let o = 0;
    for (const p of parts) for (let i = 0; i < p.length; i++) ints[o++] = Math.round(p[i] * 32768);
    let s = '';
    const bytes = new Uint8Array(ints.buffer);
    for (let i = 0; i < bytes.length; i += 8192) s += String.fromCharCode(...bytes.subarray(i, i + 8192));
    return btoa(s);
  })()`);
  const buf = Buffer.from(b64, 'base64');
  return new Int16Array(buf.buffer, buf.byteOffset, buf.length / 2);
}

// Frame numbers of the simulated card's pattern: sample = (byte (g & 3) of
// (g >> 8)) << 8 | (g & 0xff). Returns, for every sample, the frame number
// it proves (or -1).
export function decodePattern(s) {
  // Eight samples prove a frame number (decodeAt): four can look like the
  // pattern by chance where a fade scales it.
  const g = new Float64Array(s.length).fill(-1);
  for (let i = 0; i + 8 <= s.length; i++) {
    if (s[i] & 3) continue;
    const f = decodeAt(s, i);
    if (f >= 0) for (let k = 0; k < 8; k++) g[i + k] = f + k;
  }
  return g;
}

// Walks the proven frames of what was played. Silence the player inserts
// (priming, underruns) advances the sample index but not the frame number;
// lost audio advances the frame number further than the index. So
// `missing` counts frames that never played, `backwards` the places where
// frames played out of order or twice, `repeated` how many frames they went
// back in all, and `lost` the places where frames went missing.
export function frameRun(played) {
  const g = decodePattern(played);
  const first = played.findIndex((v) => v !== 0);
  let proven = 0;
  let missing = 0;
  let lost = 0;
  let backwards = 0;
  let repeated = 0;
  let prev = -1;
  for (let i = Math.max(first, 0); i < g.length; i++) {
    if (g[i] < 0) continue;
    proven += 1;
    if (prev >= 0) {
      const dg = g[i] - g[prev];
      if (dg <= 0) { backwards += 1; repeated += 1 - dg; }
      else if (dg > i - prev) { missing += dg - (i - prev); lost += 1; }
    }
    prev = i;
  }
  return { first, span: first < 0 ? 0 : played.length - first, proven, missing, lost, backwards, repeated,
           lastFrame: prev < 0 ? -1 : g[prev] };
}

// Far-end audio lost before it reached the page: frames the simulated card's
// capture overruns skipped, and chunks (20 ms periods at most) the service
// shed. An overrun loses the frames from the application's read position at
// the overrun to the frame the next start of that stream begins with; the
// card's event log has both ("xrun p= avail=", "start p= g=").
export function lossesBeforePage(S) {
  let xruns = 0;
  let xrunFrames = 0;
  let text = '';
  try {
    text = fs.readFileSync(path.join(S.state, 'events.log'), 'utf8');
  } catch { /* no events yet */ }
  const streams = new Map();   // stream id -> { base, lostFrom }
  for (const line of text.split('\n')) {
    const f = line.split(' ');
    if (f[2] !== 'capture') continue;
    const kv = Object.fromEntries(f.slice(5).map((x) => x.split('=')).map(([k, v]) => [k, Number(v)]));
    const st = streams.get(f[3]) || {};
    if (f[4] === 'start') {
      if (st.lostFrom !== undefined) xrunFrames += kv.g - st.lostFrom;
      streams.set(f[3], { base: kv.g - kv.p });
    } else if (f[4] === 'xrun') {
      xruns += 1;
      if (st.base !== undefined) st.lostFrom = st.base + kv.p - kv.avail;
      streams.set(f[3], st);
    }
  }
  let shed = 0;
  for (const m of S.log().matchAll(/(\d+) chunks shed/g)) shed = Math.max(shed, Number(m[1]));
  return { xruns, xrunFrames, shed };
}

// What the card played (the page's microphone after the uplink), over its
// last `seconds`: its level and the level of its component at `hz`. The
// component is measured in 20 ms blocks (whole cycles of 50 Hz multiples)
// and their powers summed, so a gap in the uplink, which shifts the tone's
// phase, costs only the block it falls in.
export function cardRecord(S, seconds, hz) {
  const rec = fs.readFileSync(path.join(S.state, 'rec', 'RM500QGL.raw'));
  const n = Math.min(rec.length >> 1, seconds * RATE);
  const tail = new Int16Array(rec.buffer.slice(rec.byteOffset + rec.length - 2 * n, rec.byteOffset + rec.length));
  const x = Float64Array.from(tail, (v) => v / 32768);
  const rms = Math.sqrt(x.reduce((a, v) => a + v * v, 0) / Math.max(1, x.length));
  const BLOCK = RATE / 50;
  const w = 2 * Math.cos(2 * Math.PI * hz / RATE);
  let power = 0;
  let blocks = 0;
  for (let b = 0; b + BLOCK <= x.length; b += BLOCK, blocks += 1) {
    let s1 = 0; let s2 = 0;
    for (let i = b; i < b + BLOCK; i++) { const s0 = x[i] + w * s1 - s2; s2 = s1; s1 = s0; }
    power += 2 * Math.max(0, s1 * s1 + s2 * s2 - w * s1 * s2) / (BLOCK * BLOCK);
  }
  return { seconds: rec.length / 2 / RATE, rms, atHz: Math.sqrt(power / Math.max(1, blocks)) };
}

export const db = (v) => 20 * Math.log10(v);
