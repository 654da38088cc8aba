// Bench driver: one call of the real browser client in one engine, for
// bench/network_bench.py and bench/player_bench.py. Argument: one JSON object
//   { engine, service, token, seconds, out, dir, keep, blocks }
// keep: the page keeps what it played (driver.mjs); blocks: [[s, ms], ...],
// s seconds into the call the page's thread is kept busy for ms, and the
// report's `blocks` says when each ran (epoch ms).
// engine is chromium, firefox or webkit, launched as the browser test
// launches them (web/test/e2e/engines.mjs: headless, fake microphone).
// Serves web/ and the page-side driver (bench/page/) from 127.0.0.1, clicks
// the page's call button (a user gesture), calls `service` for `seconds`
// and writes to `out` what window.bench.finish() returns (driver.mjs says
// what each part is), or { error } / { skipped } when the call could not
// be made.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { ENGINES } from '../web/test/e2e/engines.mjs';
import { WAIT_MS, launchEngine, serveWeb, sleep, stopAll, until, writeToneWav } from '../web/test/e2e/harness.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const ROOT = path.resolve(HERE, '..');
// Another copy of the client (an older one, to compare) may be served instead.
const WEB = path.resolve(process.env.CALLAUDIO_BENCH_WEB || path.join(ROOT, 'web'));

const args = JSON.parse(process.argv[2]);
const write = (obj) => fs.writeFileSync(args.out, JSON.stringify(obj));

const PAGE = `<!doctype html><meta charset="utf-8"><title>bench</title>
<button id="call">call</button>
<script type="module" src="/bench/driver.mjs"></script>`;

function pages() {
  const out = { '/bench.html': PAGE };
  for (const name of fs.readdirSync(path.join(HERE, 'page'))) {
    out['/bench/' + name] = fs.readFileSync(path.join(HERE, 'page', name), 'utf8');
  }
  return out;
}

async function call(S, engine) {
  S.web = await serveWeb({ root: WEB, pages: pages() });
  S.browser = await launchEngine(S, engine);
  const url = `http://127.0.0.1:${S.web.address().port}/bench.html#service=${encodeURIComponent(args.service)}`
    + `&token=${encodeURIComponent(args.token)}${args.keep ? '&keep=1' : ''}`;
  const page = await S.browser.open(url);
  await until('the bench page', () => page.eval('!!(window.bench && window.bench.loaded)'));
  await page.click('#call');
  await until('the call to go live', () => page.eval('window.bench.liveAt > 0 || window.bench.errors.length > 0'));
  const early = await page.eval('window.bench.errors');
  if (early.length) throw new Error('page: ' + early.join('; '));
  const live = Date.now();
  const blocks = [];
  for (const [at, ms] of args.blocks || []) {
    await sleep(live + at * 1000 - Date.now());
    blocks.push(await page.eval(`window.bench.block(${Number(ms)})`));
  }
  await sleep(live + args.seconds * 1000 - Date.now());
  // As one string: an engine driven over WebDriver BiDi (Firefox) carries
  // a structured value number by number, too slowly for a long call's.
  return { ...JSON.parse(await page.eval('JSON.stringify(window.bench.finish())')), blocks };
}

const engine = ENGINES[args.engine];
const why = !engine ? `no engine ${args.engine}` : engine.missing();
if (why) {
  write({ skipped: why });
  process.exit(0);
}
const S = { procs: [], dir: path.join(args.dir, args.engine) };
fs.mkdirSync(S.dir, { recursive: true });
S.wav = path.join(S.dir, 'tone.wav');
writeToneWav(S.wav, engine.tone.hz, 0.3);
try {
  write(await call(S, engine));
} catch (e) {
  write({ error: String((e && e.stack) || e) });
} finally {
  await Promise.race([stopAll(S), sleep(WAIT_MS * 2)]);
}
process.exit(0);
