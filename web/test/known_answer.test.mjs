// The WebAssembly build must compute what the native library computes: the
// first 64-sample block of a fresh voice with every parameter at 0.5, compared
// with the native shared library (built by the main CMake build) and with the
// known answer kept with the shared score cases (tests/scores/cases.json).
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";
import { test } from "node:test";
import { fileURLToPath } from "node:url";

import { Engine } from "../page/engine.js";

const root = resolve(fileURLToPath(import.meta.url), "../../..");
const buildDir = resolve(root, process.env.BUILD_DIR ?? "build");
const webDir = resolve(root, process.env.WEB_DIR ?? join(buildDir, "web"));
const known = JSON.parse(readFileSync(join(root, "tests/scores/cases.json"), "utf8")).known_answer;

function freshNeutralVoice() {
  const engine = Engine.fromBytes(readFileSync(join(webDir, "tractwave.wasm")));
  const voice = engine.newVoice(128);
  voice.setParameters(new Float32Array(10).fill(known.every_parameter));
  return voice;
}

function nativeBlock() {
  const lib = join(buildDir, "libtractwave.so");
  assert.ok(existsSync(lib), `${lib} missing: build the library first`);
  const dir = mkdtempSync(join(tmpdir(), "tw-native-"));
  try {
    const exe = join(dir, "native_block");
    execFileSync("cc", [
      "-O2", "-I", join(root, "include"),
      join(root, "tests/known_block.c"), "-o", exe,
      lib, `-Wl,-rpath,${buildDir}`,
    ]);
    return execFileSync(exe, { encoding: "utf8" }).trim().split("\n").map(Number);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

// Five significant digits of each sample (exact zeros must stay exact).
function assertClose(actual, expected, what) {
  const tolerance = Math.abs(expected) * 1e-5;
  assert.ok(Math.abs(actual - expected) <= tolerance,
    `${what}: ${actual} vs ${expected}`);
}

test("wasm known-answer block agrees with the native library", () => {
  const voice = freshNeutralVoice();
  const out = Array.from(voice.render48k(64));
  const phase = voice.phase[0];
  const native = nativeBlock();
  assert.equal(native.length, 65);
  for (let i = 0; i < 64; ++i) assertClose(out[i], native[i], `sample ${i}`);
  assertClose(phase, native[64], "phase");
  // The block is not trivially silent: most of it carries signal.
  assert.ok(out.filter((x) => x !== 0).length > 30);
});

test("wasm known-answer block matches the pinned values", () => {
  assert.equal(known.sample_rate, 48000); // the 48 kHz entry point's block
  const voice = freshNeutralVoice();
  const out = voice.render48k(known.n);
  for (let i = 0; i < known.silent; ++i) assert.equal(out[i], 0, `sample ${i}`);
  known.samples.forEach((v, k) => {
    const got = out[known.silent + k];
    assert.ok(Math.abs(got - v) <= Math.abs(v) * known.sample_tolerance,
      `sample ${known.silent + k}: ${got}`);
  });
  assert.ok(Math.abs(voice.phase[0] - known.phase) <= known.phase * known.phase_tolerance);
});

test("the _ex entry point at 48 kHz equals the 48 kHz entry point", () => {
  const a = freshNeutralVoice();
  const b = freshNeutralVoice();
  for (let block = 0; block < 20; ++block)
    assert.deepEqual(Array.from(a.render(128, 48000)), Array.from(b.render48k(128)));
});

test("module imports nothing and exports the four entry points", () => {
  const module = new WebAssembly.Module(readFileSync(join(webDir, "tractwave.wasm")));
  assert.deepEqual(WebAssembly.Module.imports(module), []);
  const names = WebAssembly.Module.exports(module).map((e) => e.name);
  for (const fn of ["compute_diameters_from_dofs", "step_waveguide_block",
    "synthesize_waveguide_chunk", "synthesize_waveguide_chunk_ex"])
    assert.ok(names.includes(fn), fn);
});
