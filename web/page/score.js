// Scores of articulatory keyframes, read as tractwave-render reads its files
// (JSON or CSV) and played by the same rule, which docs/scores.md states:
//   {"sample_rate": 48000, "block": 64,
//    "keyframes": [{"t": 0.0, "pitch": 0.3, ...}, ...]}
// The output has round(t_last x rate) samples, made in blocks of `block`
// samples (the last one shorter), and the block starting at sample s uses
// the keyframes linearly interpolated at s / rate, in double precision,
// rounded to single precision at the end. The shared cases in tests/scores/
// hold this file, the program and the Python package to the same verdicts.

import { PARAMETERS, PARAMETER_COUNT } from "./engine.js";

export const DEFAULT_RATE = 48000;
export const DEFAULT_BLOCK = 64;
export const MIN_RATE = 8001; // the library renders 8000 Hz and below as 48000
export const MAX_RATE = 768000;
export const MAX_BLOCK = 2147483647;
export const MAX_VALUE = 1e6; // every number in a score: the library's finite range
export const MAX_SAMPLES = 1e9;
export const MAX_DEPTH = 64;
export const MAX_SCORE_SIZE = 256 * 1024 * 1024;

const QUOTE_CHARS = 40;
// A Map, not an object: "toString" or "__proto__" must not look like a name.
const INDEX = new Map(PARAMETERS.map((p, i) => [p.name, i]));
const KNOWN = ["t", ...INDEX.keys()].join(", ");

// A parameter the first keyframe leaves out starts here: silent and without
// breath, neutral otherwise.
const START_VALUES = PARAMETERS.map((p) => p.initial);

export class ScoreError extends Error {}

// Text from a score, safe to show: quoted, control characters escaped, cut
// short after 40 characters.
export function quote(text) {
  let out = "";
  let count = 0;
  for (const char of String(text)) {
    if (count++ === QUOTE_CHARS) {
      out += "...";
      break;
    }
    const code = char.codePointAt(0);
    if (char === "\"" || char === "\\") out += `\\${char}`;
    else if (code < 0x20 || (code >= 0x7f && code <= 0x9f) || (code >= 0xd800 && code <= 0xdfff))
      out += `\\u${code.toString(16).padStart(4, "0")}`;
    else out += char;
  }
  return `"${out}"`;
}

function shown(literal) {
  return literal.length <= QUOTE_CHARS ? literal : `${literal.slice(0, QUOTE_CHARS)}...`;
}

// A value's checks, wherever it was written; returns the fault or null.
function valueFault(name, value, literal, isTime) {
  if (!(Math.abs(value) <= MAX_VALUE))
    return `${name}: ${shown(literal)} is out of range (-1000000 to 1000000)`;
  if (isTime && value < 0)
    return `${name}: ${shown(literal)} is negative (times are seconds from 0)`;
  return null;
}

// Adds a keyframe, carrying over the values it leaves out; returns the fault
// if its time is earlier than the previous keyframe's.
function appendKeyframe(keyframes, t, given, tName) {
  const previous = keyframes[keyframes.length - 1];
  if (previous && t < previous.t)
    return `${tName}: ${t} is earlier than the previous keyframe's ${previous.t} ` +
      "(times must not decrease)";
  const values = Float64Array.from(previous ? previous.values : START_VALUES);
  for (const [index, value] of given) values[index] = value;
  keyframes.push({ t, values });
  return null;
}

// The offset of the first byte that is not well-formed UTF-8, or -1.
function invalidUtf8(bytes) {
  for (let i = 0; i < bytes.length;) {
    const c = bytes[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    let length;
    let lo = 0x80;
    let hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) length = 2;
    else if (c >= 0xe0 && c <= 0xef) {
      length = 3;
      if (c === 0xe0) lo = 0xa0;
      if (c === 0xed) hi = 0x9f; // no UTF-16 surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
      length = 4;
      if (c === 0xf0) lo = 0x90;
      if (c === 0xf4) hi = 0x8f; // nothing above U+10FFFF
    } else return i;
    if (i + length > bytes.length || bytes[i + 1] < lo || bytes[i + 1] > hi) return i;
    for (let k = 2; k < length; ++k)
      if (bytes[i + k] < 0x80 || bytes[i + k] > 0xbf) return i;
    i += length;
  }
  return -1;
}

// JSON's number grammar: no hexadecimal, "NaN", "Infinity", leading "+" or
// ".", or leading zero before more digits.
const JSON_NUMBER = /-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?/y;

