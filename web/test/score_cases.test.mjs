// The shared score cases (tests/scores/cases.json), which tractwave-render's
// tests and the Python tests run too: each score file is read as the page
// reads a dropped file, and must play as its blocks say or be refused for
// its reason.
import assert from "node:assert/strict";
import { readFileSync, readdirSync } from "node:fs";
import { join, resolve } from "node:path";
import { describe, test } from "node:test";
import { fileURLToPath } from "node:url";

import { Engine } from "../page/engine.js";
import { ScoreError, ScorePlayer, parametersAt, readScore } from "../page/score.js";

const root = resolve(fileURLToPath(import.meta.url), "../../..");
const scores = join(root, "tests/scores");
const cases = JSON.parse(readFileSync(join(scores, "cases.json"), "utf8"));
const buildDir = resolve(root, process.env.BUILD_DIR ?? "build");
const webDir = resolve(root, process.env.WEB_DIR ?? join(buildDir, "web"));
const wasm = readFileSync(join(webDir, "tractwave.wasm"));

const read = (name) => readScore(new Uint8Array(readFileSync(join(scores, name))), name);

test("every file is a case and every case a file", () => {
  const listed = new Set([...cases.render, ...cases.refuse].map((c) => c.score));
  const present = new Set(["render", "refuse"].flatMap((kind) =>
    readdirSync(join(scores, kind)).map((name) => `${kind}/${name}`)));
  assert.deepEqual([...listed].sort(), [...present].sort());
});

describe("scores that render", () => {
  for (const c of cases.render) {
    test(c.score, () => {
      const score = read(c.score);
      assert.equal(score.sampleRate, c.rate);
      assert.equal(score.block, c.block);
      assert.equal(score.length, c.length);
      // Each block's vector, bit for bit.
      const vector = new Float32Array(10);
      let start = 0;
      for (const [first, n, ...params] of c.blocks) {
        assert.equal(first, start);
        assert.equal(n, Math.min(c.block, c.length - start));
        parametersAt(score, first / score.sampleRate, vector);
        assert.deepEqual(Array.from(vector), params.map(Math.fround), `block at ${first}`);
        start += n;
      }
      assert.equal(start, c.length);

      // Played through the page's player in 128-sample quanta, a new voice
      // gives exactly one library call per block with those vectors.
      const player = new ScorePlayer(score, Engine.fromBytes(wasm).newVoice(128));
      const played = new Float32Array(c.length);
      const quantum = new Float32Array(128);
      for (let at = 0; !player.done;) {
        const n = player.fill(quantum);
        played.set(quantum.subarray(0, n), at);
        at += n;
      }
      const direct = Engine.fromBytes(wasm).newVoice(Math.min(c.block, c.length));
      const expected = new Float32Array(c.length);
      for (const [first, n, ...params] of c.blocks) {
        direct.setParameters(params);
        expected.set(direct.render(n, c.rate), first);
      }
      assert.deepEqual(played, expected);
      assert.ok(played.every((x) => Math.abs(x) <= 0.95));
      if (c.known_answer) {
        const known = cases.known_answer;
        for (let i = 0; i < known.silent; ++i) assert.equal(played[i], 0, `sample ${i}`);
        known.samples.forEach((v, k) => {
          const got = played[known.silent + k];
          assert.ok(Math.abs(got - v) <= Math.abs(v) * known.sample_tolerance,
            `sample ${known.silent + k}: ${got}`);
        });
      }
    });
  }
});

describe("scores that are refused", () => {
  for (const c of cases.refuse) {
    test(c.score, () => {
      assert.throws(() => read(c.score), (e) => {
        assert.ok(e instanceof ScoreError, e.stack);
        assert.ok(e.message.startsWith(`${c.score}:`), e.message);
        let at = 0;
        for (const reason of [c.reason].flat()) {
          const found = e.message.indexOf(reason, at);
          assert.ok(found >= 0, `"${e.message}" does not say "${reason}"`);
          at = found + reason.length;
        }
        return true;
      });
    });
  }
});
