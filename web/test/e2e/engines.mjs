// One adapter per browser engine for the browser test and bench. Each gives
//   name, needs          ('sound': a sound server, 'display': an X server)
//   tone                 what the engine's fake microphone plays: hz; the
//                        least share of the card's level found at hz; how
//                        far (dB) the card's level may be from the page's
//                        sampled microphone level
//   missing()            why the engine cannot run here, or null
//   launch({dir, wav, env, timeout}) -> { open(url) -> page, close() }
// and a page is { eval(expression) -> JSON value (promises are awaited),
// click(selector), clickAt(x, y) (viewport pixels), close() }, plus
// screenshot(file, width) where the driver takes them. Clicks are real
// input events, so the page gets the user activation that audio needs.
// denyMicrophone(origin) -> whether the driver could make the engine refuse
// that origin the microphone.
import fs from 'node:fs';
import path from 'node:path';
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import { freePort, stop, until } from './harness.mjs';

const require = createRequire(import.meta.url);

function puppeteer() {
  try {
    return require('puppeteer-core');
  } catch {
    return null;
  }
}
const NO_DRIVER = 'puppeteer-core is not installed in web/test/e2e (web/test/run-browser-test.sh installs it)';

// The message of the first [met, message] requirement not met, or null.
const firstMissing = (checks) => (checks.find(([met]) => !met) || [true, null])[1];

// Chromium and Firefox through puppeteer-core; `options` holds what differs.
// `permissions`: the engine asks for the microphone, and the driver grants
// it to each page's origin unless denyMicrophone() refused it there.
async function launchPuppeteer({ dir, env, timeout }, { screenshots = false, permissions = false, ...options }) {
  const b = await puppeteer().launch({
    headless: true, acceptInsecureCerts: true, userDataDir: path.join(dir, 'profile'), env, timeout,
    protocolTimeout: timeout, ...options,
  });
  const denied = new Set();
  return {
    async open(url) {
      const origin = new URL(url).origin;
      if (permissions && !denied.has(origin)) await b.defaultBrowserContext().overridePermissions(origin, ['microphone']);
      const p = await b.newPage();
      p.setDefaultTimeout(timeout);
      await p.goto(url);
      return {
        eval: (expr) => p.evaluate(expr), click: (sel) => p.click(sel), clickAt: (x, y) => p.mouse.click(x, y),
        close: () => p.close(),
        screenshot: screenshots ? async (file, width) => {
          await p.setViewport({ width, height: 800 });
          await p.screenshot({ path: file, fullPage: true });
        } : null,
      };
    },
    async denyMicrophone(origin) {
      if (!permissions) return false;
      denied.add(origin);
      await b.defaultBrowserContext().overridePermissions(origin, []);
      return true;
    },
    close: () => b.close(),
  };
}

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const chromium = {
  name: 'chromium',
  needs: [],
  // The fake capture device plays the file the harness writes.
  tone: { hz: 1000, share: 0.9, levelDb: 4 },
  missing: () => firstMissing([[fs.existsSync(CHROMIUM), `no Chromium at ${CHROMIUM} (apt-get install chromium)`],
    [puppeteer(), NO_DRIVER]]),
  launch: (how) => launchPuppeteer(how, {
    screenshots: true,
    permissions: true,
    executablePath: CHROMIUM,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--use-fake-device-for-media-stream',
      `--use-file-for-fake-audio-capture=${how.wav}`, '--autoplay-policy=no-user-gesture-required',
      '--ignore-certificate-errors'],
  }),
};

const FIREFOX = process.env.FIREFOX || '/usr/bin/firefox-esr';
const firefox = {
  name: 'firefox',
  needs: ['sound'],
  // Firefox's fake microphone is a 1 kHz sine of its own. With permission
  // prompts off, the driver cannot make it refuse the microphone.
  tone: { hz: 1000, share: 0.9, levelDb: 4 },
  missing: () => firstMissing([[fs.existsSync(FIREFOX), `no Firefox at ${FIREFOX} (apt-get install firefox-esr)`],
    [fs.existsSync('/usr/bin/pulseaudio'), 'no pulseaudio (apt-get install pulseaudio)'], [puppeteer(), NO_DRIVER]]),
  launch: (how) => launchPuppeteer(how, {
    browser: 'firefox',
    executablePath: FIREFOX,
    extraPrefsFirefox: {
      'media.navigator.streams.fake': true,
      'media.navigator.permission.disabled': true,
      'media.autoplay.default': 0,
      'media.autoplay.block-webaudio': false,
      'network.http.http3.enable': false,
    },
  }),
};

