// Watches a global's fetch() for the bench, in the page or in a worker the
// client starts: each post to /tx is timed, and each /stream response is
// read as it passes, so that its input samples (counted from 0 at the
// stream's start) can be matched with the card's frame numbers. What it
// sees goes to emit(message):
//   { kind: 'post', t, rtt, status, size, seq }  t: epoch ms it was sent
//   { kind: 'stream', id, t }                   a stream started
//   { kind: 'run', id, index, g }               stream sample `index` is card frame g
// In a worker this module is imported first by the bench's wrapper
// (driver.mjs), and emits on the BroadcastChannel CHANNEL.
import { RunFinder, pattern } from './pattern.mjs';

const FRAME = 320;           // samples per microphone frame

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
    const seqText = new URL(u, 'http://x').searchParams.get('seq');
    const seq = seqText === null ? null : Number(seqText);
    const body = init && init.body;
    const size = body ? (body.byteLength ?? body.size ?? 0) : 0;
    if (seq !== null && stampPosts) init = { ...init, body: stamped(body, seq) };
    const post = { kind: 'post', t: t0, status: 0, size, seq };
    try {
      const res = await realFetch(url, init);
      emit({ ...post, rtt: now() - t0, status: res.status });
      return res;
    } catch (e) {
      emit({ ...post, rtt: now() - t0 });
      throw e;
    }
  };
}

// With `seq` (the index in the client's capture of the body's first 20 ms
// frame) a post's frames can be stamped where they leave, for a client
// that hands the page no microphone frames: body frame k is capture frame
// seq + k. The page turns this off when it stamps the frames itself.
let stampPosts = true;
export function stampAtPosts(on) {
  stampPosts = on;
}

function stamped(body, seq) {
  const src = body instanceof ArrayBuffer ? new Uint8Array(body)
    : ArrayBuffer.isView(body) ? new Uint8Array(body.buffer, body.byteOffset, body.byteLength) : null;
  if (!src || src.length % (FRAME * 2)) return body;
  const out = new Uint8Array(src.length);
  const v = new DataView(out.buffer);
  for (let i = 0; i < src.length / 2; i++) v.setInt16(2 * i, pattern(seq * FRAME + i), true);
  return out;
}

// In a worker: install on the worker's own fetch at import.
if (typeof WorkerGlobalScope !== 'undefined' && globalThis instanceof WorkerGlobalScope) {
  const channel = new BroadcastChannel(CHANNEL);
  installFetchTap(globalThis, (m) => channel.postMessage(m), 'worker');
}
