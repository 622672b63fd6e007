// The AudioWorkletProcessor that speaks: one instance of the speech module
// and one speaker at the audio context's rate, rendering one render quantum
// per call. The page sends what to say.
//
// Messages in:
//   {type: "say", text, notation ("arpabet" or "ipa"), voice, speed, pitch, id}
//       queued after whatever is being said; a new voice starts a new speaker
//   {type: "hush"}                    drops everything: a fresh, silent speaker
// processorOptions: {wasm, say}: the module's bytes, and optionally a first
// "say" message, spoken from the context's first sample.
// Messages out:
//   {type: "queued", id}              the text is in the speaker's queue
//   {type: "error", id, message}      it could not be (an unknown phoneme)
//   {type: "silent"}                  everything queued has been spoken

import { compileModule } from "./engine.js";
import { SpeechModule, Speaker } from "./speech.js";

class SpeechProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    this.speech = new SpeechModule(compileModule(options.processorOptions.wasm));
    this.speaker = null;
    this.voice = null;
    this.waiting = []; // texts the queue had no room for yet
    this.speaking = false;
    this.port.onmessage = (event) => this.receive(event.data);
    if (options.processorOptions.say) this.receive(options.processorOptions.say);
  }

  fresh(voice) {
    if (this.speaker) this.speaker.destroy();
    this.speaker = new Speaker(this.speech, { voice, sampleRate, maxBlock: 128 });
    this.voice = voice;
    this.waiting = [];
  }

  receive(msg) {
    if (msg.type === "hush") {
      this.fresh(this.voice ?? "male");
      return;
    }
    if (msg.type !== "say") return;
    try {
      if (!this.speaker || msg.voice !== this.voice) this.fresh(msg.voice);
      this.speaker.setSpeed(msg.speed ?? 1);
      this.speaker.setPitch(msg.pitch ?? 1);
      this.waiting.push(msg);
      this.drain();
    } catch (error) {
      this.port.postMessage({ type: "error", id: msg.id, message: error.message });
    }
  }

  // Queues waiting texts while there is room, in order.
  drain() {
    while (this.waiting.length) {
      const msg = this.waiting[0];
      try {
        if (!this.speaker.queue(msg.text, msg.notation)) return;
        this.port.postMessage({ type: "queued", id: msg.id });
        this.speaking = true;
      } catch (error) {
        this.port.postMessage({ type: "error", id: msg.id, message: error.message });
      }
      this.waiting.shift();
    }
  }

  process(inputs, outputs) {
    const out = outputs[0][0];
    if (!out) return true;
    if (!this.speaker) {
      out.fill(0);
    } else {
      this.drain();
      const [samples, speech] = this.speaker.render(out.length);
      out.set(samples);
      if (this.speaking && speech < out.length && !this.waiting.length) {
        this.speaking = false;
        this.port.postMessage({ type: "silent" });
      }
    }
    for (let c = 1; c < outputs[0].length; ++c) outputs[0][c].set(out);
    return true;
  }
}

registerProcessor("tractwave-speech", SpeechProcessor);
