// The shared cases of tests/speech/cases.json, which tractwave-say's and
// tractwave.say's tests run too: text through the page's lexicon (with the
// case's dictionary and the letter rule for the rest, as the tools run
// without espeak-ng), phonemes queued to a speaker, IPA rewritten as the
// ARPAbet that is spoken. Each is spoken as the case says or refused with a
// short message holding its part.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { join, resolve } from "node:path";
import { test } from "node:test";
import { fileURLToPath } from "node:url";

import { Lexicon, SpeechError, SpeechModule, Speaker } from "../page/speech.js";

const root = resolve(fileURLToPath(import.meta.url), "../../..");
const cases = JSON.parse(readFileSync(join(root, "tests/speech/cases.json"), "utf8"));
const buildDir = resolve(root, process.env.BUILD_DIR ?? "build");
const webDir = resolve(root, process.env.WEB_DIR ?? join(buildDir, "web"));
const speech = SpeechModule.fromBytes(readFileSync(join(webDir, "tractwave_speech.wasm")));

for (const c of cases.cases) {
  test(c.name, () => {
    const kind = ["text", "phonemes", "ipa"].find((k) => k in c);
    const given = c[kind].repeat(c.repeat ?? 1) + (c.tail ?? "");
    const spoken = () => {
      if (kind === "text") {
        const lexicon = new Lexicon(speech);
        try {
          lexicon.load(c.dictionary ?? cases.dictionary, "case.dict");
          lexicon.spellUnknown = true;
          return lexicon.transcribe(given);
        } finally {
          lexicon.destroy();
        }
      }
      if (kind === "ipa") return speech.ipaToArpabet(given);
      const speaker = new Speaker(speech);
      try {
        assert.equal(speaker.queue(given), true);
        return c.arpabet;
      } finally {
        speaker.destroy();
      }
    };
    if ("error" in c) {
      assert.throws(spoken, (error) => {
        assert.ok(error instanceof SpeechError, error.stack);
        assert.ok(error.message.includes(c.error), `"${error.message}" does not say "${c.error}"`);
        assert.ok(error.message.length < 400, `a message of ${error.message.length} characters`);
        return true;
      });
    } else {
      assert.equal(spoken(), c.arpabet);
    }
  });
}
