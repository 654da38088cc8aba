// The browser client end to end: Debian's chromium, headless, opens the demo
// page from one origin and calls the real call-audio service (another
// origin) running on the simulated modem card. The fake microphone plays a
// known tone; the card's capture side sends its frame-numbering pattern.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const WEB = path.resolve(HERE, '..', '..');
const ROOT = path.resolve(WEB, '..');
const BUILD = process.env.CALLAUDIO_BUILD_DIR || path.join(ROOT, 'build');
const BIN = process.env.CALLAUDIO_BIN || path.join(BUILD, 'service', 'call-audio');
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const TONE_HZ = 1000;
const TONE_AMP = 0.3;
const CALL_SECONDS = 20;
const WAIT_MS = 15000;   // the longest any single step waits

let chromium = null;
let skip = false;
try {
  chromium = createRequire(import.meta.url)('playwright-core').chromium;
} catch {
  skip = 'playwright-core is not installed in web/test/e2e (web/test/run-browser-test.sh installs it)';
}
if (!skip && !fs.existsSync(CHROMIUM)) skip = `no Chromium at ${CHROMIUM} (apt-get install chromium)`;
if (!skip && !fs.existsSync(BIN)) skip = `no call-audio binary at ${BIN}; build first`;
if (skip) console.log(`# browser test skipped: ${skip}`);

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function until(what, fn, timeout = WAIT_MS) {
  const end = Date.now() + timeout;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
    await sleep(100);
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

function mint(secret, expiry) {
  const digits = String(expiry);
  return digits + '.' + crypto.createHmac('sha256', secret).update(digits).digest('hex');
}

function writeToneWav(file, rate = 48000, seconds = 4) {
  const n = rate * seconds;
  const data = Buffer.alloc(n * 2);
  for (let i = 0; i < n; i++) {
    data.writeInt16LE(Math.round(TONE_AMP * 32767 * Math.sin(2 * Math.PI * TONE_HZ * i / rate)), 2 * i);
  }
  const h = Buffer.alloc(44);
  h.write('RIFF', 0); h.writeUInt32LE(36 + data.length, 4); h.write('WAVE', 8);
  h.write('fmt ', 12); h.writeUInt32LE(16, 16); h.writeUInt16LE(1, 20); h.writeUInt16LE(1, 22);
  h.writeUInt32LE(rate, 24); h.writeUInt32LE(rate * 2, 28); h.writeUInt16LE(2, 32); h.writeUInt16LE(16, 34);
  h.write('data', 36); h.writeUInt32LE(data.length, 40);
  fs.writeFileSync(file, Buffer.concat([h, data]));
}

// The page's origin: a static server for web/ on loopback.
function serveWeb() {
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css' };
  const server = http.createServer((req, res) => {
    const p = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    const file = path.join(WEB, p.endsWith('/') ? p + 'index.html' : p);
    if (!file.startsWith(WEB + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'content-type': types[path.extname(file)] || 'application/octet-stream',
                         'cache-control': 'no-store' });
    fs.createReadStream(file).pipe(res);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

const S = {};

before(async () => {
  if (skip) return;
  S.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'callaudio-web-'));
  S.cert = path.join(S.dir, 'cert.pem');
  S.key = path.join(S.dir, 'key.pem');
  execFileSync('openssl', ['req', '-x509', '-nodes', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
    '-keyout', S.key, '-out', S.cert, '-days', '2', '-subj', '/CN=localhost',
    '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1'], { stdio: 'ignore', timeout: 60000 });
  S.secretFile = path.join(S.dir, 'secret.key');
  S.secret = crypto.randomBytes(32).toString('hex');
  fs.writeFileSync(S.secretFile, S.secret + '\n');
  S.wav = path.join(S.dir, 'tone.wav');
  writeToneWav(S.wav);
  S.state = path.join(S.dir, 'sim');
  S.port = await freePort();
  S.log = '';
  S.service = spawn(path.join(ROOT, 'tools', 'simcard', 'with-sim-card'),
    ['--build-dir', BUILD, '--state', S.state, '--', BIN, '--port', String(S.port),
     '--cert', S.cert, '--key', S.key, '--secret', S.secretFile],
    { stdio: ['ignore', 'ignore', 'pipe'] });
  S.service.stderr.on('data', (d) => { S.log += d; });
  await until('the service to listen', () => S.log.includes(`listening on :${S.port}`) || S.service.exitCode !== null);
  assert.equal(S.service.exitCode, null, 'service exited:\n' + S.log);

  S.web = await serveWeb();
  S.webPort = S.web.address().port;
  S.profile = path.join(S.dir, 'profile');
  S.browser = await chromium.launchPersistentContext(S.profile, {
    executablePath: CHROMIUM,
    headless: true,
    ignoreHTTPSErrors: true,
    timeout: WAIT_MS * 2,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--use-fake-device-for-media-stream', '--use-fake-ui-for-media-stream',
      `--use-file-for-fake-audio-capture=${S.wav}`, '--autoplay-policy=no-user-gesture-required',
      '--ignore-certificate-errors'],
  });
});

after(async () => {
  if (skip) return;
  if (S.browser) await Promise.race([S.browser.close(), sleep(WAIT_MS)]);
  if (S.web) S.web.close();
  if (S.service && S.service.exitCode === null) {
    const gone = new Promise((r) => S.service.once('exit', r));
    process.kill(S.service.pid, 'SIGTERM');
    await Promise.race([gone, sleep(WAIT_MS)]);
    if (S.service.exitCode === null) process.kill(S.service.pid, 'SIGKILL');
  }
  if (S.dir) fs.rmSync(S.dir, { recursive: true, force: true });
});

function pageUrl(token, extra = '') {
  return `http://127.0.0.1:${S.webPort}/demo/#service=https://localhost:${S.port}&token=${token}${extra}`;
}

async function openCall(token, extra = '') {
  const page = await S.browser.newPage();
  page.setDefaultTimeout(WAIT_MS);
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(String(e)));
  await page.goto(pageUrl(token, extra));
  await page.click('#call');
  return page;
}