// The JSON form. Faults of form (not JSON, a duplicate key, too deep) stop the
// reading at once; the first fault of meaning (an unknown key, a value out of
// range) is noted and reported once the whole text has been read as JSON, so
// that text that is not JSON is always reported as such.
class JsonReader {
  constructor(text, name) {
    this.s = text;
    this.name = name;
    this.pos = 0;
    this.line = 1;
    this.fault = null;
    this.keyframes = [];
    this.sampleRate = DEFAULT_RATE;
    this.block = DEFAULT_BLOCK;
  }

  read() {
    this.ws();
    const line = this.line;
    if (this.peek() === "{") this.scoreObject();
    else this.note(line, `the score must be a JSON object with "keyframes", not ${this.describe(this.value(1))}`);
    this.ws();
    if (this.pos < this.s.length) this.syntax(`unexpected ${this.found()} after the score`);
    if (this.fault) throw new ScoreError(this.fault);
    if (!this.keyframes.length) throw new ScoreError(`${this.name}: the score has no keyframes`);
    return { sampleRate: this.sampleRate, block: this.block, keyframes: this.keyframes };
  }

  syntax(what) {
    throw new ScoreError(`${this.name}:${this.line}: not valid JSON: ${what}`);
  }

  note(line, what) {
    if (!this.fault) this.fault = `${this.name}:${line}: ${what}`;
  }

  peek() {
    return this.pos < this.s.length ? this.s[this.pos] : "";
  }

  found() {
    return this.pos >= this.s.length ? "end of the text" : `character ${quote(this.s[this.pos])}`;
  }

  ws() {
    for (; this.pos < this.s.length; ++this.pos) {
      const c = this.s[this.pos];
      if (c === "\n") ++this.line;
      else if (c !== " " && c !== "\t" && c !== "\r") return;
    }
  }

  expect(c) {
    this.ws();
    if (this.peek() !== c) this.syntax(`expected '${c}' but found ${this.found()}`);
    ++this.pos;
  }

  describe(v) {
    return v.kind === "number" ? shown(v.text) : v.kind === "string" ? quote(v.text) : v.text;
  }

  open(depth) {
    if (depth > MAX_DEPTH)
      throw new ScoreError(`${this.name}:${this.line}: nested too deeply (more than ${MAX_DEPTH} levels)`);
    ++this.pos;
  }

  hex4() {
    const digits = this.s.slice(this.pos, this.pos + 4);
    if (!/^[0-9a-fA-F]{4}$/.test(digits)) this.syntax("bad \\u escape in a string");
    this.pos += 4;
    return parseInt(digits, 16);
  }

  string() {
    let out = "";
    ++this.pos; // the opening quote
    for (;;) {
      if (this.pos >= this.s.length) this.syntax("a string is not closed");
      const c = this.s[this.pos];
      if (c === "\"") {
        ++this.pos;
        return out;
      }
      if (c.charCodeAt(0) < 0x20) this.syntax("control character in a string (write it as \\u00XX)");
      if (c !== "\\") {
        out += c;
        ++this.pos;
        continue;
      }
      const e = this.s[++this.pos];
      const simple = { "\"": "\"", "\\": "\\", "/": "/", b: "\b", f: "\f", n: "\n", r: "\r", t: "\t" };
      if (e !== undefined && Object.hasOwn(simple, e)) {
        out += simple[e];
        ++this.pos;
      } else if (e === "u") {
        ++this.pos;
        out += String.fromCharCode(this.hex4());
      } else this.syntax("bad escape in a string");
    }
  }

  number() {
    JSON_NUMBER.lastIndex = this.pos;
    const match = JSON_NUMBER.exec(this.s);
    if (!match) this.syntax("bad number");
    this.pos += match[0].length;
    return match[0];
  }

  // Reads any value; containers are read through for their form only.
  // `depth` is the level a container opened here would have.
  value(depth) {
    this.ws();
    const c = this.peek();
    if (c === "{") {
      this.members(depth, () => this.value(depth + 1));
      return { kind: "other", text: "an object" };
    }
    if (c === "[") {
      this.elements(depth, () => this.value(depth + 1));
      return { kind: "other", text: "an array" };
    }
    if (c === "\"") return { kind: "string", text: this.string() };
    if (c === "-" || (c >= "0" && c <= "9")) return { kind: "number", text: this.number() };
    for (const word of ["true", "false", "null"])
      if (this.s.startsWith(word, this.pos)) {
        this.pos += word.length;
        return { kind: "other", text: word };
      }
    this.syntax(`expected a value but found ${this.found()}`);
  }

