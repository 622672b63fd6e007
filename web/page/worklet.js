// The AudioWorkletProcessor that plays tractwave: one WebAssembly instance and
// one voice, rendered one render quantum (128 samples) per call at the audio
// context's rate, or a choir of voices of the voices module rendered by one
// batch call per quantum and mixed. The page sends parameters and scores by
// message.
//
// Messages in:
//   {type: "params", values: [10 numbers], id}  live parameters, acknowledged
//   {type: "choir", voices: [[10 numbers], ...], id}  a choir instead, acknowledged
//   {type: "score", score}                       play a parsed score from its start
//   {type: "live"}                               back to live playing (fresh voice)
//   {type: "measure", blocks}                    time the render of that many blocks
// Messages out:
//   {type: "ack", id}                            the parameters are in use
//   {type: "position", t, values}                where a score is, now and then
//   {type: "score-ended"}
//   {type: "measured", blocks, ms}

import { Engine, compileModule } from "./engine.js";
import { ScorePlayer } from "./score.js";
import { VoicesEngine } from "./voices.js";

class TractwaveProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const { wasm, voicesWasm, parameters, score, choir } =
      options.processorOptions;
    this.module = compileModule(wasm);
    this.voicesModule = voicesWasm ? compileModule(voicesWasm) : null;
    this.choir = null;
    this.startLive(parameters);
    if (choir) this.setChoir(choir);
    this.blocksSincePost = 0;
    // A score given at construction plays from the context's first sample.
    if (score) this.startScore(score);
    this.port.onmessage = (event) => this.receive(event.data);
  }

  // A fresh instance per voice: its per-thread record starts from the
  // initial values, as a new native thread's would, so what the page plays
  // is what a native host with a fresh voice renders.
  freshVoice(maxBlock = 128) {
    return new Engine(this.module).newVoice(maxBlock);
  }

  // A fresh choir when the number of voices changes; otherwise the voices
  // carry on with their new parameters from the next block.
  setChoir(vectors) {
    if (!this.voicesModule) return;
    if (!this.choir || this.choir.count !== vectors.length)
      this.choir = new VoicesEngine(this.voicesModule).newChoir(vectors.length, 128);
    this.choir.setParameters(vectors);
  }

  startLive(parameters) {
    this.player = null;
    this.choir = null;
    this.voice = this.freshVoice();
    if (parameters) this.voice.setParameters(parameters);
  }

  startScore(score) {
    // The player renders a block of any size in pieces of at most 128.
    this.voice = this.freshVoice();
    this.player = new ScorePlayer(score, this.voice);
    this.endPosted = false;
  }

  receive(msg) {
    switch (msg.type) {
      case "params":
        // Takes effect at the next block boundary, like any host's update.
        if (!this.player) {
          this.choir = null;
          this.voice.setParameters(msg.values);
        }
        this.port.postMessage({ type: "ack", id: msg.id });
        break;
      case "choir":
        if (!this.player) this.setChoir(msg.voices);
        this.port.postMessage({ type: "ack", id: msg.id });
        break;
      case "score":
        this.startScore(msg.score);
        break;
      case "live":
        this.startLive(this.voice.params.slice());
        break;
      case "measure":
        this.port.postMessage({ type: "measured", ...this.measure(msg.blocks) });
        break;
    }
  }

  // Cost of rendering a 128-sample block at this context's rate, on a voice
  // of its own so that the one playing is not disturbed.
  measure(blocks) {
    const voice = this.freshVoice();
    voice.setParameters(this.voice.params);
    // Worklet scopes may lack performance.now(); over many blocks Date.now()
    // is fine enough.
    const now = globalThis.performance ? () => performance.now() : Date.now;
    const t0 = now();
    for (let i = 0; i < blocks; ++i) voice.render(128, sampleRate);
    return { blocks, ms: now() - t0 };
  }

  process(inputs, outputs) {
    const out = outputs[0][0];
    if (!out) return true;
    if (this.player) {
      this.player.fill(out);
      if (++this.blocksSincePost >= 8 && !this.endPosted) {
        this.blocksSincePost = 0;
        this.port.postMessage({
          type: "position",
          t: this.player.time,
          values: Array.from(this.voice.params),
        });
      }
      // Silence after the end until the page says what comes next.
      if (this.player.done && !this.endPosted) {
        this.endPosted = true;
        this.port.postMessage({ type: "score-ended" });
      }
    } else if (this.choir) {
      out.set(this.choir.renderMix(out.length, sampleRate));
    } else {
      out.set(this.voice.render(out.length, sampleRate));
    }
    for (let c = 1; c < outputs[0].length; ++c) outputs[0][c].set(out);
    return true;
  }
}

registerProcessor("tractwave", TractwaveProcessor);