const lastState = (page) => page.evaluate(() => {
  const s = window.callAudioDemo.states;
  return s.length ? s[s.length - 1] : null;
});

async function waitState(page, state, problem = null) {
  return until(`page state ${state}/${problem}`, async () => {
    const s = await lastState(page);
    return s && s.state === state && s.problem === problem ? s : null;
  });
}

// The player's output as 16-bit values, taken out of the page as base64.
async function takePlayed(page) {
  const b64 = await page.evaluate(() => {
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
  });
  const buf = Buffer.from(b64, 'base64');
  return new Int16Array(buf.buffer, buf.byteOffset, buf.length / 2);
}

// Frame numbers of the simulated card's pattern: sample = (byte (g & 3) of
// (g >> 8)) << 8 | (g & 0xff). Returns, for every sample, the frame number
// it proves (or -1), and the number of breaks in the sequence.
function decodePattern(s) {
  const g = new Float64Array(s.length).fill(-1);
  for (let i = 0; i + 3 < s.length; i++) {
    const lo = s[i] & 0xff;
    if ((lo & 3) !== 0) continue;
    let ok = true;
    for (let k = 1; k < 4; k++) if ((s[i + k] & 0xff) !== lo + k) ok = false;
    if (!ok) continue;
    let high = 0;
    for (let k = 3; k >= 0; k--) high = high * 256 + ((s[i + k] >> 8) & 0xff);
    const frame = high * 256 + lo;
    for (let k = 0; k < 4; k++) g[i + k] = frame + k;
  }
  return g;
}

