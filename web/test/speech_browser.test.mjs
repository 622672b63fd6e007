// The speech panel in Debian's headless Chromium: the speech worklet renders
// exactly what direct calls of the module render, Speak on the page's own
// text makes sound, typed words are transcribed with the built-in word list
// and the letter rule, and a word neither reads is named.
import assert from "node:assert/strict";
import { test } from "node:test";

import { playgroundSession } from "./session.mjs";

const session = playgroundSession();

async function openSpeech() {
  const { page, errors } = await session.open();
  await page.waitForFunction(() => !document.getElementById("say-button").disabled,
    null, { timeout: 15000 });
  return { page, errors };
}

test("the speech worklet renders what the module renders", async () => {
  const { page, errors } = await openSpeech();
  const { worklet, direct } = await page.evaluate(async () => {
    const { SpeechModule, Speaker } = await import("./speech.js");
    const wasm = await (await fetch("tractwave_speech.wasm")).arrayBuffer();
    const rate = 44100, frames = rate;
    const say = { type: "say", id: 1, text: "HH AH0 L OW1 .", notation: "arpabet",
      voice: "female", speed: 1, pitch: 1 };
    const ctx = new OfflineAudioContext(1, frames, rate);
    await ctx.audioWorklet.addModule("speech-worklet.js");
    const node = new AudioWorkletNode(ctx, "tractwave-speech", {
      numberOfOutputs: 1, outputChannelCount: [1],
      processorOptions: { wasm, say },
    });
    node.connect(ctx.destination);
    const rendered = (await ctx.startRendering()).getChannelData(0);
    const speaker = new Speaker(SpeechModule.fromBytes(wasm), { voice: "female", sampleRate: rate });
    speaker.queue(say.text);
    const direct = new Float32Array(frames);
    for (let s = 0; s < frames; s += 128)
      direct.set(speaker.render(Math.min(128, frames - s))[0], s);
    return { worklet: Array.from(rendered), direct: Array.from(direct) };
  });
  assert.deepEqual(worklet, direct);
  assert.ok(worklet.some((x) => Math.abs(x) > 0.05));
  assert.deepEqual(errors, []);
});

test("Speak on the page's own text makes sound", async () => {
  const { page, errors } = await openSpeech();
  // A tap on the speech worklet's output, made when the page connects it.
  await page.evaluate(() => {
    const connect = AudioNode.prototype.connect;
    window.speechPeak = 0;
    AudioNode.prototype.connect = function (target, ...rest) {
      if (this instanceof AudioWorkletNode && target instanceof AudioDestinationNode) {
        const analyser = this.context.createAnalyser();
        analyser.fftSize = 2048;
        connect.call(this, analyser);
        const block = new Float32Array(analyser.fftSize);
        setInterval(() => {
          analyser.getFloatTimeDomainData(block);
          for (const x of block) window.speechPeak = Math.max(window.speechPeak, Math.abs(x));
        }, 10);
      }
      return connect.call(this, target, ...rest);
    };
  });
  assert.equal(await page.inputValue("#say-text"), "Hello! I am tractwave. Can you understand me?");
  await page.click("#say-button");
  await page.waitForFunction(() =>
    document.getElementById("say-info").textContent.startsWith("Saying"));
  assert.match(await page.textContent("#say-info"), /\| AH\d N D ER0 S T AE1 N D \| M IY\d \?$/);
  await page.waitForFunction(() => window.speechPeak > 0.05, null, { timeout: 20000 });
  assert.deepEqual(errors, []);
});

test("typed words are transcribed, and an unknown one is named", async () => {
  const { page, errors } = await openSpeech();
  await page.fill("#say-text", "Hello, world!");
  await page.click("#say-button");
  await page.waitForFunction(() =>
    document.getElementById("say-info").textContent.startsWith("Saying"));
  assert.equal(await page.textContent("#say-info"), "Saying: HH AH0 L OW1 , W ER1 L D !");
  // A word the built-in list lacks is read by the letter rule; one without
  // Latin letters is named.
  await page.fill("#say-text", "hello λόγος");
  await page.click("#say-button");
  await page.waitForFunction(() =>
    document.getElementById("say-info").textContent.includes("λόγος"));
  assert.match(await page.textContent("#say-info"), /"λόγος" is not among the \d+ words known/);
  await page.fill("#say-text", "hello xylophone");
  await page.click("#say-button");
  await page.waitForFunction(() =>
    document.getElementById("say-info").textContent.startsWith("Saying: HH AH0 L OW1 | Z"));
  // A dictionary loaded from a file knows it.
  await page.setInputFiles("#say-dict", {
    name: "mine.dict", mimeType: "text/plain",
    buffer: Buffer.from("xylophone Z AY1 L AH0 F OW2 N\n"),
  });
  await page.waitForFunction(() =>
    document.getElementById("say-info").textContent === "mine.dict loaded.");
  await page.click("#say-button");
  await page.waitForFunction(() =>
    document.getElementById("say-info").textContent.includes("Z AY1 L AH0 F OW2 N"));
  assert.deepEqual(errors, []);
});