  members(depth, onMember) {
    this.open(depth);
    const seen = new Set();
    this.ws();
    if (this.peek() === "}") {
      ++this.pos;
      return;
    }
    for (;;) {
      this.ws();
      if (this.peek() !== "\"") this.syntax(`expected a key in quotes but found ${this.found()}`);
      const line = this.line;
      const key = this.string();
      if (seen.has(key)) throw new ScoreError(`${this.name}:${line}: duplicate key ${quote(key)}`);
      seen.add(key);
      this.expect(":");
      onMember(key, line);
      this.ws();
      if (this.peek() === ",") {
        ++this.pos;
        continue;
      }
      if (this.peek() === "}") {
        ++this.pos;
        return;
      }
      this.syntax(`expected ',' or '}' but found ${this.found()}`);
    }
  }

  elements(depth, onElement) {
    this.open(depth);
    this.ws();
    if (this.peek() === "]") {
      ++this.pos;
      return;
    }
    for (let index = 0; ; ++index) {
      onElement(index);
      this.ws();
      if (this.peek() === ",") {
        ++this.pos;
        continue;
      }
      if (this.peek() === "]") {
        ++this.pos;
        return;
      }
      this.syntax(`expected ',' or ']' but found ${this.found()}`);
    }
  }

  // "sample_rate" or "block": a whole number in any JSON number form.
  whole(key, lo, hi, fallback) {
    this.ws();
    const line = this.line;
    const v = this.value(2);
    if (v.kind === "number") {
      const x = Number(v.text);
      if (x >= lo && x <= hi && Number.isInteger(x)) return x;
    }
    this.note(line, `${key}: must be a whole number from ${lo} to ${hi}, not ${this.describe(v)}`);
    return fallback;
  }

  scoreObject() {
    this.members(1, (key, line) => {
      if (key === "sample_rate") this.sampleRate = this.whole(key, MIN_RATE, MAX_RATE, DEFAULT_RATE);
      else if (key === "block") this.block = this.whole(key, 1, MAX_BLOCK, DEFAULT_BLOCK);
      else if (key === "keyframes") {
        this.ws();
        const at = this.line;
        if (this.peek() === "[") this.elements(2, (index) => this.keyframe(index));
        else this.note(at, `keyframes: must be an array of keyframes, not ${this.describe(this.value(2))}`);
      } else {
        this.note(line, `unknown key ${quote(key)} (known: sample_rate, block, keyframes)`);
        this.value(2);
      }
    });
  }

  keyframe(index) {
    const where = `keyframes[${index}]`;
    this.ws();
    const line = this.line;
    if (this.peek() !== "{") {
      this.note(line, `${where}: must be an object such as {"t": 0.5, "pitch": 0.3}, ` +
        `not ${this.describe(this.value(3))}`);
      return;
    }
    let t = null;
    let tLine = line;
    const given = [];
    this.members(3, (key, keyLine) => {
      const param = key === "t" ? -1 : INDEX.get(key);
      if (param === undefined) {
        this.note(keyLine, `${where}: unknown key ${quote(key)} (known: ${KNOWN})`);
        this.value(4);
        return;
      }
      const name = `${where}.${key}`;
      this.ws();
      const valueLine = this.line;
      const v = this.value(4);
      if (v.kind !== "number") {
        this.note(valueLine, `${name}: must be a number, not ${this.describe(v)}`);
        return;
      }
      const x = Number(v.text);
      const bad = valueFault(name, x, v.text, param < 0);
      if (bad) this.note(valueLine, bad);
      else if (param < 0) [t, tLine] = [x, valueLine];
      else given.push([param, x]);
    });
    if (this.fault) return;
    if (t === null) this.note(line, `${where}: has no "t"`);
    else {
      const bad = appendKeyframe(this.keyframes, t, given, `${where}.t`);
      if (bad) this.note(tLine, bad);
    }
  }
}