function checkToneAtCard(seconds, micLevel) {
  const rec = fs.readFileSync(path.join(S.state, 'rec', 'RM500QGL.raw'));
  assert.ok(rec.length >= 32000 * seconds, `the card played ${rec.length} bytes`);
  const tail = new Int16Array(rec.buffer.slice(rec.byteOffset + rec.length - seconds * 32000, rec.byteOffset + rec.length));
  const x = Float64Array.from(tail, (v) => v / 32768);
  let crossings = 0;
  for (let i = 1; i < x.length; i++) if ((x[i - 1] < 0) !== (x[i] < 0)) crossings += 1;
  const hz = crossings / 2 / seconds;
  const rmsAll = Math.sqrt(x.reduce((a, v) => a + v * v, 0) / x.length);
  const goertzel = (f) => {
    const w = 2 * Math.cos(2 * Math.PI * f / 16000);
    let s1 = 0; let s2 = 0;
    for (const v of x) { const s0 = v + w * s1 - s2; s2 = s1; s1 = s0; }
    return Math.sqrt(Math.max(0, s1 * s1 + s2 * s2 - w * s1 * s2)) * Math.SQRT2 / x.length;
  };
  const atTone = goertzel(TONE_HZ);
  const db = (v) => (20 * Math.log10(v)).toFixed(1);
  console.log(`# card record: ${(rec.length / 32000).toFixed(1)} s; last ${seconds} s: ${hz.toFixed(1)} Hz by zero crossings, `
    + `rms ${db(rmsAll)} dBFS, ${TONE_HZ} Hz component ${db(atTone)} dBFS; page microphone ${db(micLevel)} dBFS `
    + `(file ${db(TONE_AMP / Math.SQRT2)} dBFS before the browser's processing)`);
  assert.ok(Math.abs(hz - TONE_HZ) < 15, `the card played ${hz} Hz`);
  assert.ok(atTone > 0.9 * rmsAll, 'the tone is not what dominates the card record');
  assert.ok(rmsAll > 0.003 && rmsAll < 0.6, `card level ${rmsAll}`);
  assert.ok(Math.abs(20 * Math.log10(rmsAll / micLevel)) < 2, 'the card level differs from the page\'s microphone level');
}

test('a 20 s call: tone to the card, pattern to the player, queues in bounds', { skip, timeout: 120000 }, async () => {
  const token = mint(S.secret, Math.floor(Date.now() / 1000) + 3600);
  const page = await openCall(token, '&tap=1');
  await waitState(page, 'live');
  const t0 = Date.now();
  await sleep(CALL_SECONDS * 1000);
  assert.equal((await lastState(page)).state, 'live', 'the call stayed live');
  const played = await takePlayed(page);
  const nowFrame = Number(process.hrtime.bigint()) / 1e9 * 16000;
  const figures = await page.evaluate(() => window.callAudioDemo.figures);
  const rate = await page.evaluate(() => window.callAudioDemo.playedRate);
  assert.deepEqual(page.errors, []);
  S.page1 = page;

  // Far end -> page: the card's numbered frames, in order, recently captured.
  assert.equal(rate, 16000, 'Chromium runs the context at 16 kHz');
  const g = decodePattern(played);
  const first = played.findIndex((v) => v !== 0);
  assert.ok(first >= 0, 'the player played something');
  let proven = 0;
  let breaks = 0;
  let prev = -1;
  for (let i = first; i < g.length; i++) {
    if (g[i] < 0) continue;
    proven += 1;
    if (prev >= 0 && g[i] !== g[prev] + (i - prev)) breaks += 1;
    prev = i;
  }
  const span = played.length - first;
  const last = figures[figures.length - 1];
  console.log(`# played ${(span / 16000).toFixed(1)} s after the first sound, ${(100 * proven / span).toFixed(1)} % `
    + `proven pattern frames, ${breaks} breaks; last frame played ${((nowFrame - g[prev]) / 16).toFixed(0)} ms before the read`);
  assert.ok(span > (CALL_SECONDS - 2) * 16000, `${span} samples played`);
  assert.ok(proven > 0.95 * span, `only ${proven} of ${span} samples are pattern frames`);
  assert.ok(breaks <= last.underruns + Math.ceil(last.droppedMs / 20) + 4, `${breaks} breaks in the frame sequence`);
  assert.ok(nowFrame - g[prev] < 16000 * 0.6, 'the played audio lags the card by more than 0.6 s');

  // Queue figures over the call (the first 2 s settle).
  const steady = figures.filter((f) => f.t >= figures[0].t + 2000);
  const peak = Math.max(...figures.map((f) => f.peakMs));
  const fills = steady.map((f) => f.fillMs);
  const pps = steady.map((f) => f.postsPerSecond).sort((a, b) => a - b);
  const rtt = steady.map((f) => f.postRttMs).sort((a, b) => a - b);
  console.log(`# jitter buffer peak ${peak.toFixed(1)} ms, fill ${Math.min(...fills).toFixed(0)}..${Math.max(...fills).toFixed(0)} ms, `
    + `underruns ${last.underruns}, dropped ${last.droppedMs.toFixed(0)} ms, posts/s median ${pps[pps.length >> 1]}, `
    + `rtt median ${rtt[rtt.length >> 1].toFixed(1)} ms, post errors ${last.postErrors}, mic frames dropped ${last.micDroppedFrames}`);
  assert.ok(steady.length > (CALL_SECONDS - 4) * 3, `${steady.length} figure reports`);
  assert.ok(peak <= 200.5, `jitter buffer peaked at ${peak} ms, above its 200 ms cap`);
  assert.ok(Math.max(...fills) <= 200.5);
  assert.ok(last.underruns <= 5, `${last.underruns} underruns`);
  assert.ok(last.droppedMs <= 400, `${last.droppedMs} ms dropped by the cap`);
  assert.ok(pps[pps.length >> 1] >= 25 && pps[pps.length >> 1] <= 60, `median ${pps[pps.length >> 1]} posts/s`);
  assert.ok(rtt[rtt.length >> 1] > 0 && rtt[rtt.length >> 1] < 40, `median post round trip ${rtt[rtt.length >> 1]} ms`);
  assert.equal(last.postErrors, 0);

  // Page -> card: the tone in the last 3 s of what the card played, at the
  // level the page's microphone had after the browser's own processing.
  const mic = steady.slice(-10).map((f) => f.txLevel);
  checkToneAtCard(3, mic.reduce((a, b) => a + b, 0) / mic.length);
});

