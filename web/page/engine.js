// The tractwave WebAssembly module as JavaScript sees it: the parameter table
// and a Voice that owns its arrays inside the module's memory. Shared by the
// page, the AudioWorklet and the node tests, so all three call the library in
// exactly the same way.

import {
  NASAL_SECTIONS,
  NUM_PARAMETERS,
  ORAL_SECTIONS,
  PARAMETERS,
  PITCH_LOWEST_HZ,
  PITCH_SPAN_HZ,
} from "./facts.js";

// The library's sizes and parameter table (name, neutral, initial, hint; in
// index order), from facts.js, which the build writes from the headers and
// data/parameters.json. All parameters run nominally 0 to 1; `neutral` is
// where a fresh page starts.
export { NASAL_SECTIONS, ORAL_SECTIONS, PARAMETERS };
export const PARAMETER_COUNT = NUM_PARAMETERS;
export const PARAMETER_INDEX = Object.fromEntries(
  PARAMETERS.map((p, i) => [p.name, i]),
);

export function pitchHz(pitch) {
  return pitch * PITCH_SPAN_HZ + PITCH_LOWEST_HZ;
}

export function pitchParameter(hz) {
  return (hz - PITCH_LOWEST_HZ) / PITCH_SPAN_HZ;
}

// Compiling is separate from instantiating: a fresh instance is a fresh
// per-thread record (noise generator, filters, smoother history), which is
// what a new voice must start from to be reproducible.
export function compileModule(bytes) {
  return new WebAssembly.Module(bytes);
}

// One instance of a standalone module, and bump allocation in its memory
// above __heap_base: what is allocated lives as long as the instance.
export class Instance {
  constructor(module) {
    this.instance = new WebAssembly.Instance(module, {});
    this.exports = this.instance.exports;
    // A standalone reactor module: run its initialiser, if any, once.
    if (this.exports._initialize) this.exports._initialize();
    this.next = this.exports.__heap_base.value;
  }

  alloc(bytes, alignment = 16) {
    const offset = Math.ceil(this.next / alignment) * alignment;
    const end = offset + bytes;
    const memory = this.exports.memory;
    if (end > memory.buffer.byteLength)
      memory.grow(Math.ceil((end - memory.buffer.byteLength) / 65536));
    this.next = end;
    return offset;
  }
}

export class Engine extends Instance {
  static fromBytes(bytes) {
    return new Engine(compileModule(bytes));
  }

  allocFloats(count) {
    return this.alloc(count * 4);
  }

  floats(offset, count) {
    return new Float32Array(this.exports.memory.buffer, offset, count);
  }

  newVoice(maxBlock) {
    return new Voice(this, maxBlock);
  }
}

// One voice: parameter vector, wave arrays, phase, output buffer, and the
// geometry scratch for drawing. The engine's single record is shared by every
// voice on it, as on one native thread: give each voice its own Engine when
// voices must be independent.
export class Voice {
  constructor(engine, maxBlock) {
    this.engine = engine;
    this.maxBlock = maxBlock;
    const sizes = {
      params: PARAMETER_COUNT,
      R: ORAL_SECTIONS,
      L: ORAL_SECTIONS,
      nasalR: NASAL_SECTIONS,
      nasalL: NASAL_SECTIONS,
      phase: 1,
      out: maxBlock,
      oral: ORAL_SECTIONS,
      nasal: NASAL_SECTIONS,
      velum: 1,
    };
    this.ptr = {};
    for (const [key, count] of Object.entries(sizes))
      this.ptr[key] = engine.allocFloats(count);
    this.sizes = sizes;
    this.refreshViews();
  }

  // Typed-array views die when the memory grows; rebuild them if so.
  refreshViews() {
    const buffer = this.engine.exports.memory.buffer;
    if (this.buffer === buffer) return;
    this.buffer = buffer;
    for (const [key, count] of Object.entries(this.sizes))
      this[key] = this.engine.floats(this.ptr[key], count);
  }

  setParameters(values) {
    this.refreshViews();
    this.params.set(values);
  }

  // Zeroed waves and phase: a new voice (the engine's record is untouched).
  reset() {
    this.refreshViews();
    for (const key of ["R", "L", "nasalR", "nasalL", "phase"])
      this[key].fill(0);
  }

  checkBlock(n) {
    if (!(Number.isInteger(n) && n >= 0 && n <= this.maxBlock))
      throw new RangeError(`block of ${n} samples: 0 to ${this.maxBlock} allowed`);
  }

  // Renders n <= maxBlock samples with synthesize_waveguide_chunk_ex and
  // returns a view of them (valid until the next render).
  render(n, sampleRate) {
    this.checkBlock(n);
    const p = this.ptr;
    this.engine.exports.synthesize_waveguide_chunk_ex(
      n, p.params, p.R, p.L, p.nasalR, p.nasalL, p.phase, p.out, sampleRate);
    this.refreshViews();
    return this.out.subarray(0, n);
  }

  // The library's 48 kHz entry point, for the known-answer comparison.
  render48k(n) {
    this.checkBlock(n);
    const p = this.ptr;
    this.engine.exports.synthesize_waveguide_chunk(
      n, p.params, p.R, p.L, p.nasalR, p.nasalL, p.phase, p.out);
    this.refreshViews();
    return this.out.subarray(0, n);
  }

  // Tract geometry of the current parameter vector, as the library builds it.
  geometry() {
    const p = this.ptr;
    this.engine.exports.compute_diameters_from_dofs(
      p.params, p.oral, p.nasal, p.velum);
    this.refreshViews();
    return {
      oral: Float32Array.from(this.oral),
      nasal: Float32Array.from(this.nasal),
      velum: this.velum[0],
    };
  }
}
