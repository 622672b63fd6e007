// Scores: what the page adds to the shared cases (score_cases.test.mjs):
// parsing details, interpolation between keyframes, and the block rule the
// player follows.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { PARAMETER_INDEX as P } from "../page/engine.js";
import { ScoreError, ScorePlayer, parametersAt, parseScore, quote, readScore, scoreLength }
  from "../page/score.js";

const json = (value) => JSON.stringify(value);
const f = Math.fround;

describe("parseScore", () => {
  test("defaults: rate 48000, block 64, parameters 0.5 but voicing and breathiness 0", () => {
    const score = parseScore(json({ keyframes: [{ t: 0.01, pitch: 0.25 }] }));
    assert.equal(score.sampleRate, 48000);
    assert.equal(score.block, 64);
    const v = score.keyframes[0].values;
    assert.equal(v[P.pitch], 0.25);
    assert.equal(v[P.voicing], 0);
    assert.equal(v[P.breathiness], 0);
    for (const name of ["pharynx", "tongue_body", "tongue_tip", "larynx",
      "voice_mix", "velum", "lips"])
      assert.equal(v[P[name]], 0.5, name);
  });

  test("a parameter left out keeps the previous keyframe's value, in double precision", () => {
    const score = parseScore(json({
      sample_rate: 44100, block: 100,
      keyframes: [{ t: 0, lips: 0.9, voicing: 0.7 }, { t: 1, pitch: 0.8 },
        { t: 2, lips: 0.1 }],
    }));
    assert.equal(score.sampleRate, 44100);
    assert.equal(score.block, 100);
    assert.equal(score.length, 88200);
    const [, b, c] = score.keyframes.map((k) => k.values);
    // Kept as written: rounding a keyframe to single precision before
    // interpolating gave other samples than the program's.
    assert.equal(b[P.lips], 0.9);
    assert.equal(b[P.voicing], 0.7);
    assert.equal(c[P.pitch], 0.8);
    assert.equal(c[P.lips], 0.1);
  });

  test("keys that name an object's own machinery are unknown keys", () => {
    for (const key of ["__proto__", "constructor", "toString", "hasOwnProperty", "valueOf"])
      assert.throws(() => parseScore(`{"keyframes": [{"t": 1, "${key}": 0.5}]}`, "s.json"),
        (e) => e instanceof ScoreError && e.message.includes(`unknown key "${key}"`), key);
  });

  const bad = [
    ["not JSON", "{", /s\.json:1: not valid JSON: expected a key in quotes but found end of the text/],
    ["not an object", "[1]", /s\.json:1: the score must be a JSON object with "keyframes", not an array/],
    ["unknown top-level key", json({ keyframes: [{ t: 0 }], rate: 1 }), /unknown key "rate"/],
    ["empty keyframes", json({ keyframes: [] }), /s\.json: the score has no keyframes/],
    ["no keyframes", json({}), /the score has no keyframes/],
    ["unknown parameter", json({ keyframes: [{ t: 0 }, { t: 1, tongue: 0.1 }] }),
      /keyframes\[1\]: unknown key "tongue"/],
    ["non-numeric value", json({ keyframes: [{ t: 0, lips: "wide" }] }),
      /keyframes\[0\]\.lips: must be a number, not "wide"/],
    ["missing time", json({ keyframes: [{ t: 0 }, { pitch: 1 }] }), /keyframes\[1\]: has no "t"/],
    ["decreasing time", "{\"keyframes\": [{\"t\": 1},\n {\"t\": 0.5}]}",
      /s\.json:2: keyframes\[1\]\.t: 0\.5 is earlier than the previous keyframe's 1/],
    ["rate zero", json({ sample_rate: 0, keyframes: [{ t: 0 }] }),
      /sample_rate: must be a whole number from 8001 to 768000, not 0/],
    ["rate as text", json({ sample_rate: "48000", keyframes: [{ t: 0 }] }), /sample_rate: .* not "48000"/],
    ["block zero", json({ block: 0, keyframes: [{ t: 0 }] }), /block: must be a whole number/],
    ["fractional block", json({ block: 1.5, keyframes: [{ t: 0 }] }), /block: must be a whole number/],
    ["a fault of form after one of meaning", "{\"keyframes\": [{\"t\": -1}],\n\n\"block\": 64,}",
      /s\.json:3: not valid JSON: expected a key in quotes/],
    ["the line of a value", "{\"keyframes\": [\n{\"t\": 0,\n\"velum\": 1e20}]}",
      /s\.json:3: keyframes\[0\]\.velum: 1e20 is out of range/],
    ["a CSV cell", "t,pitch\n0,0.5\n0.1,1e39\n", /s\.json:3: pitch: 1e39 is out of range/, "csv"],
  ];
  for (const [what, text, message, format] of bad)
    test(`rejects ${what}, naming the fault`, () =>
      assert.throws(() => parseScore(text, "s.json", format), (e) =>
        e instanceof ScoreError && message.test(e.message)));

  test("a score file is UTF-8, with or without a byte-order mark; a bad byte's line is named", () => {
    const text = "t,pitch\n0,0.5\n0.01,\n";
    const plain = readScore(new TextEncoder().encode(text), "s.csv");
    assert.equal(plain.length, 480);
    assert.deepEqual(readScore(new TextEncoder().encode(`\ufeff${text}`), "s.csv"), plain);
    const broken = Uint8Array.from([...new TextEncoder().encode("t,pitch\n0,"), 0xc3, 0x28]);
    assert.throws(() => readScore(broken, "s.csv"), /s\.csv:2: not valid UTF-8 \(byte 10\)/);
  });

  test("quoted text shows control characters and stops after 40 characters", () => {
    assert.equal(quote("a\u001b[2J\u009bb\"\\"), "\"a\\u001b[2J\\u009bb\\\"\\\\\"");
    assert.equal(quote("x".repeat(100)), `"${"x".repeat(40)}..."`);
  });
});

describe("parametersAt", () => {
  const score = parseScore(json({
    keyframes: [{ t: 1, pitch: 0.2 }, { t: 2, pitch: 0.6 },
      { t: 3, pitch: 0.9 }, { t: 3, pitch: 0.1 }, { t: 4, pitch: 0.5 }],
  }));
  const at = (t) => parametersAt(score, t, new Float32Array(10))[P.pitch];

  test("before the first keyframe: the first; after the last: the last", () => {
    assert.equal(at(0), f(0.2));
    assert.equal(at(-5), f(0.2));
    assert.equal(at(4), f(0.5));
    assert.equal(at(100), f(0.5));
  });

  test("linear between keyframes, rounded to single precision only at the end", () => {
    assert.equal(at(1.5), f(0.2 + (0.6 - 0.2) * 0.5));
    assert.equal(at(2), f(0.6));
    assert.ok(Math.abs(at(2.75) - (0.6 + 0.3 * 0.75)) < 1e-6);
  });

  test("two keyframes at one time: the later holds from that time on", () => {
    assert.ok(Math.abs(at(2.999) - 0.9) < 1e-3);
    assert.equal(at(3), f(0.1));
    assert.ok(Math.abs(at(3.5) - 0.3) < 1e-6);
  });
});

// A stand-in voice that records each render call instead of synthesising.
function recordingVoice(maxBlock) {
  return {
    maxBlock,
    params: new Float32Array(10),
    calls: [],
    setParameters(values) {
      this.params.set(values);
    },
    render(n, rate) {
      this.calls.push({ n, rate, pitch: this.params[P.pitch] });
      return new Float32Array(n).fill(this.calls.length);
    },
  };
}

describe("ScorePlayer", () => {
  test("round(t_last x rate) samples in blocks, each from its start time", () => {
    const score = parseScore(json({
      sample_rate: 44100, block: 100,
      keyframes: [{ t: 0, pitch: 0 }, { t: 0.0101, pitch: 1 }],
    }));
    const length = Math.round(0.0101 * 44100); // 445.41 -> 445
    assert.equal(scoreLength(score), length);
    const voice = recordingVoice(64);
    const player = new ScorePlayer(score, voice);
    const out = [];
    const quantum = new Float32Array(128);
    for (let i = 0; i < 5; ++i) {
      const written = player.fill(quantum);
      out.push(...quantum.subarray(0, written));
      if (i === 3) assert.ok(quantum.subarray(written).every((x) => x === 0));
    }
    assert.equal(out.length, length);
    assert.ok(player.done);
    // A block may take several calls (the quantum ends, the voice's buffer
    // is full), never one call across two blocks; every call of block k
    // has the parameters at its first sample.
    let position = 0;
    for (const c of voice.calls) {
      const k = Math.floor(position / 100);
      assert.ok(c.n <= 64 && position + c.n <= (k + 1) * 100, `call at ${position}`);
      assert.equal(c.rate, 44100);
      assert.equal(c.pitch, f((k * 100) / 44100 / 0.0101), `block ${k}`);
      position += c.n;
    }
    assert.equal(position, length);
    // Samples come out in order, call after call, across quanta.
    assert.deepEqual(out, voice.calls.flatMap((c, k) => Array(c.n).fill(k + 1)));
  });

  test("a score ending at time 0 is refused rather than played as silence", () => {
    assert.throws(() => parseScore(json({ keyframes: [{ t: 0 }] })),
      /score: the score lasts no samples \(its last keyframe is at t = 0\)/);
  });

  test("a block of any size plays through a small voice buffer", () => {
    const score = parseScore(json({ block: 2147483647, keyframes: [{ t: 0, pitch: 0.3 }, { t: 0.05, pitch: 1 }] }));
    const voice = recordingVoice(128);
    const player = new ScorePlayer(score, voice);
    const quantum = new Float32Array(128);
    let total = 0;
    while (!player.done) total += player.fill(quantum);
    assert.equal(total, 2400);
    assert.ok(voice.calls.every((c) => c.n <= 128 && c.pitch === f(0.3)));
  });
});
