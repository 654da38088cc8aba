// Watches a global's fetch() for the bench, in the page or in a worker the
// client starts: each post to /tx is timed, and each /stream response is
// read as it passes, so that its input samples (counted from 0 at the
// stream's start) can be matched with the card's frame numbers. What it
// sees goes to emit(message):
//   { kind: 'post', t, rtt, status, size }      t: epoch ms it was sent
//   { kind: 'stream', id, t }                   a stream started
//   { kind: 'run', id, index, g }               stream sample `index` is card frame g
// In a worker this module is imported first by the bench's wrapper
// (driver.mjs), and emits on the BroadcastChannel CHANNEL.
import { RunFinder } from './pattern.mjs';

export const CHANNEL = 'callaudio-bench';
const now = () => performance.timeOrigin + performance.now();
let streams = 0;

function tapStream(res, emit, tag) {
  const id = `${tag}-${++streams}`;
  emit({ kind: 'stream', id, t: now() });
  const finder = new RunFinder((index, g) => emit({ kind: 'run', id, index, g }));
  let carry = -1;
  const split = new TransformStream({
    transform(chunk, out) {
      // S16LE; a chunk may end inside a sample.
      let bytes = chunk;
      if (carry >= 0) {
        bytes = new Uint8Array(chunk.length + 1);
        bytes[0] = carry;
        bytes.set(chunk, 1);
      }
      const n = bytes.length >> 1;
      carry = bytes.length & 1 ? bytes[bytes.length - 1] : -1;
      const s = new Int16Array(n);
      for (let i = 0; i < n; i++) s[i] = (bytes[2 * i] | (bytes[2 * i + 1] << 8)) << 16 >> 16;
      finder.push(s);
      out.enqueue(chunk);
    },
  });
  return new Response(res.body.pipeThrough(split), { status: res.status, statusText: res.statusText,
                                                       headers: res.headers });
}

export function installFetchTap(scope, emit, tag) {
  const realFetch = scope.fetch.bind(scope);
  scope.fetch = async (url, init) => {
    const u = String(url && url.url ? url.url : url);
    if (u.includes('/stream')) {
      const res = await realFetch(url, init);
      return res.status === 200 && res.body ? tapStream(res, emit, tag) : res;
    }
    if (!u.includes('/tx')) return realFetch(url, init);
    const t0 = now();
    const body = init && init.body;
    const size = body ? (body.byteLength ?? body.size ?? 0) : 0;
    try {
      const res = await realFetch(url, init);
      emit({ kind: 'post', t: t0, rtt: now() - t0, status: res.status, size });
      return res;
    } catch (e) {
      emit({ kind: 'post', t: t0, rtt: now() - t0, status: 0, size });
      throw e;
    }
  };
}

// In a worker: install on the worker's own fetch at import.
if (typeof WorkerGlobalScope !== 'undefined' && globalThis instanceof WorkerGlobalScope) {
  const channel = new BroadcastChannel(CHANNEL);
  installFetchTap(globalThis, (m) => channel.postMessage(m), 'worker');
}
