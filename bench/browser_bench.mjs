// The browser client's timing figures, per engine: one call of the demo page
// against the service on the simulated card, with the same set-up as the
// browser test (web/test/e2e/harness.mjs, engines.mjs). Reported, never
// asserted; a loaded machine shows as worse figures, not as a failure.
//   node bench/browser_bench.mjs [--engines chromium,firefox,webkit] [--seconds 20] [--json]
// CALLAUDIO_BUILD_DIR and CALLAUDIO_BIN name the build, as for the test.
// With --json it prints {"rows": [[section, figure, value, target], ...]},
// the row form bench.py renders.
import { ENGINES } from '../web/test/e2e/engines.mjs';
import {
  BIN, RATE, benchOptions, cardRecord, frameRun, lossesBeforePage, mint, openCall, sleep, startAll, stopAll, takePlayed, waitState,
} from '../web/test/e2e/harness.mjs';
import fs from 'node:fs';

const args = process.argv.slice(2);
const { engines, seconds } = benchOptions(args);
const json = args.includes('--json');

const pct = (v, p) => {
  if (!v.length) return NaN;
  const s = [...v].sort((a, b) => a - b);
  return s[Math.min(s.length - 1, Math.floor(p / 100 * s.length))];
};
const f = (v, nd = 1) => (Number.isFinite(v) ? v.toFixed(nd) : '-');

async function measure(engine) {
  let S = null;
  try {
    S = await startAll(engine);
    const token = mint(S.secret, Math.floor(Date.now() / 1000) + 3600);
    const page = await openCall(S, token, '&tap=1');
    await waitState(page, 'live');
    const live = Date.now();
    // The page's figures and the lag are sampled every second over the call.
    const lags = [];
    const end = Date.now() + seconds * 1000;
    let played = [];
    while (Date.now() < end) {
      await sleep(1000);
      const p = await takePlayed(page);
      // The card numbers its frames by CLOCK_MONOTONIC, as process.hrtime reads it.
      const now = Number(process.hrtime.bigint()) / 1e9 * RATE;
      const run = frameRun(p);
      if (run.lastFrame >= 0) lags.push((now - run.lastFrame) / (RATE / 1000));
      played.push(p);
    }
    const figures = await page.eval('window.callAudioDemo.figures');
    const recorded = cardRecord(S, 1, engine.tone.hz).seconds;
    const callSeconds = (Date.now() - live) / 1000;
    const all = new Int16Array(played.reduce((a, p) => a + p.length, 0));
    let o = 0;
    for (const p of played) { all.set(p, o); o += p.length; }
    played = null;
    const run = frameRun(all);
    const before = lossesBeforePage(S);
    const steady = figures.filter((x) => x.t >= figures[0].t + 2000);
    const last = figures[figures.length - 1];
    const perMin = 60 / seconds;
    const fills = steady.map((x) => x.fillMs);
    const pps = steady.map((x) => x.postsPerSecond);
    const rtt = steady.map((x) => x.postRttMs);
    return [
      ['played audio lag behind the card p50/max', `${f(pct(lags, 50), 0)} / ${f(Math.max(...lags), 0)} ms`, '< 250 ms'],
      ['playback buffer peak; fill p50 (min..max)',
        `${f(Math.max(...figures.map((x) => x.peakMs)), 0)} ms; ${f(pct(fills, 50), 0)} (${f(Math.min(...fills), 0)}..${f(Math.max(...fills), 0)}) ms`,
        'peak <= 200 ms cap'],
      ['playback underruns per min; cap dropped', `${f(last.underruns * perMin)}; ${f(last.droppedMs, 0)} ms`],
      ['far-end frames missing (places); card overruns, shed', `${run.missing} (${run.lost}), `
        + `${run.backwards} out of order; ${before.xruns} (${before.xrunFrames} frames), ${before.shed} chunks`],
      ['posts per second p50 (min); round trip p50', `${f(pct(pps, 50), 0)} (${f(Math.min(...pps), 0)}); ${f(pct(rtt, 50))} ms`, '50 /s'],
      ['post errors; microphone frames dropped', `${last.postErrors}; ${last.micDroppedFrames}`],
      ['microphone audio the card played', `${f(recorded)} s in ${f(callSeconds)} s live`],
      ['context rate', `${last.contextRate} Hz`],
    ];
  } catch (e) {
    return [['error', String(e && e.message ? e.message : e).split('\n')[0]]];
  } finally {
    await stopAll(S);
  }
}

const rows = [];
for (const name of engines) {
  const engine = ENGINES[name];
  const section = `browser, ${name} (${seconds} s call)`;
  const why = !engine ? 'no such engine' : engine.missing() || (fs.existsSync(BIN) ? null : `no binary at ${BIN}`);
  if (why) {
    rows.push([section, 'skipped', why, '']);
    continue;
  }
  console.error(`browser bench: ${name}`);
  for (const [label, value, target] of await measure(engine)) rows.push([section, label, value, target || '']);
}
if (json) {
  console.log(JSON.stringify({ rows }));
} else {
  let section = null;
  for (const [s, label, value, target] of rows) {
    if (s !== section) { console.log(`\n== ${s}`); section = s; }
    console.log(`  ${label.padEnd(52)} ${value.padEnd(28)} ${target ? 'target ' + target : ''}`);
  }
}
