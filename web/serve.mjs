// A static file server for the built playground, on 127.0.0.1 only.
//   node web/serve.mjs [DIR] [--port N]     defaults: build/web, port 8000
// Port 0 picks a free port. Also imported by the tests and the screenshot
// script, which start it on a free port.
import { createServer } from "node:http";
import { readFile, stat } from "node:fs/promises";
import { extname, join, normalize, resolve, sep } from "node:path";
import { fileURLToPath } from "node:url";

const TYPES = {
  ".html": "text/html; charset=utf-8",
  ".js": "text/javascript; charset=utf-8",
  ".mjs": "text/javascript; charset=utf-8",
  ".css": "text/css; charset=utf-8",
  ".json": "application/json",
  ".wasm": "application/wasm",
  ".png": "image/png",
};

export function startServer(dir, port = 0) {
  const root = resolve(dir);
  const server = createServer(async (req, res) => {
    try {
      const path = decodeURIComponent(new URL(req.url, "http://x").pathname);
      let file = normalize(join(root, path));
      if (file !== root && !file.startsWith(root + sep)) {
        res.writeHead(403).end("forbidden\n");
        return;
      }
      if ((await stat(file).catch(() => null))?.isDirectory())
        file = join(file, "index.html");
      const body = await readFile(file);
      res.writeHead(200, {
        "Content-Type": TYPES[extname(file)] ?? "application/octet-stream",
        "Cache-Control": "no-store",
      });
      res.end(req.method === "HEAD" ? undefined : body);
    } catch {
      res.writeHead(404, { "Content-Type": "text/plain" }).end("not found\n");
    }
  });
  return new Promise((resolvePromise, reject) => {
    server.once("error", reject);
    server.listen(port, "127.0.0.1", () => {
      const url = `http://127.0.0.1:${server.address().port}/`;
      resolvePromise({ server, url, close: () => new Promise((r) => server.close(r)) });
    });
  });
}

if (process.argv[1] && resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const args = process.argv.slice(2);
  let port = 8000;
  let dir = "build/web";
  for (let i = 0; i < args.length; ++i) {
    if (args[i] === "--port") port = Number(args[++i]);
    else dir = args[i];
  }
  if (!Number.isInteger(port) || port < 0 || port > 65535) {
    console.error(`serve.mjs: bad port ${args[args.indexOf("--port") + 1]}`);
    process.exit(2);
  }
  try {
    if (!(await stat(join(dir, "tractwave.wasm")).catch(() => null)))
      throw new Error(`${dir}/tractwave.wasm not found; run web/build.sh first`);
    const { url } = await startServer(dir, port);
    console.log(`tractwave playground: ${url}  (Ctrl-C to stop)`);
  } catch (e) {
    console.error(`serve.mjs: ${e.message}`);
    process.exit(2);
  }
}
