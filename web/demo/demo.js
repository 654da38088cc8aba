// Demo of the call-audio browser client. Settings come from the address's
// fragment (#service=...&token=...), which scripts/dev-run prints; the
// fragment is never sent to the server that serves this page.
import { CallAudioClient } from '../call-audio-client.js';

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.hash.slice(1));
$('service').value = params.get('service') || 'https://localhost:9444';
$('token').value = params.get('token') || '';

// What the page saw, kept for whoever inspects it (the browser test does).
const seen = { states: [], figures: [], tokenRequests: 0, played: [], playedRate: 0, client: null,
               supplyToken: null, errors: [] };
window.callAudioDemo = seen;
window.addEventListener('error', (e) => seen.errors.push(String(e.message)));
window.addEventListener('unhandledrejection', (e) => seen.errors.push(String(e.reason)));

function updateTrustLink() {
  const base = $('service').value.replace(/\/+$/, '');
  $('trust').href = base + '/api/v1/voice_call/audio/health?token=' + encodeURIComponent($('token').value);
}
updateTrustLink();
$('service').addEventListener('input', updateTrustLink);
$('token').addEventListener('input', updateTrustLink);

// Called by the client when the service refuses the token: shows a box and
// resolves with what the user pastes. A real web interface would ask its
// own back end for a fresh token here instead.
// "#renew=T1,T2" answers the renewals with these tokens in turn (the last
// one again and again), for the browser test.
const renewals = (params.get('renew') || '').split(',').filter(Boolean);
function askForToken() {
  seen.tokenRequests += 1;
  if (renewals.length) return Promise.resolve(renewals.length > 1 ? renewals.shift() : renewals[0]);
  $('token-box').style.display = 'block';
  $('fresh-token').focus();
  return new Promise((resolve) => {
    seen.supplyToken = (t) => {
      $('token-box').style.display = 'none';
      seen.supplyToken = null;
      $('token').value = t;
      updateTrustLink();
      resolve(t);
    };
  });
}
$('use-token').addEventListener('click', () => seen.supplyToken && seen.supplyToken($('fresh-token').value.trim()));

function meter(el, rms) {
  const db = rms > 0 ? 20 * Math.log10(rms) : -100;
  el.style.width = Math.max(0, Math.min(100, (db + 60) * 100 / 60)) + '%';
}

$('call').addEventListener('click', () => {
  const client = new CallAudioClient({
    service: $('service').value,
    token: $('token').value.trim(),
    getToken: askForToken,
    onState: (s) => {
      seen.states.push({ ...s, t: performance.now() });
      $('state').textContent = s.state + (s.problem ? ' (' + s.problem + ')' : '');
      $('message').textContent = s.message;
      const active = s.state !== 'idle' && s.state !== 'ended';
      $('call').disabled = active;
      $('hangup').disabled = !active;
    },
    onFigures: (f) => {
      seen.figures.push({ ...f, t: performance.now() });
      if (seen.figures.length > 2000) seen.figures.shift();
      $('f-fill').textContent = f.fillMs.toFixed(0) + ' ms';
      $('f-underruns').textContent = String(f.underruns);
      $('f-dropped').textContent = f.droppedMs.toFixed(0) + ' ms';
      $('f-rtt').textContent = f.postRttMs.toFixed(1) + ' ms';
      $('f-pps').textContent = f.postsPerSecond.toFixed(0);
      $('f-rate').textContent = f.contextRate + ' Hz';
      meter($('rx-meter'), f.rxLevel);
      meter($('tx-meter'), f.txLevel);
    },
    // "#tap=1" keeps what the player played, for the browser test.
    onPlayed: params.get('tap') ? (samples, rate) => { seen.played.push(samples); seen.playedRate = rate; } : null,
    sampleRate: params.get('rate') ? Number(params.get('rate')) : undefined,
  });
  seen.client = client;
  // start() must run inside this click handler: autoplay rules.
  client.start().catch((e) => { $('message').textContent = 'Audio could not start: ' + e.message; });
});
$('hangup').addEventListener('click', () => seen.client && seen.client.stop());