test('a second listener takes the call over; the first page does not fight back', { skip, timeout: 60000 }, async () => {
  assert.ok(S.page1, 'the first call ran');
  const token = mint(S.secret, Math.floor(Date.now() / 1000) + 3600);
  const page2 = await openCall(token);
  await waitState(page2, 'live');
  const s1 = await waitState(S.page1, 'ended', 'taken-over');
  assert.match(s1.message, /took over/);
  await sleep(3000);
  assert.equal((await lastState(page2)).state, 'live', 'the newer page keeps the call');
  const states1 = await S.page1.evaluate(() => window.callAudioDemo.states.map((s) => s.state));
  assert.equal(states1[states1.length - 1], 'ended');
  assert.equal(states1.filter((s) => s === 'live').length, 1, 'the first page never reconnected');
  assert.match(await S.page1.textContent('#state'), /taken-over/);
  S.page2 = page2;
});

test('a refused token makes the page ask for a fresh one', { skip, timeout: 60000 }, async () => {
  const expired = mint(S.secret, Math.floor(Date.now() / 1000) - 60);
  const page = await openCall(expired);
  await waitState(page, 'waiting', 'token-refused');
  await until('the page to ask for a token', () => page.evaluate(() => window.callAudioDemo.tokenRequests === 1));
  assert.ok(await page.isVisible('#token-box'));
  await page.fill('#fresh-token', mint(S.secret, Math.floor(Date.now() / 1000) + 3600));
  await page.click('#use-token');
  await waitState(page, 'live');
  assert.equal(await page.evaluate(() => window.callAudioDemo.tokenRequests), 1);
  await page.click('#hangup');
  await waitState(page, 'idle');
});

test('where the context runs at 48 kHz the client resamples both ways', { skip, timeout: 60000 }, async () => {
  const token = mint(S.secret, Math.floor(Date.now() / 1000) + 3600);
  const page = await openCall(token, '&rate=48000');
  await waitState(page, 'live');
  await sleep(6000);
  const figures = await page.evaluate(() => window.callAudioDemo.figures);
  const last = figures[figures.length - 1];
  assert.equal(last.contextRate, 48000);
  assert.ok(last.rxLevel > 0.01, `far end level ${last.rxLevel} at 48 kHz`);
  const fills = figures.slice(-8).map((f) => f.fillMs);
  assert.ok(Math.max(...fills) > 0 && Math.max(...fills) <= 200.5, `jitter buffer ${fills}`);
  assert.ok(last.postsPerSecond >= 25, `${last.postsPerSecond} posts/s`);
  checkToneAtCard(2, figures.slice(-5).reduce((a, f) => a + f.txLevel, 0) / 5);
  await page.click('#hangup');
  await waitState(page, 'idle');
});
