// The page in Debian's headless Chromium, served from 127.0.0.1: the real
// AudioWorklet renders what a direct call of the same module renders, sliders
// change both the drawing and the sound, scores load and play by the block
// rule, and the live page makes sound.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { playgroundSession } from "./session.mjs";

const { open } = playgroundSession();

// In the page: renders `seconds` through the app's worklet node in an
// OfflineAudioContext, and the same by direct calls of a fresh instance of
// the module in 128-sample blocks; returns both.
async function renderBoth(page, rate, preset) {
  return page.evaluate(async ({ rate, preset }) => {
    const tw = window.tractwave;
    const { Engine } = await import("./engine.js");
    tw.applyParameters(tw.PRESETS[preset]);
    const frames = rate / 2;
    const ctx = new OfflineAudioContext(1, frames, rate);
    await tw.attachContext(ctx);
    const worklet = (await ctx.startRendering()).getChannelData(0);
    const voice = Engine.fromBytes(tw.state.wasm).newVoice(128);
    voice.setParameters(tw.PRESETS[preset]);
    const direct = new Float32Array(frames);
    for (let s = 0; s < frames; s += 128)
      direct.set(voice.render(Math.min(128, frames - s), rate), s);
    return { worklet: Array.from(worklet), direct: Array.from(direct) };
  }, { rate, preset });
}

function firstDifference(a, b) {
  const n = Math.max(a.length, b.length);
  for (let i = 0; i < n; ++i) if (a[i] !== b[i]) return i;
  return -1;
}

function rms(x) {
  return Math.sqrt(x.reduce((s, v) => s + v * v, 0) / x.length);
}

