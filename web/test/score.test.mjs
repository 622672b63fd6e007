// Scores: parsing with errors that name the fault, interpolation between
// keyframes, and the block rule the player follows.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { PARAMETER_INDEX as P } from "../page/engine.js";
import { ScorePlayer, parametersAt, parseScore, scoreLength } from "../page/score.js";

const json = (value) => JSON.stringify(value);
const f = Math.fround;

describe("parseScore", () => {
  test("defaults: rate 48000, block 64, parameters 0.5 but voicing and breathiness 0", () => {
    const score = parseScore(json({ keyframes: [{ t: 0, pitch: 0.25 }] }));
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

  test("a parameter left out keeps the previous keyframe's value", () => {
    const score = parseScore(json({
      sample_rate: 44100, block: 100,
      keyframes: [{ t: 0, lips: 0.9, voicing: 0.7 }, { t: 1, pitch: 0.8 },
        { t: 2, lips: 0.1 }],
    }));
    assert.equal(score.sampleRate, 44100);
    assert.equal(score.block, 100);
    const [, b, c] = score.keyframes.map((k) => k.values);
    assert.equal(b[P.lips], f(0.9));
    assert.equal(b[P.voicing], f(0.7));
    assert.equal(c[P.pitch], f(0.8));
    assert.equal(c[P.lips], f(0.1));
  });

  const bad = [
    ["not JSON", "{", /not valid JSON/],
    ["not an object", "[1]", /JSON object/],
    ["unknown top-level key", json({ keyframes: [{ t: 0 }], rate: 1 }), /unknown key "rate"/],
    ["empty keyframes", json({ keyframes: [] }), /empty score/],
    ["no keyframes", json({}), /empty score/],
    ["unknown parameter", json({ keyframes: [{ t: 0 }, { t: 1, tongue: 0.1 }] }),
      /keyframe 1: unknown parameter "tongue"/],
    ["non-numeric value", json({ keyframes: [{ t: 0, lips: "wide" }] }),
      /keyframe 0 "lips": expected a finite number/],
    ["missing time", json({ keyframes: [{ t: 0 }, { pitch: 1 }] }), /keyframe 1: missing "t"/],
    ["decreasing time", json({ keyframes: [{ t: 1 }, { t: 0.5 }] }),
      /keyframe 1: time 0.5 is before/],
    ["rate zero", json({ sample_rate: 0, keyframes: [{ t: 0 }] }), /"sample_rate" must be positive/],
    ["rate as text", json({ sample_rate: "48000", keyframes: [{ t: 0 }] }), /"sample_rate"/],
    ["block zero", json({ block: 0, keyframes: [{ t: 0 }] }), /"block" must be/],
    ["fractional block", json({ block: 1.5, keyframes: [{ t: 0 }] }), /"block" must be/],
  ];
  for (const [what, text, message] of bad)
    test(`rejects ${what}, naming the fault`, () =>
      assert.throws(() => parseScore(text, "s.json"), (e) =>
        e.message.startsWith("s.json") && message.test(e.message)));
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

  test("linear between keyframes", () => {
    assert.equal(at(1.5), f(f(0.2) + (f(0.6) - f(0.2)) * 0.5));
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
    const voice = recordingVoice(128);
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
    assert.deepEqual(voice.calls.map((c) => c.n), [100, 100, 100, 100, 45]);
    voice.calls.forEach((c, k) => {
      assert.equal(c.rate, 44100);
      assert.equal(c.pitch, f((k * 100) / 44100 / 0.0101), `block ${k}`);
    });
    // Samples come out in order, block after block, across quanta.
    assert.deepEqual(out, voice.calls.flatMap((c, k) => Array(c.n).fill(k + 1)));
  });

  test("a score ending at time 0 plays nothing", () => {
    const player = new ScorePlayer(parseScore(json({ keyframes: [{ t: 0 }] })),
      recordingVoice(128));
    const quantum = new Float32Array(128).fill(7);
    assert.equal(player.fill(quantum), 0);
    assert.ok(quantum.every((x) => x === 0));
    assert.ok(player.done);
  });
});
