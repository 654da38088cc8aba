// Bench driver: one call of the real browser client in headless Chromium,
// for bench/network_bench.py. Argument: one JSON object
//   { service, token, seconds, out, dir }
// Serves web/ and a small page from 127.0.0.1, calls `service` for
// `seconds`, and writes to `out`:
//   live_at        epoch ms when the call went live
//   figures        the client's onFigures reports, each with t (epoch ms)
//   down           [t, g]: a sample with card frame number g left the output at t
//                  (the context's output timestamp; older clients: when the page got it)
//   ready          epoch ms at which microphone frame n was handed over
//   posts          [t, round trip ms, status, body bytes] per post
//   states         the client's states
// Microphone frames are stamped with the card's numbering pattern (frame n
// carries sample numbers 320 n ...), so the bench can find them on the card.
// Times are epoch milliseconds (performance.timeOrigin + now()).
import fs from 'node:fs';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';
import { serveWeb } from '../web/test/e2e/harness.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const ROOT = path.resolve(HERE, '..');
// Another copy of the client (an older one, to compare) may be served instead.
const WEB = path.resolve(process.env.CALLAUDIO_BENCH_WEB || path.join(ROOT, 'web'));
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const STEP_MS = 20000;   // the longest any single browser step may take

const args = JSON.parse(process.argv[2]);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function fail(message) {
  fs.writeFileSync(args.out, JSON.stringify({ error: message }));
  process.exit(1);
}

let puppeteer;
try {
  puppeteer = createRequire(path.join(ROOT, 'web', 'test', 'e2e', 'package.json'))('puppeteer-core');
} catch {
  fail('puppeteer-core is not installed in web/test/e2e (web/test/run-browser-test.sh installs it)');
}

const PAGE = `<!doctype html><meta charset="utf-8"><title>bench</title>
<script type="module">
import { CallAudioClient } from '/call-audio-client.js';
const now = () => performance.timeOrigin + performance.now();
const B = window.bench = { figures: [], down: [], ready: [], posts: [], states: [], liveAt: 0 };

// Sample g of the card's pattern: low byte g & 0xff, high byte byte (g & 3)
// of the block number g >> 8.
function pattern(g) {
  const block = Math.floor(g / 256);
  const v = (Math.floor(block / 2 ** (8 * (g & 3))) % 256) * 256 + (g % 256);
  return v >= 0x8000 ? v - 0x10000 : v;
}
// Frame number of s[i], or -1 unless s[i..i+7] is a run of the pattern.
function decodeAt(s, i) {
  const lo = s[i] & 0xff;
  if ((lo & 3) !== 0 || lo > 248) return -1;
  let block = 0;
  for (let k = 3; k >= 0; k--) {
    if ((s[i + k] & 0xff) !== lo + k) return -1;
    block = block * 256 + ((s[i + k] >> 8) & 0xff);
  }
  const g = block * 256 + lo;
  for (let k = 4; k < 8; k++) if (s[i + k] !== pattern(g + k)) return -1;
  return g;
}

const realFetch = window.fetch.bind(window);
window.fetch = async (url, init) => {
  if (!String(url).includes('/tx')) return realFetch(url, init);
  const t0 = now();
  const size = init && init.body ? init.body.byteLength : 0;
  try {
    const res = await realFetch(url, init);
    B.posts.push([t0, now() - t0, res.status, size]);
    return res;
  } catch (e) {
    B.posts.push([t0, now() - t0, 0, size]);
    throw e;
  }
};

const p = new URLSearchParams(location.hash.slice(1));
const client = new CallAudioClient({
  service: p.get('service'), token: p.get('token'),
  onState: (s) => { B.states.push({ t: now(), ...s }); if (s.state === 'live' && !B.liveAt) B.liveAt = now(); },
  onFigures: (f) => B.figures.push({ t: now(), ...f }),
  onPlayed: (samples, rate, end) => {
    // When the batch's end leaves the output, from the context's own clock:
    // the message itself may wait for a busy page thread.
    let t = now();
    const ts = client.ctx && client.ctx.getOutputTimestamp ? client.ctx.getOutputTimestamp() : null;
    if (end !== undefined && ts && ts.performanceTime > 0) {
      t = performance.timeOrigin + ts.performanceTime + (end - ts.contextTime) * 1000;
    }
    const ints = Int16Array.from(samples, (x) => Math.round(x * 32768));
    for (let start = 0; start + 8 <= ints.length; start += 320) {
      for (let i = start; i < start + 64 && i + 8 <= ints.length; i++) {
        const g = decodeAt(ints, i);
        if (g >= 0) { B.down.push([t - (ints.length - 1 - i) * 1000 / rate, g]); break; }
      }
    }
  },
});
let n = 0;
const onMicFrame = client.onMicFrame.bind(client);
client.onMicFrame = (bytes, session) => {
  const v = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  for (let i = 0; i < bytes.byteLength / 2; i++) v.setInt16(2 * i, pattern(n * 320 + i), true);
  B.ready.push(now());
  n += 1;
  onMicFrame(bytes, session);
};
window.startCall = () => client.start();
window.stopCall = () => client.stop();
</script>`;

const web = await serveWeb({ root: WEB, pages: { '/bench.html': PAGE } });
let browser = null;
try {
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    acceptInsecureCerts: true,
    userDataDir: path.join(args.dir, 'profile'),
    timeout: STEP_MS,
    protocolTimeout: STEP_MS + args.seconds * 1000,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--use-fake-device-for-media-stream', '--use-fake-ui-for-media-stream',
      '--autoplay-policy=no-user-gesture-required', '--ignore-certificate-errors'],
  });
  const page = await browser.newPage();
  page.setDefaultTimeout(STEP_MS);
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  const url = `http://127.0.0.1:${web.address().port}/bench.html#service=${encodeURIComponent(args.service)}`
    + `&token=${encodeURIComponent(args.token)}`;
  await page.goto(url);
  await page.waitForFunction(() => typeof window.startCall === 'function');
  await page.evaluate(() => window.startCall());
  await page.waitForFunction(() => window.bench.liveAt > 0);
  await sleep(args.seconds * 1000);
  const out = await page.evaluate(() => {
    window.stopCall();
    const B = window.bench;
    return { live_at: B.liveAt, figures: B.figures, down: B.down, ready: B.ready, posts: B.posts,
             states: B.states };
  });
  out.page_errors = errors;
  fs.writeFileSync(args.out, JSON.stringify(out));
} catch (e) {
  fs.writeFileSync(args.out, JSON.stringify({ error: String(e && e.stack || e) }));
} finally {
  if (browser) await Promise.race([browser.close(), sleep(STEP_MS)]);
  web.close();
}
process.exit(0);
