// The page's own player core (web/call-audio-playout.js) run in simulated
// real time on a stream's arrivals, for the network bench's scripted client.
//
//   node bench/player_node.mjs < arrivals
//
// Input, one line per piece the stream delivered: "T G N": its arrival time
// in seconds, the card frame number of its first sample (-1 if unknown) and
// its sample count, at 16 kHz. The pieces are pushed as the simulated card's
// numbering pattern, which is what the page would be given.
// Output, one line per 128-sample output quantum, rendered on an output clock
// that starts at the first arrival: "T I C I C ...": the quantum's time, then
// its runs (input sample index counted from the first piece, -1 for inserted
// samples, and how many output samples). A last line "# {figures}" holds the
// player's figures.
import { readFileSync } from 'node:fs';
import { Playout } from '../web/call-audio-playout.js';

const RATE = 16000;
const QUANTUM = 128;

// simcard.py's pattern_sample: low byte g & 0xff, high byte byte (g & 3) of g >> 8.
function patternSample(g) {
  const block = Math.floor(g / 256) >>> 0;
  const v = (((block >>> (8 * (g & 3))) & 0xff) << 8) | (g & 0xff);
  return (v >= 0x8000 ? v - 0x10000 : v) / 32768;
}

const pieces = readFileSync(0, 'utf8').split('\n').filter((l) => l.trim()).map((l) => l.split(' ').map(Number));
const player = new Playout({ rate: RATE });
const out = new Float32Array(QUANTUM);
const lines = [];
if (pieces.length) {
  const end = pieces[pieces.length - 1][0];
  let i = 0;
  for (let q = 0; ; q++) {
    const t = pieces[0][0] + q * QUANTUM / RATE;
    if (t > end) break;
    for (; i < pieces.length && pieces[i][0] <= t; i++) {
      const [at, g, n] = pieces[i];
      const samples = new Float32Array(n);
      if (g >= 0) for (let k = 0; k < n; k++) samples[k] = patternSample(g + k);
      player.push(samples, at);
    }
    player.render(out, t);
    lines.push(t.toFixed(6) + ' ' + player.takeRuns().flat().join(' '));
  }
}
lines.push('# ' + JSON.stringify(player.figures()));
process.stdout.write(lines.join('\n') + '\n');
