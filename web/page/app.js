// The playground page: sliders, presets and a pitch pad drive one tractwave
// voice in an AudioWorklet; the page draws the tract geometry the library
// computes for the same parameters and the spectrum of what it plays.

import { Engine, PARAMETERS, PARAMETER_INDEX, pitchHz } from "./engine.js";
import { PRESETS as PRESET_TABLE } from "./facts.js";
import { MAX_SCORE_SIZE, parseScore, readScore } from "./score.js";
import { chordVoices } from "./voices.js";

const P = PARAMETER_INDEX;

// The presets' parameter vectors by label (data/parameters.json, through
// facts.js), the plugin's presets with their pitch.
export const PRESETS = Object.fromEntries(PRESET_TABLE.map((p) => [p.label, p.values]));

// The chord preset: the current tract sung by four voices of the voices
// module at once (a major triad and the octave over the pitch slider).
export const CHOIR_PRESET = "chord (4 voices)";

const state = {
  params: Float32Array.from(PARAMETERS.map((p) => p.neutral)),
  choir: false, // the sliders drive a chord of voices instead of one voice
  wasm: null, // the module's bytes, handed to every worklet
  voicesWasm: null, // the voices module's, for the chord
  engine: null, // the page's own instance, for drawing
  drawVoice: null,
  ctx: null,
  node: null,
  analyser: null,
  mode: "stopped", // "live", "score", "stopped"
  scoreContext: false, // the context was made at a score's rate
  score: null,
  playing: null, // the score the worklet plays (another may be loaded meanwhile)
  scoreName: "",
  nextId: 1,
  waiting: new Map(), // parameter message id -> resolve, until acknowledged
  geometry: null,
};

const $ = (id) => document.getElementById(id);

// ---------------------------------------------------------------------------
// Audio

