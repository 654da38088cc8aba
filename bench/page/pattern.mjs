// The simulated card's frame-numbering pattern, for the bench's pages:
// sample g carries low byte g & 0xff and high byte byte (g & 3) of the
// block number g >> 8 (tools/simcard/simcard.py has the same in Python).

export const RATE = 16000;

export function pattern(g) {
  const block = Math.floor(g / 256);
  const v = (Math.floor(block / 2 ** (8 * (g & 3))) % 256) * 256 + (g % 256);
  return v >= 0x8000 ? v - 0x10000 : v;
}

// Frame number of s[i], or -1 unless s[i..i+7] is a run of the pattern.
export function decodeAt(s, i) {
  const lo = s[i] & 0xff;
  if ((lo & 3) !== 0 || lo > 248 || i + 8 > s.length) return -1;
  let block = 0;
  for (let k = 3; k >= 0; k--) {
    if ((s[i + k] & 0xff) !== lo + k) return -1;
    block = block * 256 + ((s[i + k] >> 8) & 0xff);
  }
  const g = block * 256 + lo;
  for (let k = 4; k < 8; k++) if (s[i + k] !== pattern(g + k)) return -1;
  return g;
}

// Follows a stream of samples and reports where runs of the pattern start:
// onRun(index, g) when sample `index` (counted from 0 at the stream's
// start) carries frame g and does not continue the run before it.
export class RunFinder {
  constructor(onRun) {
    this.onRun = onRun;
    this.tail = new Int16Array(0);   // the last 7 samples, not yet decodable
    this.base = 0;                   // stream index of tail[0]
    this.run = null;                 // [index, g] of the current run's start
  }

  push(samples) {
    const s = new Int16Array(this.tail.length + samples.length);
    s.set(this.tail);
    s.set(samples, this.tail.length);
    const last = s.length - 8;
    for (let i = 0; i <= last; i++) {
      if (s[i] & 3) continue;
      const g = decodeAt(s, i);
      if (g < 0) continue;
      const at = this.base + i;
      if (!this.run || g - this.run[1] !== at - this.run[0]) {
        this.run = [at, g];
        this.onRun(at, g);
      }
      i += 3;
    }
    const keep = Math.min(7, s.length);
    this.tail = s.slice(s.length - keep);
    this.base += s.length - keep;
  }
}
