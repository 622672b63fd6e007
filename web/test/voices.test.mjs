// The voices module in node: a choir rendered in wasm SIMD lanes gives each
// voice exactly what that voice gives alone, and exactly what the
// four-function module gives for it on a fresh instance (a fresh per-thread
// record), including the 5th voice that fills a second group of lanes.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { join, resolve } from "node:path";
import { test } from "node:test";
import { fileURLToPath } from "node:url";

import { Engine } from "../page/engine.js";
import { CHORD_STEPS, VoicesEngine, chordVoices } from "../page/voices.js";

const root = resolve(fileURLToPath(import.meta.url), "../../..");
const webDir = resolve(root, process.env.WEB_DIR ??
  join(process.env.BUILD_DIR ?? "build", "web"));
const voicesWasm = () => readFileSync(join(webDir, "tractwave_voices.wasm"));
const coreWasm = () => readFileSync(join(webDir, "tractwave.wasm"));

const AH = [0.3, 0.8, 0.75, 0.15, 0.5, 0.5, 0.9, 0.0, 0.95, 0.1];
const EE = [0.35, 0.8, 0.25, 0.9, 0.55, 0.5, 0.9, 0.3, 0.55, 0.4];

function voiceAlone(params, blocks, rate) {
  const voice = Engine.fromBytes(coreWasm()).newVoice(512);
  voice.setParameters(params);
  const out = [];
  for (const n of blocks) out.push(...voice.render(n, rate));
  return out;
}

test("a choir's voices equal the four-function module voice by voice", () => {
  const rate = 44100;
  const vectors = [...chordVoices(AH), EE];
  const choir = VoicesEngine.fromBytes(voicesWasm()).newChoir(vectors.length, 512);
  choir.setParameters(vectors);
  const blocks = [1, 127, 512, 300];
  const got = vectors.map(() => []);
  for (const n of blocks)
    choir.render(n, rate).forEach((v, i) => got[i].push(...v));
  vectors.forEach((params, i) => {
    assert.deepEqual(got[i], voiceAlone(params, blocks, rate), `voice ${i}`);
  });
  // A chord: four different pitches, all sounding.
  assert.equal(new Set(vectors.map((v) => v[0])).size, CHORD_STEPS.length + 1);
  for (const v of got) assert.ok(v.some((x) => Math.abs(x) > 1e-3));
});

test("a mix stays within bounds and is the scaled sum of the voices", () => {
  const choir = VoicesEngine.fromBytes(voicesWasm()).newChoir(4, 128);
  const twin = VoicesEngine.fromBytes(voicesWasm()).newChoir(4, 128);
  choir.setParameters(chordVoices(AH));
  twin.setParameters(chordVoices(AH));
  for (let b = 0; b < 40; ++b) {
    const mix = Array.from(choir.renderMix(128, 48000));
    const voices = twin.render(128, 48000);
    mix.forEach((x, s) => {
      const sum = Math.fround(voices.reduce((acc, v) => Math.fround(acc + v[s]), 0));
      assert.equal(x, Math.fround(sum * Math.fround(0.5)), `block ${b} sample ${s}`);
      assert.ok(Math.abs(x) <= 0.95 * 2);
    });
  }
  assert.throws(() => choir.render(129, 48000), RangeError);
  assert.throws(() => choir.setParameters([AH]), RangeError);
});
