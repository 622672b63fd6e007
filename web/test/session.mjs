// What every browser test file needs around its tests.
import { join, resolve } from "node:path";
import { after, before } from "node:test";
import { fileURLToPath } from "node:url";

import { launchChromium, openPlayground } from "../browser.mjs";
import { startServer } from "../serve.mjs";

// For a browser test file: serves the built playground (WEB_DIR, else
// BUILD_DIR/web) on 127.0.0.1 and starts Chromium before the file's tests,
// stops both after them. open() gives a fresh page, as openPlayground does.
export function playgroundSession() {
  const root = resolve(fileURLToPath(import.meta.url), "../../..");
  const webDir = resolve(root, process.env.WEB_DIR ??
    join(process.env.BUILD_DIR ?? "build", "web"));
  let server;
  let browser;
  before(async () => {
    server = await startServer(webDir);
    browser = await launchChromium();
  });
  after(async () => {
    await browser?.close();
    await server?.close();
  });
  return { open: () => openPlayground(browser.context, server.url) };
}
