// The demo page: the call panel, and the client's figures behind "Details".
// scripts/dev-run puts the service and a token in the address's fragment
// (#service=...&token=...), which is never sent to the server of this page.
// The token is taken out of the visible address at once, so it stays out of
// the browser's history and of what the user copies; the panel's token
// callback hands it over. A router's interface would fetch one from its own
// back end there instead.
const params = new URLSearchParams(location.hash.slice(1));
let token = '';   // the address's token, until the panel has it

// Keeps a token given in the fragment (now, or pasted later) and removes it
// from the address.
function takeToken() {
  const p = new URLSearchParams(location.hash.slice(1));
  if (!p.has('token')) return;
  token = p.get('token');
  p.delete('token');
  history.replaceState(null, '', location.pathname + location.search + (p.toString() ? '#' + p : ''));
}
takeToken();
window.addEventListener('hashchange', takeToken);

// Test hook (#insecure=1): shows the insecure page's state where the page
// can only be reached from loopback, which browsers count as secure.
if (params.get('insecure')) Object.defineProperty(window, 'isSecureContext', { value: false });

// What the page saw, kept for whoever inspects it (the browser test does).
const seen = { states: [], figures: [], tokenRequests: 0, played: [], playedRate: 0, errors: [] };
window.callAudioDemo = seen;
window.addEventListener('error', (e) => seen.errors.push(String(e.message)));
window.addEventListener('unhandledrejection', (e) => seen.errors.push(String(e.reason)));

await import('../call-audio-panel.js');
const panel = document.querySelector('call-audio-panel');
panel.service = params.get('service') || 'https://localhost:9444';
panel.clientOptions = {
  // "#tap=1" keeps what the player played, for the browser test.
  onPlayed: params.get('tap') ? (samples, rate) => { seen.played.push(samples); seen.playedRate = rate; } : null,
  sampleRate: params.get('rate') ? Number(params.get('rate')) : undefined,
};
// The token callback hands over each token the address gave once: asked
// again with no new one (a renewal, or after a refusal), it has none, and
// the panel says the token was refused. A fresh address from
// scripts/dev-run, or a '#token=...' typed after this page's address, gives
// it the next one.
// "#renew=T1,T2" answers the asks after the first with these tokens in turn
// (the last one again and again), for the browser test.
const renewals = (params.get('renew') || '').split(',').filter(Boolean);
panel.getToken = async () => {
  seen.tokenRequests += 1;
  if (seen.tokenRequests > 1 && renewals.length) return renewals.length > 1 ? renewals.shift() : renewals[0];
  const t = token;
  token = '';
  return t;
};
seen.panel = panel;
panel.addEventListener('statechange', (e) => seen.states.push({ ...e.detail, t: performance.now() }));

// The developer figures: every number the client reports, as it reports it.
const $ = (id) => document.getElementById(id);
const rows = new Map();
function meter(el, rms) {
  const db = rms > 0 ? 20 * Math.log10(rms) : -100;
  const pct = Math.round(Math.max(0, Math.min(100, (db + 60) * 100 / 60)));
  el.style.width = pct + '%';
  el.parentElement.setAttribute('aria-valuenow', String(pct));
}
panel.addEventListener('figures', (e) => {
  const f = e.detail;
  seen.figures.push({ ...f, t: performance.now() });
  if (seen.figures.length > 2000) seen.figures.shift();
  meter($('rx-meter'), f.rxLevel || 0);
  meter($('tx-meter'), f.txLevel || 0);
  for (const [k, v] of Object.entries(f)) {
    if (k === 'rxLevel' || k === 'txLevel') continue;
    let cell = rows.get(k);
    if (!cell) {
      const tr = document.createElement('tr');
      const th = document.createElement('th');
      th.scope = 'row';
      th.textContent = k;
      cell = document.createElement('td');
      tr.append(th, cell);
      $('figures').append(tr);
      rows.set(k, cell);
    }
    cell.textContent = typeof v === 'number' && !Number.isInteger(v) ? v.toFixed(1) : String(v);
  }
});
