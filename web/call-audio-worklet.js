// AudioWorklet processors of the browser client, loaded with
// audioWorklet.addModule(). They run on the audio thread, so they only move
// samples; the network stays on the page's thread.
import { FramePacker, JitterBuffer, RATE, Resampler } from './call-audio-core.js';

const REPORT_EVERY = 0.1; // seconds between figure messages

// Plays the far end: samples arrive by message, already at the context's
// rate, and go through the jitter buffer.
class CallAudioPlayer extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const o = options.processorOptions || {};
    const ms = sampleRate / 1000;
    this.buffer = new JitterBuffer({ start: Math.round((o.startMs ?? 60) * ms),
                                     cap: Math.round((o.capMs ?? 200) * ms) });
    this.tap = !!o.tap;           // send what was played back to the page
    this.tapped = [];
    this.tappedLen = 0;
    this.sumSq = 0;
    this.count = 0;
    this.nextReport = currentTime + REPORT_EVERY;
    this.port.onmessage = (e) => {
      const m = e.data;
      if (m instanceof Float32Array) this.buffer.push(m);
      else if (m && m.type === 'flush') {
        this.buffer = new JitterBuffer({ start: this.buffer.start, cap: this.buffer.cap });
      }
    };
  }

  process(inputs, outputs) {
    const out = outputs[0];
    const ch0 = out[0];
    this.buffer.pull(ch0);
    for (let c = 1; c < out.length; c++) out[c].set(ch0);
    for (let i = 0; i < ch0.length; i++) this.sumSq += ch0[i] * ch0[i];
    this.count += ch0.length;
    if (this.tap) {
      this.tapped.push(Float32Array.from(ch0));
      this.tappedLen += ch0.length;
    }
    if (currentTime >= this.nextReport) {
      const ms = sampleRate / 1000;
      const b = this.buffer;
      const msg = {
        type: 'figures',
        fillMs: b.fill / ms,
        peakMs: b.takePeak() / ms,
        underruns: b.underruns,
        droppedMs: b.dropped / ms,
        level: Math.sqrt(this.sumSq / Math.max(1, this.count)),
      };
      this.sumSq = 0;
      this.count = 0;
      this.nextReport = currentTime + REPORT_EVERY;
      this.port.postMessage(msg);
      if (this.tap && this.tappedLen) {
        const all = new Float32Array(this.tappedLen);
        let o = 0;
        for (const t of this.tapped) { all.set(t, o); o += t.length; }
        this.tapped = [];
        this.tappedLen = 0;
        this.port.postMessage({ type: 'played', samples: all }, [all.buffer]);
      }
    }
    return true;
  }
}

// Turns the microphone into 20 ms frames of 16 kHz S16LE, resampling when
// the context does not run at 16 kHz.
class CallAudioMic extends AudioWorkletProcessor {
  constructor() {
    super();
    this.resampler = sampleRate === RATE ? null : new Resampler(sampleRate, RATE);
    this.packer = new FramePacker();
    this.sumSq = 0;
    this.count = 0;
    this.nextReport = currentTime + REPORT_EVERY;
    this.mono = new Float32Array(128);
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
        this.port.postMessage({ type: 'frame', bytes: frame }, [frame.buffer]);
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
