// The tractwave speech WebAssembly module as JavaScript sees it: a Speaker
// that turns ARPAbet or IPA into samples, and a Lexicon that turns English
// words into ARPAbet. Shared by the page, the speech worklet and the node
// tests. The module allocates with its own malloc (speech planning needs
// memory), so strings and buffers crossing into it come from there too.

import { compileModule } from "./engine.js";
import { quote } from "./score.js";
import * as F from "./facts.js";

export const VOICES = ["male", "female", "child"];
const NOTATIONS = { arpabet: F.SPEECH_ARPABET, ipa: F.SPEECH_IPA };
const {
  SPEECH_MALFORMED: MALFORMED,
  SPEECH_OK: OK,
  SPEECH_QUEUE_FULL: QUEUE_FULL,
  SPEECH_UNKNOWN_PHONEME: UNKNOWN_PHONEME,
  SPEECH_UNKNOWN_WORD: UNKNOWN_WORD,
} = F;

export class SpeechError extends Error {}

// The limits of input, the same in tractwave-say and tractwave.say
// (docs/speech.md, "Limits of input"; tests/speech/cases.json): the text,
// phonemes or IPA, and a word of the text.
export const MAX_TEXT_BYTES = 16 * 1024 * 1024;
export const MAX_WORD_BYTES = 1000;

// Bytes of text as UTF-8, counted without encoding it.
function utf8Length(text) {
  let n = 0;
  for (let i = 0; i < text.length; ++i) {
    const c = text.charCodeAt(i);
    if (c < 0x80) n += 1;
    else if (c < 0x800) n += 2;
    else if (c >= 0xd800 && c <= 0xdbff && i + 1 < text.length &&
             (text.charCodeAt(i + 1) & 0xfc00) === 0xdc00) {
      n += 4;
      ++i;
    } else n += 3;
  }
  return n;
}

// Text, phonemes or IPA within the limits of input, and without a NUL (which
// would end it early for the library).
function checkInput(text, what) {
  if (text.length > MAX_TEXT_BYTES || utf8Length(text) > MAX_TEXT_BYTES)
    throw new SpeechError(`${what}: the text is larger than ${MAX_TEXT_BYTES >> 20} MiB`);
  if (text.includes("\0")) throw new SpeechError(`${what}: the input holds a NUL byte`);
}

