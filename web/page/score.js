// Scores of articulatory keyframes, in the JSON form tractwave-render reads:
//   {"sample_rate": 48000, "block": 64,
//    "keyframes": [{"t": 0.0, "pitch": 0.3, ...}, ...]}
// and the block rule that makes a score give the same samples everywhere: the
// output has round(t_last x rate) samples, made in blocks of `block` samples
// (the last one shorter), and the block starting at sample s uses the
// keyframes linearly interpolated at s / rate.

import { PARAMETERS, PARAMETER_COUNT, PARAMETER_INDEX } from "./engine.js";

export const DEFAULT_RATE = 48000;
export const DEFAULT_BLOCK = 64;

// A parameter the first keyframe leaves out starts here: silent and without
// breath, neutral otherwise.
const START_VALUES = PARAMETERS.map((p) =>
  p.name === "voicing" || p.name === "breathiness" ? 0 : 0.5);

function fail(where, message) {
  throw new Error(where ? `${where}: ${message}` : message);
}

function number(value, where) {
  if (typeof value !== "number" || !Number.isFinite(value))
    fail(where, `expected a finite number, got ${JSON.stringify(value)}`);
  return value;
}

// Parses and checks a score. Every error names the key or keyframe at fault.
// Returns {sampleRate, block, keyframes: [{t, values: Float32Array(10)}]}.
export function parseScore(text, name = "score") {
  let data;
  try {
    data = JSON.parse(text);
  } catch (e) {
    fail(name, `not valid JSON (${e.message})`);
  }
  if (data === null || typeof data !== "object" || Array.isArray(data))
    fail(name, "expected a JSON object with a \"keyframes\" array");
  for (const key of Object.keys(data))
    if (!["sample_rate", "block", "keyframes"].includes(key))
      fail(name, `unknown key "${key}"`);

  const sampleRate = data.sample_rate === undefined
    ? DEFAULT_RATE : number(data.sample_rate, `${name}: "sample_rate"`);
  if (!(sampleRate > 0)) fail(name, `"sample_rate" must be positive`);
  const block = data.block === undefined
    ? DEFAULT_BLOCK : number(data.block, `${name}: "block"`);
  if (!Number.isInteger(block) || block < 1)
    fail(name, `"block" must be a whole number of at least 1`);

  if (!Array.isArray(data.keyframes) || data.keyframes.length === 0)
    fail(name, "empty score: \"keyframes\" must be a non-empty array");

  const keyframes = [];
  let previous = Float32Array.from(START_VALUES);
  data.keyframes.forEach((frame, i) => {
    const where = `${name}: keyframe ${i}`;
    if (frame === null || typeof frame !== "object" || Array.isArray(frame))
      fail(where, "expected an object");
    if (!("t" in frame)) fail(where, `missing "t"`);
    const t = number(frame.t, `${where} "t"`);
    if (keyframes.length && t < keyframes[keyframes.length - 1].t)
      fail(where, `time ${t} is before the previous keyframe's`);
    const values = Float32Array.from(previous);
    for (const [key, value] of Object.entries(frame)) {
      if (key === "t") continue;
      if (!(key in PARAMETER_INDEX)) fail(where, `unknown parameter "${key}"`);
      values[PARAMETER_INDEX[key]] = number(value, `${where} "${key}"`);
    }
    keyframes.push({ t, values });
    previous = values;
  });
  return { sampleRate, block, keyframes };
}

// Samples in the rendered score.
export function scoreLength(score) {
  const last = score.keyframes[score.keyframes.length - 1].t;
  return Math.max(0, Math.round(last * score.sampleRate));
}

// Writes the parameter vector at time t into out (10 floats).
export function parametersAt(score, t, out) {
  const frames = score.keyframes;
  // The last keyframe at or before t; with several at one time, the later
  // one holds from that time on.
  let lo = -1;
  let hi = frames.length;
  while (hi - lo > 1) {
    const mid = (lo + hi) >> 1;
    if (frames[mid].t <= t) lo = mid;
    else hi = mid;
  }
  if (lo < 0) {
    out.set(frames[0].values);
  } else if (lo === frames.length - 1) {
    out.set(frames[lo].values);
  } else {
    const a = frames[lo];
    const b = frames[lo + 1]; // b.t > t >= a.t, so the span is not empty
    const w = (t - a.t) / (b.t - a.t);
    for (let k = 0; k < PARAMETER_COUNT; ++k)
      out[k] = a.values[k] + (b.values[k] - a.values[k]) * w;
  }
  return out;
}

// Plays a score into a Voice with the block rule, handing out samples in
// whatever quantum the caller asks for (the AudioWorklet's 128), so the
// score's blocks need not line up with the audio callback's.
export class ScorePlayer {
  constructor(score, voice) {
    if (voice.maxBlock < score.block)
      throw new RangeError("voice buffer shorter than the score's block");
    this.score = score;
    this.voice = voice;
    this.length = scoreLength(score);
    this.position = 0; // next sample to render
    this.pending = new Float32Array(score.block);
    this.pendingStart = 0;
    this.pendingEnd = 0;
  }

  get done() {
    return this.position >= this.length && this.pendingStart >= this.pendingEnd;
  }

  // Time of the block now sounding, for the page's display.
  get time() {
    return this.position / this.score.sampleRate;
  }

  // Fills out with the next samples; past the end, with silence. Returns the
  // number of score samples written.
  fill(out) {
    let written = 0;
    while (written < out.length) {
      if (this.pendingStart >= this.pendingEnd) {
        if (this.position >= this.length) break;
        const s = this.position;
        const n = Math.min(this.score.block, this.length - s);
        parametersAt(this.score, s / this.score.sampleRate, this.voice.params);
        this.pending.set(this.voice.render(n, this.score.sampleRate));
        this.pendingStart = 0;
        this.pendingEnd = n;
        this.position = s + n;
      }
      const take = Math.min(out.length - written,
        this.pendingEnd - this.pendingStart);
      out.set(this.pending.subarray(this.pendingStart, this.pendingStart + take),
        written);
      this.pendingStart += take;
      written += take;
    }
    out.fill(0, written);
    return written;
  }
}
