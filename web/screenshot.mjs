// Regenerates docs/playground.png: the built page in headless Chromium with
// the "nn (nasal)" preset playing, so the spectrum shows the voice.
//   node web/screenshot.mjs [BUILD_WEB_DIR] [OUT]   defaults: build/web docs/playground.png
import { mkdirSync } from "node:fs";
import { dirname, resolve } from "node:path";
import { fileURLToPath } from "node:url";

import { launchChromium, openPlayground } from "./browser.mjs";
import { startServer } from "./serve.mjs";

const root = resolve(fileURLToPath(import.meta.url), "../..");
const webDir = resolve(root, process.argv[2] ?? "build/web");
const out = resolve(root, process.argv[3] ?? "docs/playground.png");

const server = await startServer(webDir);
const browser = await launchChromium();
try {
  const { page, errors } = await openPlayground(browser.context, server.url);
  await page.getByRole("button", { name: "nn (nasal)", exact: true }).click();
  await page.click("#start");
  await page.waitForFunction(() =>
    /playing at/.test(document.getElementById("status").textContent));
  await page.waitForTimeout(1500); // let the analyser settle
  mkdirSync(dirname(out), { recursive: true });
  await page.screenshot({ path: out, fullPage: true });
  if (errors.length) throw new Error(`page errors: ${errors.join("; ")}`);
  console.log(`wrote ${out}`);
} finally {
  await browser.close();
  await server.close();
}
