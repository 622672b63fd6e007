// The speech module in node: it says what the native library says (to the
// last bits of the math library's rounding), transcribes words with the
// built-in list, and refuses what it cannot say with the word or symbol.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";
import { test } from "node:test";
import { fileURLToPath } from "node:url";

import { Lexicon, SpeechError, SpeechModule, Speaker } from "../page/speech.js";
import { BUILTIN_WORDS } from "../page/words.js";

const root = resolve(fileURLToPath(import.meta.url), "../../..");
const buildDir = resolve(root, process.env.BUILD_DIR ?? "build");
const webDir = resolve(root, process.env.WEB_DIR ?? join(buildDir, "web"));
const speechWasm = () => readFileSync(join(webDir, "tractwave_speech.wasm"));
const HELLO = "HH AH0 L OW1 | W ER1 L D .";

function sayAll(speaker, block = 128) {
  const out = [];
  for (;;) {
    const [samples, speech] = speaker.render(block);
    out.push(...samples.subarray(0, speech));
    if (speech < block) return out;
  }
}

// The float samples of a WAV file tractwave-say wrote.
function readFloatWav(path) {
  const bytes = readFileSync(path);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  for (let at = 12; at + 8 <= bytes.length;) {
    const id = bytes.toString("ascii", at, at + 4);
    const size = view.getUint32(at + 4, true);
    if (id === "data")
      return Array.from({ length: size / 4 }, (_, i) => view.getFloat32(at + 8 + 4 * i, true));
    at += 8 + size + (size & 1);
  }
  throw new Error(`${path}: no data chunk`);
}

test("the module says what the native library says", () => {
  const speaker = new Speaker(SpeechModule.fromBytes(speechWasm()));
  assert.equal(speaker.queue(HELLO), true);
  const ours = sayAll(speaker);
  const dir = mkdtempSync(join(tmpdir(), "tw_speech_"));
  try {
    const wav = join(dir, "hello.wav");
    execFileSync(join(buildDir, "tools", "say", "tractwave-say"),
      ["--phonemes", HELLO, "-o", wav, "-q"]);
    const native = readFloatWav(wav);
    assert.equal(ours.length, native.length);
    // The tool scales its peak to -3 dBFS; the rest is the library's.
    const peak = Math.max(...ours.map(Math.abs));
    const gain = 10 ** (-3 / 20) / peak;
    let worst = 0;
    for (let i = 0; i < ours.length; ++i)
      worst = Math.max(worst, Math.abs(ours[i] * gain - native[i]));
    assert.ok(worst < 1e-3, `largest difference ${worst}`);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});

test("speech stays within bounds, and silence is silent", () => {
  const speaker = new Speaker(SpeechModule.fromBytes(speechWasm()),
    { voice: "child", sampleRate: 44100 });
  const [quiet, none] = speaker.render(128);
  assert.equal(none, 0);
  assert.ok(quiet.every((x) => x === 0));
  speaker.queue("S IH1 K S | S EH1 V AH0 N ?");
  const y = sayAll(speaker);
  assert.ok(y.length > 44100 / 2);
  assert.ok(y.every((x) => Number.isFinite(x) && Math.abs(x) <= 0.95));
  assert.ok(Math.max(...y.map(Math.abs)) > 0.05);
});

test("words come from the built-in list; the rest is named", () => {
  const speech = SpeechModule.fromBytes(speechWasm());
  const lexicon = new Lexicon(speech);
  lexicon.load(BUILTIN_WORDS, "built-in words");
  assert.ok(lexicon.size > 150);
  assert.equal(lexicon.transcribe("Hello, world!"), "HH AH0 L OW1 , W ER1 L D !");
  assert.throws(() => lexicon.transcribe("hello xylophone"),
    (error) => error instanceof SpeechError && error.word === "xylophone");
  assert.throws(() => lexicon.load("good G UH1 D\nbad\n", "mine.dict"),
    /mine\.dict:2: not a dictionary entry/);
  // A loaded dictionary adds its words.
  lexicon.load("xylophone Z AY1 L AH0 F OW2 N\n");
  assert.equal(lexicon.transcribe("xylophone"), "Z AY1 L AH0 F OW2 N");
});

test("with the letter rule, the page's texts speak every word", () => {
  const speech = SpeechModule.fromBytes(speechWasm());
  const lexicon = new Lexicon(speech);
  lexicon.load(BUILTIN_WORDS, "built-in words");
  lexicon.spellUnknown = true;
  for (const text of ["Hello! I am tractwave. Can you understand me?",
    "The quick brown fox jumps over the lazy dog."]) {
    const arpabet = lexicon.transcribe(text);
    const words = text.split(/\s+/).length;
    assert.equal(arpabet.split(" | ").length + (arpabet.match(/ [.!?] /g) ?? []).length, words, arpabet);
    // It is speech the speaker takes.
    const speaker = new Speaker(speech);
    assert.equal(speaker.queue(arpabet), true);
    assert.ok(sayAll(speaker).length > 48000);
  }
  // A word the rule cannot read is still named; numbers are read as words.
  assert.throws(() => lexicon.transcribe("hello λόγος"),
    (error) => error instanceof SpeechError && error.word === "λόγος");
  assert.equal(lexicon.transcribe("42"), "F AO1 R T IY0 | T UW1");
  assert.equal(lexicon.spell("quick"), lexicon.transcribe("quick"));
  assert.equal(lexicon.spell("λόγος"), null);
});

test("unknown phonemes are refused with the symbol", () => {
  const speaker = new Speaker(SpeechModule.fromBytes(speechWasm()));
  assert.throws(() => speaker.queue("HH AH0 QQ OW1"), /"QQ" is not an ARPAbet phoneme/);
  assert.throws(() => speaker.queue("həlˈoʊ $", "ipa"), /"\$" is not an IPA phoneme/);
  assert.equal(speaker.queue("həlˈoʊ.", "ipa"), true);
  assert.ok(sayAll(speaker).length > 10000);
});