// Typographic punctuation and spaces as the ASCII the lexicon reads: curly
// apostrophes are apostrophes, quotation marks separate words, dashes and
// ellipses end a phrase as , and . do, no-break and other Unicode spaces and
// byte-order marks are spaces.
const PLAIN = {
  "\u2018": "'", "\u2019": "'", "\u02bc": "'", "\u201c": " ", "\u201d": " ",
  "\u201e": " ", "\u00ab": " ", "\u00bb": " ", "\u2013": " , ", "\u2014": " , ",
  "\u2026": " . ", "\u00a0": " ", "\u202f": " ", "\u200b": " ", "\ufeff": " ",
  "\u3000": " ",
};
for (let c = 0x2000; c < 0x200b; ++c) PLAIN[String.fromCharCode(c)] = " ";
const PLAIN_RE = new RegExp(`[${Object.keys(PLAIN).join("")}]`, "g");
// A word as the lexicon reads one: letters, digits, apostrophes, non-ASCII.
const WORD_RE = /[A-Za-z0-9'\u0080-\u{10ffff}]+/gu;

function plainText(text) {
  const plain = text.replace(PLAIN_RE, (c) => PLAIN[c]);
  for (const [word] of plain.matchAll(WORD_RE)) {
    const bytes = utf8Length(word);
    if (bytes > MAX_WORD_BYTES)
      throw new SpeechError(`text: a word of ${bytes} bytes is longer than ${MAX_WORD_BYTES}: ${quote(word)}`);
  }
  return plain;
}

// UTF-8 by hand: an AudioWorkletGlobalScope has no TextEncoder or
// TextDecoder.
function encodeUtf8(text) {
  if (typeof TextEncoder !== "undefined") return new TextEncoder().encode(text);
  const bytes = [];
  for (const ch of text) {
    const c = ch.codePointAt(0);
    if (c < 0x80) bytes.push(c);
    else if (c < 0x800) bytes.push(0xc0 | (c >> 6), 0x80 | (c & 63));
    else if (c < 0x10000)
      bytes.push(0xe0 | (c >> 12), 0x80 | ((c >> 6) & 63), 0x80 | (c & 63));
    else
      bytes.push(0xf0 | (c >> 18), 0x80 | ((c >> 12) & 63),
        0x80 | ((c >> 6) & 63), 0x80 | (c & 63));
  }
  return Uint8Array.from(bytes);
}

function decodeUtf8(bytes) {
  let text = "";
  for (let i = 0; i < bytes.length;) {
    const b = bytes[i];
    const n = b < 0x80 ? 1 : b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 1;
    let c = n === 1 ? b : b & (0xff >> (n + 1));
    for (let k = 1; k < n && i + k < bytes.length; ++k) c = (c << 6) | (bytes[i + k] & 63);
    text += String.fromCodePoint(c);
    i += n;
  }
  return text;
}

export class SpeechModule {
  static fromBytes(bytes) {
    return new SpeechModule(compileModule(bytes));
  }

  constructor(module) {
    // The one import: memory growth is announced to JavaScript, which reads
    // `memory.buffer` afresh after every call anyway.
    this.instance = new WebAssembly.Instance(module, {
      env: { emscripten_notify_memory_growth() {} },
    });
    this.exports = this.instance.exports;
    if (this.exports._initialize) this.exports._initialize();
  }

  get bytes() {
    return new Uint8Array(this.exports.memory.buffer);
  }

  // A NUL-terminated UTF-8 copy of text in the module's memory: [pointer,
  // byte length]. Free the pointer with free().
  string(text) {
    const utf8 = encodeUtf8(text);
    const p = this.exports.malloc(utf8.length + 1);
    if (!p) throw new SpeechError("out of memory");
    this.bytes.set(utf8, p);
    this.bytes[p + utf8.length] = 0;
    return [p, utf8.length, utf8];
  }

  readString(p, length) {
    const bytes = this.bytes;
    let end = p;
    while (length === undefined ? bytes[end] !== 0 : end < p + length) ++end;
    return decodeUtf8(bytes.subarray(p, end));
  }

  free(p) {
    this.exports.free(p);
  }

  // ARPAbet (with stress digits, word ends "|", phrase ends) for IPA, as the
  // speaker reads it.
  ipaToArpabet(ipa) {
    const x = this.exports;
    checkInput(ipa, "ipa");
    const [p, , utf8] = this.string(ipa);
    const where = x.malloc(4);
    try {
      const need = x.tractwave_speech_ipa_to_arpabet(p, 0, 0, where);
      if (need === UNKNOWN_PHONEME) {
        const at = new Int32Array(x.memory.buffer, where, 1)[0];
        throw new SpeechError(`ipa: ${quote(symbolAt(utf8, at))} is not an IPA phoneme`);
      }
      if (need < 0) throw new SpeechError(`cannot read the IPA (${need})`);
      const out = x.malloc(need + 1);
      x.tractwave_speech_ipa_to_arpabet(p, out, need + 1, 0);
      const arpabet = this.readString(out, need);
      x.free(out);
      return arpabet;
    } finally {
      x.free(p);
      x.free(where);
    }
  }
}

// The word at fault for a message: text from the byte offset the library
// gave, up to the next space.
function symbolAt(utf8, offset) {
  let end = offset;
  while (end < utf8.length && utf8[end] !== 0x20) ++end;
  return decodeUtf8(utf8.subarray(offset, end));
}

export class Speaker {
  constructor(speech, { voice = "male", sampleRate = 48000, maxBlock = 128, capacity = 0 } = {}) {
    const index = VOICES.indexOf(voice);
    if (index < 0) throw new RangeError(`voice ${voice}: one of ${VOICES.join(", ")}`);
    this.speech = speech;
    this.maxBlock = maxBlock;
    this.handle = speech.exports.tractwave_speaker_create(index, sampleRate, capacity);
    if (!this.handle) throw new SpeechError(`cannot make a ${voice} speaker at ${sampleRate} Hz`);
    this.out = speech.exports.malloc(4 * maxBlock);
    this.frameBuffer = speech.exports.malloc(4 * F.SPEECH_FRAME_SIZE);
  }

  setSpeed(speed) {
    if (this.speech.exports.tractwave_speaker_set_speed(this.handle, speed) !== OK)
      throw new RangeError(`speed ${speed}: 0.25 to 4`);
  }

  setPitch(factor) {
    if (this.speech.exports.tractwave_speaker_set_pitch(this.handle, factor) !== OK)
      throw new RangeError(`pitch ${factor}: 0.25 to 4`);
  }

  // Queues text; returns false when the queue has no room for it yet.
  queue(text, notation = "arpabet") {
    const x = this.speech.exports;
    checkInput(text, notation);
    const [p, , utf8] = this.speech.string(text);
    try {
      const result = x.tractwave_speaker_queue(this.handle, p, NOTATIONS[notation]);
      if (result === QUEUE_FULL) return false;
      if (result === UNKNOWN_PHONEME) {
        const at = x.tractwave_speaker_error_offset(this.handle);
        throw new SpeechError(`${notation}: ${quote(symbolAt(utf8, at))} is not ${notation === "ipa" ? "an IPA" : "an ARPAbet"} phoneme`);
      }
      if (result !== OK) throw new SpeechError(`cannot queue the text (${result})`);
      return true;
    } finally {
      this.speech.free(p);
    }
  }

  // Renders n samples (at most maxBlock); returns [samples, how many of them
  // are speech]. The samples are a view valid until the next call.
  render(n) {
    const x = this.speech.exports;
    const speech = x.tractwave_speaker_render(this.handle, this.out, n);
    return [new Float32Array(x.memory.buffer, this.out, n), speech];
  }

  pending() {
    return this.speech.exports.tractwave_speaker_pending(this.handle);
  }

  // The engine controls of the last sub-block (tractwave_speaker_frame).
  frame() {
    const x = this.speech.exports;
    x.tractwave_speaker_frame(this.handle, this.frameBuffer);
    const f = new Float32Array(x.memory.buffer, this.frameBuffer, F.SPEECH_FRAME_SIZE);
    const id = f[F.SPEECH_FRAME_PHONEME];
    return {
      t: f[F.SPEECH_FRAME_TIME],
      phoneme: id < 0 ? "" : this.speech.readString(x.tractwave_speech_phoneme_name(id)),
      f0: f[F.SPEECH_FRAME_F0],
      oral: Array.from(f.subarray(F.SPEECH_FRAME_ORAL, F.SPEECH_FRAME_ORAL + F.ORAL_SECTIONS)),
      velum: f[F.SPEECH_FRAME_VELUM],
    };
  }

  destroy() {
    const x = this.speech.exports;
    x.tractwave_speaker_destroy(this.handle);
    x.free(this.out);
    x.free(this.frameBuffer);
    this.handle = 0;
  }
}

export class Lexicon {
  constructor(speech) {
    this.speech = speech;
    this.handle = speech.exports.tractwave_lexicon_create();
    if (!this.handle) throw new SpeechError("out of memory");
  }

  get size() {
    return this.speech.exports.tractwave_lexicon_count(this.handle);
  }

  // Adds a dictionary's text (CMU format); throws naming the line at fault.
  load(text, name = "dictionary") {
    const x = this.speech.exports;
    // A byte-order mark at the start is not part of the first word.
    const [p, length] = this.speech.string(text.startsWith("\ufeff") ? text.slice(1) : text);
    const line = x.malloc(4);
    try {
      const result = x.tractwave_lexicon_load(this.handle, p, length, line);
      if (result === MALFORMED) {
        const at = new Int32Array(x.memory.buffer, line, 1)[0];
        throw new SpeechError(`${name}:${at}: not a dictionary entry (a word, then its ARPAbet phonemes)`);
      }
      if (result !== OK) throw new SpeechError(`${name}: cannot load (${result})`);
    } finally {
      x.free(p);
      x.free(line);
    }
  }

  // Whether words the lexicon lacks are spelled by the library's
  // letter-to-sound rule instead of refused.
  set spellUnknown(on) {
    this.speech.exports.tractwave_lexicon_set_letters(this.handle, on ? 1 : 0);
  }

  // ARPAbet for one word by the letter-to-sound rule alone, or null for a
  // word it cannot read (no Latin letters).
  spell(word) {
    const x = this.speech.exports;
    const [p] = this.speech.string(word);
    try {
      const need = x.tractwave_speech_spell(p, 0, 0);
      if (need < 0) return null;
      const out = x.malloc(need + 1);
      x.tractwave_speech_spell(p, out, need + 1);
      const arpabet = this.speech.readString(out, need);
      x.free(out);
      return arpabet;
    } finally {
      x.free(p);
    }
  }

  // ARPAbet for English text; throws SpeechError naming the first word the
  // lexicon lacks (its .word property holds it) and cannot spell.
  transcribe(text) {
    const x = this.speech.exports;
    checkInput(text, "text");
    const [p, , utf8] = this.speech.string(plainText(text));
    const where = x.malloc(8);
    try {
      const need = x.tractwave_lexicon_transcribe(this.handle, p, 0, 0, where, where + 4);
      if (need === UNKNOWN_WORD) {
        const [offset, length] = new Int32Array(x.memory.buffer, where, 2);
        const word = decodeUtf8(utf8.subarray(offset, offset + length));
        const error = new SpeechError(`${quote(word)} is not in the dictionary`);
        error.word = word;
        throw error;
      }
      if (need < 0) throw new SpeechError(`cannot transcribe the text (${need})`);
      const out = x.malloc(need + 1);
      x.tractwave_lexicon_transcribe(this.handle, p, out, need + 1, 0, 0);
      const arpabet = this.speech.readString(out, need);
      x.free(out);
      return arpabet;
    } finally {
      x.free(p);
      x.free(where);
    }
  }

  destroy() {
    this.speech.exports.tractwave_lexicon_destroy(this.handle);
    this.handle = 0;
  }
}
