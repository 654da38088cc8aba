// AudioWorklet module of the bench: a processor that records what reaches
// the context's destination. The bench's page driver connects every node
// the client connects to the destination to this tap as well, so the tap's
// input is the destination's mix. Every BATCH_S of audio (or at a gap in
// the render clock) it posts { at, samples }: `at` is the context time of
// the batch's first sample, the samples are at the context's rate.

const BATCH_S = 0.1;

class BenchOutputTap extends AudioWorkletProcessor {
  constructor() {
    super();
    this.buf = new Float32Array(Math.ceil(sampleRate * BATCH_S) + 256);
    this.n = 0;
    this.at = 0;
    this.expect = -1;   // context time the next block should have
  }

  flush() {
    if (this.n > 0) {
      const samples = this.buf.slice(0, this.n);
      this.port.postMessage({ at: this.at, samples }, [samples.buffer]);
    }
    this.n = 0;
  }

  process(inputs, outputs) {
    for (const ch of outputs[0] || []) ch.fill(0);
    const input = inputs[0] && inputs[0][0];
    const len = input ? input.length : 128;
    if (this.n > 0 && Math.abs(currentTime - this.expect) > 0.5 / sampleRate) this.flush();
    if (this.n + len > this.buf.length) this.flush();
    if (input) this.buf.set(input, this.n);
    else this.buf.fill(0, this.n, this.n + len);
    if (this.n === 0) this.at = currentTime;
    this.n += len;
    this.expect = currentTime + len / sampleRate;
    if (this.n >= sampleRate * BATCH_S) this.flush();
    return true;
  }
}

registerProcessor('callaudio-bench-output-tap', BenchOutputTap);
