// Starts Debian's Chromium under playwright-core for the tests and the
// screenshot script, with the flags this machine's closed network needs and a
// fresh profile each time.
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { chromium } from "playwright-core";

export const CHROMIUM = process.env.CHROMIUM ?? "/usr/bin/chromium";

const FLAGS = [
  "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
  "--no-first-run", "--disable-background-networking",
  "--disable-component-update", "--disable-sync",
  // The page's Start button is the gesture; tests drive contexts directly.
  "--autoplay-policy=no-user-gesture-required",
];

export async function launchChromium() {
  const profile = mkdtempSync(join(tmpdir(), "tw-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: FLAGS,
    viewport: { width: 1120, height: 820 },
  });
  return {
    context,
    async close() {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Opens the page and waits until the engine has loaded; fails on any page
// error so that a broken script cannot pass as a quiet page.
export async function openPlayground(context, url) {
  const page = await context.newPage();
  const errors = [];
  page.on("pageerror", (e) => errors.push(e.message));
  page.on("console", (m) => { if (m.type() === "error") errors.push(m.text()); });
  page.on("response", (r) => { if (r.status() >= 400) errors.push(`${r.status()} ${r.url()}`); });
  await page.goto(url);
  await page.waitForFunction(() => window.tractwave?.state.wasm, null, { timeout: 15000 });
  return { page, errors };
}
