// What a call costs on the wire, per engine: one call of the demo page
// against the service on the simulated card (the browser test's set-up),
// through a loopback TCP relay that counts the bytes it carries each way
// (TLS records, so HTTP heads, bodies and TLS framing; no IP or TCP headers).
// The rate is read between 5 s after the call went live and its end, so the
// handshakes and the player's start stay out. Down is the stream plus the
// posts' answers (the stream is told apart as the connection that carried
// the most); up is the posts plus the stream's request.
//   node bench/wire_bytes.mjs [--engines chromium,firefox,webkit] [--seconds 20]
// CALLAUDIO_BUILD_DIR and CALLAUDIO_BIN name the build, as for the test.
import { ENGINES } from '../web/test/e2e/engines.mjs';
import { benchOptions, mint, openCall, sleep, startAll, startRelay, stopAll, waitState } from '../web/test/e2e/harness.mjs';

const args = process.argv.slice(2);
const { engines, seconds } = benchOptions(args);
const SETTLE_S = 5;
const PAYLOAD_KBPS = 256;   // 16 kHz x 16 bit, each way

for (const name of engines) {
  const engine = ENGINES[name];
  const why = engine ? engine.missing() : 'no such engine';
  if (why) {
    console.log(`${name}: skipped (${why})`);
    continue;
  }
  let S = null;
  let relay = null;
  try {
    S = await startAll(engine);
    relay = await startRelay(S.port);
    const page = await openCall(S, mint(S.secret, Math.floor(Date.now() / 1000) + 3600), '', relay.port);
    await waitState(page, 'live');
    await sleep(SETTLE_S * 1000);
    const a = { ...relay.bytes, t: Date.now() };
    // The stream is the connection that carries the most downward; its
    // counts at the start of the window.
    const streamAt = new Map(relay.open().map((c) => [c, { ...c }]));
    await sleep((seconds - SETTLE_S) * 1000);
    const b = { ...relay.bytes, t: Date.now() };
    let stream = { up: 0, down: 0 };
    for (const [c, was] of streamAt) {
      if (c.down - was.down > stream.down) stream = { up: c.up - was.up, down: c.down - was.down };
    }
    const fig = (await page.eval('window.callAudioDemo.figures.slice(-1)[0]')) || {};
    const s = (b.t - a.t) / 1000;
    const kbps = (k) => (b[k] - a[k]) * 8 / 1000 / s;
    const down = kbps('down');
    const up = kbps('up');
    const streamKbps = stream.down * 8 / 1000 / s;
    const answersKbps = down - streamKbps;
    console.log(`${name}: down ${down.toFixed(1)} kbit/s: the stream ${streamKbps.toFixed(1)} `
      + `(+${(100 * (streamKbps / PAYLOAD_KBPS - 1)).toFixed(1)} %), the posts' answers and handshakes ${answersKbps.toFixed(1)}; `)
    console.log(`  down ${down.toFixed(1)} kbit/s (+${(100 * (down / PAYLOAD_KBPS - 1)).toFixed(1)} %), `
      + `up ${up.toFixed(1)} kbit/s (+${(100 * (up / PAYLOAD_KBPS - 1)).toFixed(1)} %), `
      + `${b.connections - a.connections} connections opened in ${s.toFixed(1)} s, `
      + `${(fig.postsPerSecond || 0).toFixed(0)} posts/s, ${fig.postsFailed || 0} posts failed`);
  } catch (e) {
    console.log(`${name}: failed: ${e.message}`);
  } finally {
    if (relay) relay.close();
    await stopAll(S);
  }
}