describe("playground in Chromium", () => {
  for (const rate of [44100, 48000]) {
    test(`worklet at ${rate} Hz: half a second, bounded, equal to the direct call`, async () => {
      const { page, errors } = await open();
      const { worklet, direct } = await renderBoth(page, rate, "ah");
      assert.equal(worklet.length, rate / 2);
      assert.equal(firstDifference(worklet, direct), -1, "worklet differs from direct");
      assert.ok(rms(worklet) > 1e-3, `silent: rms ${rms(worklet)}`);
      assert.ok(worklet.every((x) => Math.abs(x) <= 0.95), "exceeds 0.95");
      assert.deepEqual(errors, []);
      await page.close();
    });
  }

  test("the chord preset plays four voices through the batch call, as direct calls mix them", async () => {
    const { page, errors } = await open();
    const rate = 48000;
    await page.click(`#presets button:text-is("${"chord (4 voices)"}")`);
    const result = await page.evaluate(async ({ rate }) => {
      const tw = window.tractwave;
      const { VoicesEngine, chordVoices } = await import("./voices.js");
      const frames = rate / 4;
      const ctx = new OfflineAudioContext(1, frames, rate);
      await tw.attachContext(ctx);
      const worklet = Array.from((await ctx.startRendering()).getChannelData(0));
      const choir = VoicesEngine.fromBytes(tw.state.voicesWasm).newChoir(4, 128);
      choir.setParameters(chordVoices(tw.state.params));
      const direct = [];
      for (let s = 0; s < frames; s += 128)
        direct.push(...choir.renderMix(Math.min(128, frames - s), rate));
      return { worklet, direct, choir: tw.state.choir };
    }, { rate });
    assert.equal(result.choir, true);
    assert.equal(firstDifference(result.worklet, result.direct), -1, "worklet differs from the batch");
    assert.ok(rms(result.worklet) > 1e-3, `silent: rms ${rms(result.worklet)}`);
    assert.deepEqual(errors, []);
    await page.close();
  });

  test("moving a slider changes the drawing and, from the next block, the sound", async () => {
    const { page, errors } = await open();
    const rate = 48000;
    const switchBlock = 96;
    // Start an offline render that pauses at a block boundary, so that the
    // slider moves between two known blocks.
    await page.evaluate(({ rate, switchBlock }) => {
      const tw = window.tractwave;
      tw.applyParameters(tw.PRESETS.ah);
      window.before = Array.from(tw.state.params);
      const ctx = new OfflineAudioContext(1, rate / 2, rate);
      window.suspended = false;
      window.render = (async () => {
        await tw.attachContext(ctx);
        ctx.suspend((switchBlock * 128) / rate).then(() => { window.suspended = true; });
        window.offline = ctx;
        return Array.from((await ctx.startRendering()).getChannelData(0));
      })();
    }, { rate, switchBlock });
    await page.waitForFunction(() => window.suspended);
    const drawingBefore = await page.evaluate(() =>
      document.getElementById("tract").toDataURL());

    // A user's click near the low end of tongue_body's track.
    const slider = page.locator("#p-tongue_body");
    const box = await slider.boundingBox();
    await page.mouse.click(box.x + box.width * 0.1, box.y + box.height / 2);
    const moved = await page.evaluate(async () => {
      await window.tractwave.sendParameters(); // resolves once the worklet has them
      return Array.from(window.tractwave.state.params);
    });
    const drawingAfter = await page.evaluate(() =>
      document.getElementById("tract").toDataURL());

    const result = await page.evaluate(async ({ rate, moved, switchBlock }) => {
      const tw = window.tractwave;
      const { Engine } = await import("./engine.js");
      window.offline.resume();
      const worklet = await window.render;
      const probe = Engine.fromBytes(tw.state.wasm).newVoice(128);
      probe.setParameters(moved);
      const expectGeometry = probe.geometry();
      const shown = tw.currentGeometry();
      const direct = [];
      const oneVoice = Engine.fromBytes(tw.state.wasm).newVoice(128);
      oneVoice.setParameters(window.before);
      for (let s = 0; s < rate / 2; s += 128) {
        if (s === switchBlock * 128) oneVoice.setParameters(moved);
        direct.push(...oneVoice.render(Math.min(128, rate / 2 - s), rate));
      }
      const unchanged = Engine.fromBytes(tw.state.wasm).newVoice(128);
      unchanged.setParameters(window.before);
      const still = [];
      for (let s = 0; s < rate / 2; s += 128)
        still.push(...unchanged.render(Math.min(128, rate / 2 - s), rate));
      return {
        worklet, direct, still, before: window.before,
        geometryMatches: Array.from(shown.oral).every((d, k) => d === expectGeometry.oral[k]) &&
          shown.velum === expectGeometry.velum,
      };
    }, { rate, moved, switchBlock });

    const index = 3; // tongue_body
    assert.ok(moved[index] < 0.3, `slider value ${moved[index]}`);
    moved.forEach((v, k) => { if (k !== index) assert.equal(v, result.before[k]); });
    assert.notEqual(drawingAfter, drawingBefore, "drawing did not change");
    assert.ok(result.geometryMatches, "drawn geometry is not the library's");
    assert.equal(firstDifference(result.worklet, result.direct), -1,
      "worklet does not switch at the block after the move");
    const change = firstDifference(result.worklet, result.still);
    assert.ok(change >= switchBlock * 128, `sound changed before the move (${change})`);
    assert.notEqual(change, -1, "sound did not change");
    assert.deepEqual(errors, []);
    await page.close();
  });
  test("a picked score plays through the worklet by the block rule; a bad one is refused", async () => {
    const { page, errors } = await open();
    const score = {
      sample_rate: 44100, block: 100,
      keyframes: [
        { t: 0, pitch: 0.2, voicing: 0.8, tongue_body: 0.2, lips: 0.9 },
        { t: 0.15, tongue_body: 0.9, lips: 0.5, pitch: 0.4 },
        { t: 0.15, velum: 1, lips: 0 },
        { t: 0.3, breathiness: 0.6 },
      ],
    };
    await page.setInputFiles("#score-file", {
      name: "glide.json", mimeType: "application/json",
      buffer: Buffer.from(JSON.stringify(score)),
    });
    await page.waitForFunction(() => window.tractwave.state.score);
    assert.match(await page.textContent("#score-info"), /glide\.json: 4 keyframes, 0\.30 s at 44100 Hz/);
    assert.equal(await page.isEnabled("#play-score"), true);

    const result = await page.evaluate(async () => {
      const tw = window.tractwave;
      const { Engine } = await import("./engine.js");
      const { parametersAt, scoreLength } = await import("./score.js");
      const score = tw.state.score;
      const length = scoreLength(score);
      const ctx = new OfflineAudioContext(1, length + 300, score.sampleRate);
      await tw.attachContext(ctx, score);
      const worklet = Array.from((await ctx.startRendering()).getChannelData(0));
      const voice = Engine.fromBytes(tw.state.wasm).newVoice(score.block);
      const direct = [];
      for (let s = 0; s < length; s += score.block) {
        parametersAt(score, s / score.sampleRate, voice.params);
        direct.push(...voice.render(Math.min(score.block, length - s), score.sampleRate));
      }
      return { worklet, direct, length };
    });
    assert.equal(result.length, Math.round(0.3 * 44100));
    assert.equal(firstDifference(result.worklet.slice(0, result.length), result.direct), -1);
    assert.ok(rms(result.direct) > 1e-3);
    assert.ok(result.worklet.slice(result.length).every((x) => x === 0), "sound after the end");

    // A dropped file with a fault: the message names it and nothing plays.
    const drop = await page.evaluateHandle(() => {
      const dt = new DataTransfer();
      dt.items.add(new File(['{"keyframes": [{"t": 0, "lipz": 1}]}'], "bad.json"));
      return dt;
    });
    await page.dispatchEvent("body", "drop", { dataTransfer: drop });
    await page.waitForFunction(() => !window.tractwave.state.score);
    assert.match(await page.textContent("#score-info"), /bad\.json:1: keyframes\[0\]: unknown key "lipz"/);
    assert.equal(await page.isEnabled("#play-score"), false);
    assert.deepEqual(errors, []);
    await page.close();
  });

  test("loading a bad score while one plays leaves the status on the playing score", async () => {
    const { page, errors } = await open();
    const long = { keyframes: [{ t: 0, voicing: 0.8 }, { t: 3 }] };
    await page.setInputFiles("#score-file", {
      name: "long.json", mimeType: "application/json",
      buffer: Buffer.from(JSON.stringify(long)),
    });
    await page.waitForFunction(() => window.tractwave.state.score);
    await page.click("#play-score");
    await page.waitForFunction(() => /^score .* of 3\.00 s$/.test(document.getElementById("status").textContent));
    await page.setInputFiles("#score-file", {
      name: "bad.json", mimeType: "application/json",
      buffer: Buffer.from('{"keyframes": [{"t": "soon"}]}'),
    });
    await page.waitForFunction(() => !window.tractwave.state.score);
    // Position messages keep coming; each names the length of what plays.
    const seen = await page.evaluate(() => new Promise((resolve) => {
      const status = document.getElementById("status");
      const start = status.textContent;
      const check = () => (status.textContent !== start ? resolve(status.textContent) : setTimeout(check, 20));
      check();
    }));
    assert.match(seen, /^score [0-9.]+ s of 3\.00 s$/);
    await page.close();
    assert.deepEqual(errors, []);
  });

  test("the speech panel is within the first screen", async () => {
    const { page, errors } = await open();
    await page.setViewportSize({ width: 1280, height: 720 });
    const top = await page.evaluate(() => document.getElementById("speech").getBoundingClientRect().top);
    assert.ok(top >= 0 && top < 720 / 2, `speech panel starts at ${top} px`);
    assert.deepEqual(errors, []);
    await page.close();
  });

  test("Start plays live through the device context; render cost per block", async (t) => {
    const { page, errors } = await open();
    await page.click("#start");
    await page.waitForFunction(() => /playing at/.test(document.getElementById("status").textContent));
    await page.waitForTimeout(400);
    const live = await page.evaluate(async () => {
      const a = window.tractwave.state.analyser;
      const x = new Float32Array(a.fftSize);
      a.getFloatTimeDomainData(x);
      const cost = await window.tractwave.measureRenderCost(4000);
      return { peak: x.reduce((m, v) => Math.max(m, Math.abs(v)), 0), cost,
        rate: a.context.sampleRate, time: a.context.currentTime };
    });
    assert.ok(live.time > 0.2, `context did not run: ${live.time}`);
    assert.ok(live.peak > 1e-3 && live.peak <= 0.95, `live peak ${live.peak}`);
    const usPerBlock = live.cost.perBlock * 1000;
    const budget = (128 / live.rate) * 1e6;
    t.diagnostic(`render cost: ${usPerBlock.toFixed(2)} us per 128-sample block at ` +
      `${live.rate} Hz (${(100 * usPerBlock / budget).toFixed(2)}% of the ` +
      `${budget.toFixed(0)} us the block lasts; ${live.cost.blocks} blocks in ${live.cost.ms} ms)`);
    assert.ok(usPerBlock < budget, "slower than real time");
    await page.click("#start");
    await page.waitForFunction(() => document.getElementById("status").textContent === "stopped");
    assert.equal(await page.textContent("#start"), "Start");
    assert.deepEqual(errors, []);
    await page.close();
  });
});