// A CSV cell's number: an optional sign, digits with an optional decimal
// point, an optional exponent; no "nan", "inf" or hexadecimal.
const CSV_NUMBER = /^[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?$/;

function trim(cell) {
  return cell.replace(/^[ \t\r]+|[ \t\r]+$/g, "");
}

function parseCsv(text, name) {
  let columns = null;
  const keyframes = [];
  text.split("\n").forEach((line, i) => {
    if (trim(line) === "") return;
    const where = `${name}:${i + 1}: `;
    const cells = line.split(",").map(trim);
    if (!columns) {
      cells.forEach((cell, j) => {
        if (cell !== "t" && !INDEX.has(cell))
          throw new ScoreError(`${where}unknown column ${quote(cell)} (known: ${KNOWN})`);
        if (cells.indexOf(cell) < j) throw new ScoreError(`${where}duplicate column ${quote(cell)}`);
      });
      if (!cells.includes("t")) throw new ScoreError(`${where}the header has no "t" column`);
      columns = cells;
      return;
    }
    if (cells.length !== columns.length)
      throw new ScoreError(`${where}${cells.length} values, but the header names ${columns.length} columns`);
    let t = null;
    const given = [];
    cells.forEach((cell, j) => {
      const column = columns[j];
      // An empty parameter cell leaves the parameter out of this keyframe.
      if (cell === "" && column !== "t") return;
      if (!CSV_NUMBER.test(cell)) throw new ScoreError(`${where}${column}: must be a number, not ${quote(cell)}`);
      const x = Number(cell);
      const bad = valueFault(column, x, cell, column === "t");
      if (bad) throw new ScoreError(where + bad);
      if (column === "t") t = x;
      else given.push([INDEX.get(column), x]);
    });
    const bad = appendKeyframe(keyframes, t, given, "t");
    if (bad) throw new ScoreError(where + bad);
  });
  if (!columns) throw new ScoreError(`${name}: the score is empty (no header row)`);
  if (!keyframes.length) throw new ScoreError(`${name}: the score has no keyframes`);
  return { sampleRate: DEFAULT_RATE, block: DEFAULT_BLOCK, keyframes };
}

// The format a file name implies: CSV for .csv, JSON otherwise.
export function formatOf(name) {
  return /\.csv$/i.test(name) ? "csv" : "json";
}

// Samples in a score: round(t_last x rate), halves up.
export function scoreLength(score) {
  return Math.round(score.keyframes[score.keyframes.length - 1].t * score.sampleRate);
}

// Parses and checks a score. Every error is a ScoreError naming the file, the
// line and the key or column at fault. Returns {sampleRate, block, length,
// keyframes: [{t, values: Float64Array(10)}]}.
export function parseScore(text, name = "score", format = formatOf(name)) {
  if (text.startsWith("\ufeff")) text = text.slice(1);
  const score = format === "csv" ? parseCsv(text, name) : new JsonReader(text, name).read();
  const length = scoreLength(score);
  const last = score.keyframes[score.keyframes.length - 1].t;
  if (length > MAX_SAMPLES)
    throw new ScoreError(`${name}: the score is too long: ${length} samples at ` +
      `${score.sampleRate} Hz (at most ${MAX_SAMPLES})`);
  if (length < 1) throw new ScoreError(`${name}: the score lasts no samples (its last keyframe is at t = ${last})`);
  return { ...score, length };
}

// Reads a score file's bytes, which must be UTF-8 (a byte-order mark is
// skipped).
export function readScore(bytes, name = "score", format = formatOf(name)) {
  if (bytes.length > MAX_SCORE_SIZE)
    throw new ScoreError(`${name}: the score is larger than ${MAX_SCORE_SIZE / 1048576} MiB`);
  const bad = invalidUtf8(bytes);
  if (bad >= 0) {
    let line = 1;
    for (let i = 0; i < bad; ++i) if (bytes[i] === 10) ++line;
    throw new ScoreError(`${name}:${line}: not valid UTF-8 (byte ${bad})`);
  }
  return parseScore(new TextDecoder("utf-8", { ignoreBOM: true }).decode(bytes), name, format);
}

// Writes the parameter vector at time t into out (10 floats; a Float32Array
// rounds each value once, at the end).
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
// whatever quantum the caller asks for (the AudioWorklet's 128). A block is
// rendered in as many calls as the quanta and the voice's buffer need, which
// gives the samples of one call: memory stays small whatever the block size.
export class ScorePlayer {
  constructor(score, voice) {
    this.score = score;
    this.voice = voice;
    this.length = score.length ?? scoreLength(score);
    this.position = 0; // next sample to render
    this.blockLeft = 0; // samples of the current block still to render
    this.vector = new Float32Array(PARAMETER_COUNT);
  }

  get done() {
    return this.position >= this.length;
  }

  // Time of the block now sounding, for the page's display.
  get time() {
    return this.position / this.score.sampleRate;
  }

  // Fills out with the next samples; past the end, with silence. Returns the
  // number of score samples written.
  fill(out) {
    let written = 0;
    while (written < out.length && this.position < this.length) {
      if (this.blockLeft === 0) {
        parametersAt(this.score, this.position / this.score.sampleRate, this.vector);
        this.voice.setParameters(this.vector);
        this.blockLeft = Math.min(this.score.block, this.length - this.position);
      }
      const n = Math.min(out.length - written, this.blockLeft, this.voice.maxBlock);
      out.set(this.voice.render(n, this.score.sampleRate), written);
      written += n;
      this.position += n;
      this.blockLeft -= n;
    }
    out.fill(0, written);
    return written;
  }
}
