// The playground's speech panel: type words (from a small built-in word list,
// or any dictionary in the CMU format loaded from a file, the rest read by
// the library's letter-to-sound rule), ARPAbet or IPA,
// pick a voice, and the speech worklet says it. Words are transcribed here,
// on the page, with the same library the worklet speaks with.

import { quote } from "./score.js";
import { Lexicon, SpeechError, SpeechModule, VOICES } from "./speech.js";
import { BUILTIN_WORDS } from "./words.js";

const panel = document.getElementById("speech");

panel.innerHTML = `
  <h2>Speech</h2>
  <textarea id="say-text" rows="2" spellcheck="false">Hello! I am tractwave. Can you understand me?</textarea>
  <div class="say-row">
    <label>as <select id="say-notation">
      <option value="words">English words</option>
      <option value="arpabet">ARPAbet</option>
      <option value="ipa">IPA</option></select></label>
    <label>voice <select id="say-voice">${VOICES.map((v) => `<option>${v}</option>`).join("")}</select></label>
    <label>speed <input id="say-speed" type="range" min="0.5" max="2" step="0.05" value="1"></label>
    <label>pitch <input id="say-pitch" type="range" min="0.5" max="2" step="0.05" value="1"></label>
    <button id="say-button" type="button" disabled>Speak</button>
  </div>
  <p><label class="file">Load a dictionary (CMU format, e.g. Debian's
    cmudict-en-us.dict)<input id="say-dict" type="file"></label>
    <span id="say-words"></span></p>
  <p id="say-info" role="status">loading…</p>`;

const $ = (id) => document.getElementById(id);
const state = { bytes: null, lexicon: null, ctx: null, node: null, id: 0 };

function info(text) {
  $("say-info").textContent = text;
}

function showWordCount() {
  $("say-words").textContent = `${state.lexicon.size} words known`;
}

async function init() {
  const response = await fetch("tractwave_speech.wasm");
  if (!response.ok) throw new Error(`tractwave_speech.wasm: ${response.status}`);
  state.bytes = await response.arrayBuffer();
  const speech = SpeechModule.fromBytes(state.bytes);
  state.lexicon = new Lexicon(speech);
  state.lexicon.load(BUILTIN_WORDS, "built-in words");
  // Any other word is read by the library's letter-to-sound rule.
  state.lexicon.spellUnknown = true;
  showWordCount();
  $("say-button").disabled = false;
  info("Type something and press Speak.");
}

// The worklet, on first use (browsers give sound only after a click).
async function ensureAudio() {
  if (state.node) return;
  const ctx = new AudioContext({ latencyHint: "interactive" });
  await ctx.audioWorklet.addModule("speech-worklet.js");
  const node = new AudioWorkletNode(ctx, "tractwave-speech", {
    numberOfOutputs: 1,
    outputChannelCount: [1],
    processorOptions: { wasm: state.bytes },
  });
  node.port.onmessage = (event) => {
    const msg = event.data;
    if (msg.type === "error") info(msg.message);
    if (msg.type === "silent") $("say-button").textContent = "Speak";
  };
  node.connect(ctx.destination);
  state.ctx = ctx;
  state.node = node;
}

async function speak() {
  let text = $("say-text").value;
  let notation = $("say-notation").value;
  if (notation === "words") {
    try {
      text = state.lexicon.transcribe(text);
    } catch (error) {
      if (!(error instanceof SpeechError)) throw error;
      info(error.word
        ? `${quote(error.word)} is not among the ${state.lexicon.size} words known and has no letters to read: load a dictionary, or type it in ARPAbet.`
        : error.message);
      return;
    }
    notation = "arpabet";
  }
  if (!text.trim()) {
    info("Nothing to say.");
    return;
  }
  await ensureAudio();
  await state.ctx.resume();
  state.node.port.postMessage({
    type: "say", id: ++state.id, text, notation,
    voice: $("say-voice").value,
    speed: Number($("say-speed").value),
    pitch: Number($("say-pitch").value),
  });
  info(notation === "arpabet" ? `Saying: ${text}` : "Saying it.");
}

$("say-button").addEventListener("click", () => {
  speak().catch((error) => info(error.message));
});

$("say-dict").addEventListener("change", async (event) => {
  const file = event.target.files[0];
  if (!file) return;
  info(`Loading ${file.name}…`);
  try {
    state.lexicon.load(await file.text(), file.name);
    showWordCount();
    info(`${file.name} loaded.`);
  } catch (error) {
    info(error.message);
  }
});

init().catch((error) => info(`Speech is unavailable: ${error.message}`));