// WebKitGTK through WebKitWebDriver (W3C WebDriver over HTTP), driving the
// MiniBrowser that comes with the engine. It needs a display; with no sound
// server its audio runs on a clock of its own.
const WEBDRIVER = process.env.WEBKIT_WEBDRIVER || '/usr/bin/WebKitWebDriver';
function miniBrowser() {
  for (const dir of ['/usr/lib/x86_64-linux-gnu', '/usr/lib/aarch64-linux-gnu', '/usr/lib']) {
    for (const api of ['webkit2gtk-4.1', 'webkit2gtk-4.0', 'webkitgtk-6.0']) {
      const p = path.join(dir, api, 'MiniBrowser');
      if (fs.existsSync(p)) return p;
    }
  }
  return null;
}

const webkit = {
  name: 'webkit',
  needs: ['display'],
  // The mock microphone hums at 150 Hz under short, loud 500 Hz and 1500 Hz
  // beeps; the hum carries about half of its level. The page samples its
  // microphone level in 100 ms windows four times a second, so it may miss
  // every beep of the last seconds and read up to 5 dB low.
  tone: { hz: 150, share: 0.3, levelDb: 7 },
  missing: () => firstMissing([
    [fs.existsSync(WEBDRIVER), `no WebKitWebDriver at ${WEBDRIVER} (apt-get install webkit2gtk-driver)`],
    [miniBrowser(), 'no MiniBrowser next to the WebKitGTK library (apt-get install webkit2gtk-driver)'],
    [fs.existsSync('/usr/bin/Xvfb'), 'no Xvfb (apt-get install xvfb)']]),
  async launch({ env, timeout }) {
    const port = await freePort();
    const driver = spawn(WEBDRIVER, [`--port=${port}`], { env, stdio: ['ignore', 'ignore', 'pipe'] });
    let log = '';
    driver.stderr.on('data', (d) => { log = (log + d).slice(-4000); });
    const wd = async (method, route, body) => {
      const res = await fetch(`http://127.0.0.1:${port}${route}`, {
        method, headers: { 'content-type': 'application/json' },
        body: body === undefined ? undefined : JSON.stringify(body),
        signal: AbortSignal.timeout(timeout),
      });
      const j = await res.json();
      if (j.value && j.value.error) throw new Error(`WebDriver ${route}: ${j.value.error}: ${j.value.message}`);
      return j.value;
    };
    try {
      await until('WebKitWebDriver', async () => {
        if (driver.exitCode !== null) throw new Error('WebKitWebDriver exited: ' + log);
        return wd('GET', '/status').then(() => true, () => false);
      });
      const s = await wd('POST', '/session', { capabilities: { alwaysMatch: {
        acceptInsecureCerts: true,
        'webkitgtk:browserOptions': { binary: miniBrowser(), args: ['--automation',
          '--enable-mock-capture-devices=true', '--enable-media-stream=true', '--enable-webaudio=true',
          '--autoplay-policy=allow', '--media-playback-requires-user-gesture=false'] },
      } } });
      const session = `/session/${s.sessionId}`;
      await wd('POST', session + '/timeouts', { script: timeout });
      let windows = 0;
      return {
        // One window per page, so an older page keeps running while a newer
        // one is driven.
        async open(url) {
          const handle = windows++ === 0 ? await wd('GET', session + '/window')
            : (await wd('POST', session + '/window/new', { type: 'window' })).handle;
          const use = () => wd('POST', session + '/window', { handle });
          await use();
          await wd('POST', session + '/url', { url });
          return {
            async eval(expr) {
              await use();
              const r = await wd('POST', session + '/execute/async', { args: [], script:
                `const done = arguments[arguments.length - 1];
                 Promise.resolve().then(() => (${expr})).then((v) => done({ v }), (e) => done({ e: String(e) }));` });
              if (r && r.e !== undefined) throw new Error(r.e);
              return r ? r.v : r;
            },
            async click(sel) {
              await use();
              const el = await wd('POST', session + '/element', { using: 'css selector', value: sel });
              const id = el[Object.keys(el)[0]];
              await wd('POST', `${session}/element/${id}/click`, {});
            },
            async clickAt(x, y) {
              await use();
              await wd('POST', session + '/actions', { actions: [{ type: 'pointer', id: 'mouse',
                parameters: { pointerType: 'mouse' }, actions: [{ type: 'pointerMove', x, y, origin: 'viewport' },
                  { type: 'pointerDown', button: 0 }, { type: 'pointerUp', button: 0 }] }] });
            },
            close: async () => { await use(); await wd('DELETE', session + '/window'); },
          };
        },
        // WebKitWebDriver has no command that sets a permission.
        denyMicrophone: async () => false,
        async close() {
          await wd('DELETE', session).catch(() => {});
          await stop(driver);
        },
      };
    } catch (e) {
      await stop(driver);
      throw e;
    }
  },
};

export const ENGINES = { chromium, firefox, webkit };
