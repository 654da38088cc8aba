// AudioWorklet processors of the browser client, loaded with
// audioWorklet.addModule(). They run on the audio thread and only move
// samples: the network is in call-audio-worker.js, which talks to them over
// MessagePorts the page hands out ({ type: 'port', port } on node.port).
import { FramePacker, RATE, Resampler } from './call-audio-core.js';
import { Playout } from './call-audio-playout.js';

const REPORT_EVERY = 0.1; // seconds between figure and played-input messages

// Plays the far end through the adaptive player (call-audio-playout.js):
// samples come from the network worker, already at the context's rate.
// Reports go to the page on node.port: figures, which input samples each
// stretch of output played (their index at 16 kHz, from 0 at the stream's
// start), and, when asked, the output itself.
class CallAudioPlayer extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const o = options.processorOptions || {};
    this.player = new Playout({ rate: sampleRate, minTargetMs: o.minTargetMs, maxTargetMs: o.maxTargetMs,
                                capMs: o.capMs });
    this.toInput = RATE / sampleRate;   // input samples at 16 kHz per sample here
    this.tap = !!o.tap;                 // send what was played back to the page
    this.tapped = [];
    this.tappedLen = 0;
    this.blocksAt = -1;
    this.sumSq = 0;
    this.count = 0;
    this.nextReport = currentTime + REPORT_EVERY;
    const take = (e) => {
      const m = e.data;
      if (m instanceof Float32Array) this.player.push(m, currentTime);
      else if (m && m.type === 'flush') {
        // Input indexes restart with the stream: what played of the old
        // one is reported first.
        this.report();
        this.player.flush();
      } else if (m && m.type === 'port') m.port.onmessage = take;
    };
    this.port.onmessage = take;
  }

  process(inputs, outputs) {
    const out = outputs[0];
    const ch0 = out[0];
    this.player.render(ch0, currentTime);
    for (let c = 1; c < out.length; c++) out[c].set(ch0);
    if (this.blocksAt < 0) this.blocksAt = currentTime;
    for (let i = 0; i < ch0.length; i++) this.sumSq += ch0[i] * ch0[i];
    this.count += ch0.length;
    if (this.tap) {
      this.tapped.push(Float32Array.from(ch0));
      this.tappedLen += ch0.length;
    }
    if (currentTime >= this.nextReport) this.report();
    return true;
  }

  // Figures, and which input samples the output since the last report
  // played: blocks of [first, count] at 16 kHz (first -1: made up by the
  // player), from context time `at` on.
  report() {
    const f = this.player.figures();
    this.port.postMessage({ type: 'figures', ...f, level: Math.sqrt(this.sumSq / Math.max(1, this.count)) });
    const blocks = [];
    let inserted = 0;
    for (const [first, count] of this.player.takeRuns()) {
      const n = Math.round(count * this.toInput);
      if (first < 0) inserted += n;
      blocks.push([first < 0 ? -1 : Math.round(first * this.toInput), n]);
    }
    if (blocks.length && this.blocksAt >= 0) {
      this.port.postMessage({ type: 'played-input', at: this.blocksAt, blocks, inserted });
    }
    this.blocksAt = -1;
    this.sumSq = 0;
    this.count = 0;
    this.nextReport = currentTime + REPORT_EVERY;
    if (this.tap && this.tappedLen) {
      const all = new Float32Array(this.tappedLen);
      let o = 0;
      for (const t of this.tapped) { all.set(t, o); o += t.length; }
      this.tapped = [];
      this.tappedLen = 0;
      this.port.postMessage({ type: 'played', samples: all }, [all.buffer]);
    }
  }
}

// Turns the microphone into 20 ms frames of 16 kHz S16LE, resampling when
// the context does not run at 16 kHz. Frames go to the network worker's
// port; levels to the page.
class CallAudioMic extends AudioWorkletProcessor {
  constructor() {
    super();
    this.resampler = sampleRate === RATE ? null : new Resampler(sampleRate, RATE);
    this.packer = new FramePacker();
    this.out = null;
    this.sumSq = 0;
    this.count = 0;
    this.nextReport = currentTime + REPORT_EVERY;
    this.mono = new Float32Array(128);
    this.port.onmessage = (e) => {
      if (e.data && e.data.type === 'port') this.out = e.data.port;
    };
  }

  process(inputs) {
    const input = inputs[0];
    if (input && input.length > 0) {
      const n = input[0].length;
      if (this.mono.length !== n) this.mono = new Float32Array(n);
      const mono = this.mono;
      if (input.length === 1) mono.set(input[0]);
      else {
        mono.fill(0);
        for (const ch of input) for (let i = 0; i < n; i++) mono[i] += ch[i] / input.length;
      }
      for (let i = 0; i < n; i++) this.sumSq += mono[i] * mono[i];
      this.count += n;
      const at16k = this.resampler ? this.resampler.process(mono) : mono;
      for (const frame of this.packer.push(at16k)) {
        if (this.out) this.out.postMessage({ type: 'frame', bytes: frame }, [frame.buffer]);
      }
    }
    if (currentTime >= this.nextReport) {
      this.port.postMessage({ type: 'level', level: Math.sqrt(this.sumSq / Math.max(1, this.count)) });
      this.sumSq = 0;
      this.count = 0;
      this.nextReport = currentTime + REPORT_EVERY;
    }
    return true;
  }
}

registerProcessor('call-audio-player', CallAudioPlayer);
registerProcessor('call-audio-mic', CallAudioMic);