export async function loadWasm(url = "tractwave.wasm") {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url}: HTTP ${response.status}`);
  const wasm = await response.arrayBuffer();
  // Without the voices module the page plays, but offers no chord.
  const voices = await fetch("tractwave_voices.wasm").catch(() => null);
  state.voicesWasm = voices?.ok ? await voices.arrayBuffer() : null;
  state.engine = Engine.fromBytes(wasm);
  state.drawVoice = state.engine.newVoice(128);
  state.wasm = wasm; // last: with it, the page is ready to play
}

// Puts a tractwave node (and an analyser) into any audio context, live or
// offline. With a score the node plays it from its first sample; otherwise it
// plays the current parameters and follows the page's messages.
export async function attachContext(ctx, score = null) {
  await ctx.audioWorklet.addModule("worklet.js");
  const node = new AudioWorkletNode(ctx, "tractwave", {
    numberOfInputs: 0,
    numberOfOutputs: 1,
    outputChannelCount: [1],
    processorOptions: {
      wasm: state.wasm,
      voicesWasm: state.voicesWasm,
      parameters: Array.from(state.params),
      choir: state.choir && !score ? chordVoices(state.params) : null,
      score,
    },
  });
  node.port.onmessage = (event) => receive(event.data);
  const analyser = ctx.createAnalyser();
  analyser.fftSize = 4096;
  analyser.smoothingTimeConstant = 0.6;
  node.connect(analyser);
  analyser.connect(ctx.destination);
  state.ctx = ctx;
  state.node = node;
  state.analyser = analyser;
  return node;
}

function receive(msg) {
  if (msg.type === "ack") {
    settleAcks(msg.id);
  } else if (msg.type === "position" && state.mode === "score") {
    state.params.set(msg.values);
    showParameters();
    // The score that plays, not the one last loaded: loading another (or a
    // bad one) while it plays leaves it playing.
    setStatus(`score ${msg.t.toFixed(2)} s of ${scoreSeconds(state.playing).toFixed(2)} s`);
  } else if (msg.type === "score-ended" && state.mode === "score") {
    stop("score finished");
  } else if (msg.type === "measured") {
    measureWaiter?.(msg);
  }
}

// Sends the parameters to the worklet. Resolves once the worklet has them.
export function sendParameters() {
  if (!state.node || state.mode === "score") return Promise.resolve();
  const id = state.nextId++;
  state.node.port.postMessage(state.choir
    ? { type: "choir", voices: chordVoices(state.params), id }
    : { type: "params", values: Array.from(state.params), id });
  return new Promise((resolve) => state.waiting.set(id, resolve));
}

// Settles the waits for every message up to `id`; with Infinity, all of them
// (the node is going away and will not answer).
function settleAcks(id) {
  for (const [k, resolve] of state.waiting)
    if (k <= id) {
      state.waiting.delete(k);
      resolve();
    }
}

let measureWaiter = null;

// Milliseconds per 128-sample block, timed inside the worklet.
export function measureRenderCost(blocks = 4000) {
  return new Promise((resolve) => {
    measureWaiter = (msg) => {
      measureWaiter = null;
      resolve({ blocks: msg.blocks, ms: msg.ms, perBlock: msg.ms / msg.blocks });
    };
    state.node.port.postMessage({ type: "measure", blocks });
  });
}

async function closeContext() {
  const ctx = state.ctx;
  state.ctx = state.node = state.analyser = null;
  settleAcks(Infinity);
  if (ctx && ctx.state !== "closed" && ctx.close) await ctx.close();
}

export async function startLive() {
  if (state.ctx && state.mode === "stopped" && !state.scoreContext) {
    await state.ctx.resume();
  } else {
    await closeContext();
    await attachContext(new AudioContext({ latencyHint: "interactive" }));
    state.scoreContext = false;
    await state.ctx.resume();
  }
  state.mode = "live";
  await sendParameters();
  updateButtons();
  setStatus(`playing at ${state.ctx.sampleRate} Hz`);
}

export async function stop(message = "stopped") {
  if (state.ctx) await state.ctx.suspend();
  state.mode = "stopped";
  updateButtons();
  setStatus(message);
}

// A score plays in a context at its own rate, so that it renders the same
// samples as tractwave-render (the browser resamples to the device).
export async function playScore() {
  if (!state.score) return;
  await closeContext();
  const ctx = new AudioContext({ sampleRate: state.score.sampleRate });
  await attachContext(ctx, state.score);
  state.playing = state.score;
  state.scoreContext = true;
  state.mode = "score";
  await ctx.resume();
  updateButtons();
}

function scoreSeconds(score = state.score) {
  return score ? score.length / score.sampleRate : 0;
}

// ---------------------------------------------------------------------------
// Scores

// Every score the rule accepts plays: its rate is within what browsers give
// an audio context (3 to 768 kHz), and the worklet renders a block of any
// size in pieces.
function showScore(read, name) {
  const info = $("score-info");
  try {
    const score = read();
    state.score = score;
    state.scoreName = name;
    info.classList.remove("error");
    info.textContent = `${name}: ${score.keyframes.length} keyframes, ` +
      `${scoreSeconds().toFixed(2)} s at ${score.sampleRate} Hz, blocks of ${score.block}`;
  } catch (e) {
    state.score = null;
    info.classList.add("error");
    info.textContent = e.message;
  }
  updateButtons();
  return state.score;
}

export function loadScoreText(text, name) {
  return showScore(() => parseScore(text, name), name);
}

async function loadScoreFile(file) {
  if (!file) return;
  // Refused before it is read, as tractwave-render refuses it.
  if (file.size > MAX_SCORE_SIZE) {
    showScore(() => {
      throw new Error(`${file.name}: the score is larger than ${MAX_SCORE_SIZE / 1048576} MiB`);
    }, file.name);
    return;
  }
  const bytes = new Uint8Array(await file.arrayBuffer());
  showScore(() => readScore(bytes, file.name), file.name);
}

// ---------------------------------------------------------------------------
// Controls

function buildSliders() {
  const box = $("sliders");
  PARAMETERS.forEach((p, i) => {
    const row = document.createElement("div");
    row.className = "slider";
    row.innerHTML = `<label for="p-${p.name}">${p.name}</label>` +
      `<input type="range" id="p-${p.name}" min="0" max="1" step="0.001">` +
      `<output for="p-${p.name}"></output><small>${p.hint}</small>`;
    const input = row.querySelector("input");
    input.addEventListener("input", () => {
      setParameter(i, Number(input.value));
      if (!state.choir) markPreset(null);
    });
    box.appendChild(row);
  });
  const presets = $("presets");
  for (const [name, values] of Object.entries(PRESETS)) {
    const b = document.createElement("button");
    b.type = "button";
    b.textContent = name;
    b.addEventListener("click", () => {
      state.choir = false;
      applyParameters(values);
      markPreset(b);
    });
    presets.appendChild(b);
  }
}

// Offered once the voices module has loaded.
function addChoirPreset() {
  if (!state.voicesWasm) return;
  const b = document.createElement("button");
  b.type = "button";
  b.textContent = CHOIR_PRESET;
  b.title = "the current shape sung by four voices at once";
  b.addEventListener("click", () => {
    setChoir(true);
    markPreset(b);
  });
  $("presets").appendChild(b);
}

// Switches between one voice and the chord; the sliders then drive either.
export function setChoir(on) {
  state.choir = on && !!state.voicesWasm;
  return sendParameters();
}

function markPreset(button) {
  for (const b of $("presets").children) b.classList.toggle("active", b === button);
}

export function setParameter(index, value) {
  state.params[index] = value;
  showParameters();
  sendParameters();
}

export function applyParameters(values) {
  state.params.set(values);
  showParameters();
  sendParameters();
}

function formatValue(i, v) {
  return i === P.pitch ? `${Math.round(pitchHz(v))} Hz` : v.toFixed(3);
}

function showParameters() {
  PARAMETERS.forEach((p, i) => {
    const input = $(`p-${p.name}`);
    input.value = state.params[i];
    input.nextElementSibling.textContent = formatValue(i, state.params[i]);
  });
  drawTract();
  drawPad();
}

function updateButtons() {
  const start = $("start");
  start.disabled = !state.wasm;
  start.textContent = state.mode === "stopped" ? "Start" : "Stop";
  $("play-score").disabled = !state.score || !state.wasm;
}

function setStatus(text) {
  $("status").textContent = text;
}

// ---------------------------------------------------------------------------
// Drawing

export function currentGeometry() {
  return state.geometry;
}

function drawTract() {
  const canvas = $("tract");
  const g = canvas.getContext("2d");
  state.drawVoice.setParameters(state.params);
  const geo = state.drawVoice.geometry();
  state.geometry = geo;
  const W = canvas.width;
  const H = canvas.height;
  g.clearRect(0, 0, W, H);

  const left = 56;
  const step = (W - left - 30) / 26; // 25 oral sections plus overhang
  const scale = 26; // pixels per diameter unit
  const oralAxis = H - 92;
  const nasalAxis = 58;
  const junction = left + 10 * step; // between sections 9 and 10

  // Oral tube: each section a band of its diameter around the axis.
  g.fillStyle = "#f3c7a8";
  g.strokeStyle = "#9a3412";
  g.lineWidth = 1.5;
  tube(g, geo.oral, left, step, oralAxis, scale);

  // Nasal tube, branching off above the velum.
  g.fillStyle = "#cfe0f5";
  g.strokeStyle = "#1e3a8a";
  tube(g, geo.nasal, junction, step, nasalAxis, scale);

  // Velum opening: the port between the tubes, as wide as its opening.
  const portTop = nasalAxis + (geo.nasal[0] * scale) / 2;
  const portBottom = oralAxis - (Math.max(geo.oral[9], geo.oral[10]) * scale) / 2;
  const portWidth = Math.max(1, (geo.velum / 0.55) * step * 1.6);
  g.fillStyle = geo.velum > 0.001 ? "#7c3aed" : "#d4d4d8";
  g.fillRect(junction - portWidth / 2, portTop, portWidth, portBottom - portTop);

  g.fillStyle = "#374151";
  g.font = "12px system-ui, sans-serif";
  g.fillText("glottis", 4, oralAxis + 4);
  g.fillText("lips", left + 25 * step + 4, oralAxis + 4);
  g.fillText("nostrils", junction + 16 * step - 44, nasalAxis - 32);
  g.fillText(`velum ${geo.velum.toFixed(3)}`, junction + portWidth / 2 + 6,
    (portTop + portBottom) / 2);
  const narrowest = geo.oral.slice(4).reduce((m, d) => Math.min(m, d), Infinity);
  g.fillText(`oral ${geo.oral[0].toFixed(2)} … ${geo.oral[24].toFixed(2)}, ` +
    `narrowest ${narrowest.toFixed(2)}`, left, H - 12);
  for (let k = 0; k < 25; k += 4) {
    g.fillStyle = "#9ca3af";
    g.fillText(String(k), left + (k + 0.5) * step - 3, H - 30);
  }
}

function tube(g, diameters, x0, step, axis, scale) {
  g.beginPath();
  diameters.forEach((d, k) => {
    const y = axis - (d * scale) / 2;
    if (k === 0) g.moveTo(x0, y);
    else g.lineTo(x0 + k * step, y);
    g.lineTo(x0 + (k + 1) * step, y);
  });
  for (let k = diameters.length - 1; k >= 0; --k) {
    const y = axis + (diameters[k] * scale) / 2;
    g.lineTo(x0 + (k + 1) * step, y);
    g.lineTo(x0 + k * step, y);
  }
  g.closePath();
  g.fill();
  g.stroke();
}

const SPECTRUM_LOW = 50;
const SPECTRUM_HIGH = 12000;
const DB_FLOOR = -130;
const DB_TOP = -10;

function drawSpectrum() {
  const canvas = $("spectrum");
  const g = canvas.getContext("2d");
  const W = canvas.width;
  const H = canvas.height;
  g.clearRect(0, 0, W, H);
  const xOf = (f) => (Math.log(f / SPECTRUM_LOW) / Math.log(SPECTRUM_HIGH / SPECTRUM_LOW)) * W;
  const yOf = (db) => ((DB_TOP - db) / (DB_TOP - DB_FLOOR)) * H;

  g.strokeStyle = "#e5e7eb";
  g.fillStyle = "#9ca3af";
  g.font = "11px system-ui, sans-serif";
  for (const f of [100, 200, 500, 1000, 2000, 5000, 10000]) {
    const x = xOf(f);
    g.beginPath(); g.moveTo(x, 0); g.lineTo(x, H); g.stroke();
    g.fillText(f >= 1000 ? `${f / 1000}k Hz` : `${f} Hz`, x + 2, 12);
  }
  // The fundamental the pitch slider asks for.
  g.strokeStyle = "#fdba74";
  const f0x = xOf(pitchHz(state.params[P.pitch]));
  g.beginPath(); g.moveTo(f0x, 0); g.lineTo(f0x, H); g.stroke();

  const a = state.analyser;
  if (!a || state.mode === "stopped") {
    g.fillStyle = "#9ca3af";
    g.font = "13px system-ui, sans-serif";
    g.fillText("press Start to hear the voice and see its spectrum", 12, 20);
    return;
  }
  const bins = new Float32Array(a.frequencyBinCount);
  a.getFloatFrequencyData(bins);
  const binHz = a.context.sampleRate / a.fftSize;
  g.strokeStyle = "#c2410c";
  g.lineWidth = 1.5;
  g.beginPath();
  let started = false;
  for (let i = 1; i < bins.length; ++i) {
    const f = i * binHz;
    if (f < SPECTRUM_LOW || f > SPECTRUM_HIGH) continue;
    const y = Math.min(H, yOf(Math.max(bins[i], DB_FLOOR)));
    if (started) g.lineTo(xOf(f), y);
    else { g.moveTo(xOf(f), y); started = true; }
  }
  g.stroke();
  g.lineWidth = 1;
}

function drawPad() {
  const canvas = $("pad");
  const g = canvas.getContext("2d");
  const W = canvas.width;
  const H = canvas.height;
  g.clearRect(0, 0, W, H);
  g.strokeStyle = "#eef0f3";
  for (let i = 1; i < 10; ++i) {
    g.beginPath(); g.moveTo((i * W) / 10, 0); g.lineTo((i * W) / 10, H); g.stroke();
  }
  const x = state.params[P.pitch] * W;
  const y = (1 - state.params[P.voicing]) * H;
  g.fillStyle = "#c2410c";
  g.beginPath(); g.arc(x, y, 8, 0, 2 * Math.PI); g.fill();
  g.fillStyle = "#6b7280";
  g.font = "11px system-ui, sans-serif";
  g.fillText(`${pitchHz(0)} Hz`, 4, H - 4);
  g.fillText(`${pitchHz(1)} Hz`, W - 40, H - 4);
  g.fillText(`${Math.round(pitchHz(state.params[P.pitch]))} Hz, voicing ` +
    `${state.params[P.voicing].toFixed(2)}`, 4, 12);
}

function setupPad() {
  const canvas = $("pad");
  const clamp01 = (v) => Math.min(1, Math.max(0, v));
  const move = (event) => {
    const r = canvas.getBoundingClientRect();
    state.params[P.pitch] = clamp01((event.clientX - r.left) / r.width);
    state.params[P.voicing] = clamp01(1 - (event.clientY - r.top) / r.height);
    markPreset(null);
    showParameters();
    sendParameters();
  };
  canvas.addEventListener("pointerdown", (event) => {
    canvas.setPointerCapture(event.pointerId);
    move(event);
  });
  canvas.addEventListener("pointermove", (event) => {
    if (canvas.hasPointerCapture(event.pointerId)) move(event);
  });
}

function setupScoreInput() {
  $("score-file").addEventListener("change", (e) => loadScoreFile(e.target.files[0]));
  document.addEventListener("dragover", (e) => {
    e.preventDefault();
    document.body.classList.add("dragging");
  });
  document.addEventListener("dragleave", () => document.body.classList.remove("dragging"));
  document.addEventListener("drop", (e) => {
    e.preventDefault();
    document.body.classList.remove("dragging");
    loadScoreFile(e.dataTransfer.files[0]);
  });
  $("play-score").addEventListener("click", () => playScore());
}

function animate() {
  drawSpectrum();
  requestAnimationFrame(animate);
}

async function main() {
  buildSliders();
  setupScoreInput();
  $("start").addEventListener("click", () =>
    (state.mode === "stopped" ? startLive() : stop()));
  try {
    await loadWasm();
  } catch (e) {
    setStatus(`could not load the engine: ${e.message}`);
    return;
  }
  addChoirPreset();
  setupPad();
  showParameters();
  updateButtons();
  setStatus("press Start (browsers need a click before sound)");
  requestAnimationFrame(animate);
  window.dispatchEvent(new Event("tractwave-ready"));
}

// For tests and the console.
export const debugState = state;
window.tractwave = {
  state, attachContext, sendParameters, measureRenderCost, loadScoreText,
  applyParameters, currentGeometry, startLive, stop, playScore, PRESETS,
  setChoir, CHOIR_PRESET,
};
main();
