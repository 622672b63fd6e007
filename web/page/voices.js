// The tractwave voices WebAssembly module as JavaScript sees it: a Choir of
// independent voices in the module's memory, rendered together by one batch
// call, one voice per wasm SIMD lane. Shared by the page, the AudioWorklet
// and the node tests.

import { PITCH } from "./facts.js";
import { Instance, PARAMETER_COUNT, compileModule, pitchHz, pitchParameter } from "./engine.js";

export class VoicesEngine extends Instance {
  static fromBytes(bytes) {
    return new VoicesEngine(compileModule(bytes));
  }

  newChoir(count, maxBlock) {
    return new Choir(this, count, maxBlock);
  }
}

// count voices, each with its own parameter vector, and their output blocks
// one after another.
export class Choir {
  constructor(engine, count, maxBlock) {
    if (!(Number.isInteger(count) && count >= 1))
      throw new RangeError(`a choir of ${count} voices`);
    this.engine = engine;
    this.count = count;
    this.maxBlock = maxBlock;
    const x = engine.exports;
    const size = x.tractwave_voice_size();
    const alignment = x.tractwave_voice_alignment();
    this.voices = engine.alloc(size * count, alignment);
    this.pointers = engine.alloc(4 * count, 4);
    this.params = engine.alloc(4 * PARAMETER_COUNT * count);
    this.out = engine.alloc(4 * count * maxBlock);
    this.mixed = new Float32Array(maxBlock);
    const pointers = new Int32Array(x.memory.buffer, this.pointers, count);
    for (let i = 0; i < count; ++i) {
      pointers[i] = this.voices + i * size;
      x.tractwave_voice_init(pointers[i]);
    }
  }

  // Parameter vectors, one per voice (an array of arrays of 10 numbers).
  setParameters(vectors) {
    if (vectors.length !== this.count)
      throw new RangeError(`${vectors.length} parameter vectors for ${this.count} voices`);
    const all = new Float32Array(this.engine.exports.memory.buffer, this.params,
      PARAMETER_COUNT * this.count);
    vectors.forEach((v, i) => all.set(v, i * PARAMETER_COUNT));
  }

  // Renders n samples of every voice; returns one Float32Array view per voice
  // (valid until the next render).
  render(n, sampleRate) {
    if (!(Number.isInteger(n) && n >= 0 && n <= this.maxBlock))
      throw new RangeError(`block of ${n} samples: 0 to ${this.maxBlock} allowed`);
    const x = this.engine.exports;
    x.tractwave_voices_render(this.pointers, this.count, n, this.params,
      this.out, sampleRate);
    const buffer = x.memory.buffer;
    return Array.from({ length: this.count },
      (_, i) => new Float32Array(buffer, this.out + 4 * i * n, n));
  }

  // The voices summed and scaled by 1 / sqrt(count), so that a chord is about
  // as loud as one voice and never leaves -0.95 ... 0.95 by much.
  renderMix(n, sampleRate) {
    const voices = this.render(n, sampleRate);
    const gain = 1 / Math.sqrt(this.count);
    const mix = this.mixed.subarray(0, n);
    mix.fill(0);
    for (const v of voices)
      for (let s = 0; s < n; ++s) mix[s] += v[s];
    for (let s = 0; s < n; ++s) mix[s] *= gain;
    return mix;
  }
}

// A chord on the given parameter vector: the same tract at pitches a major
// triad and an octave above it (equal temperament), on the pitch
// parameter's map.
export const CHORD_STEPS = [0, 4, 7, 12];

export function chordVoices(params, steps = CHORD_STEPS) {
  const f0 = pitchHz(params[PITCH]);
  return steps.map((semitones) => {
    const v = Array.from(params);
    v[PITCH] = pitchParameter(f0 * 2 ** (semitones / 12));
    return v;
  });
}
