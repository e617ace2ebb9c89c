// A static server on the loopback for the tests and the benchmark, as any
// static host serves this folder: files by path, types by extension.
import { createReadStream, existsSync, statSync } from "node:fs";
import { createServer } from "node:http";
import { extname, join, normalize } from "node:path";

const types = {
  ".html": "text/html", ".js": "text/javascript", ".wasm": "application/wasm",
  ".png": "image/png", ".jpg": "image/jpeg", ".css": "text/css",
};

// Serves folder, and extra's files (URL path to file) besides; resolves to
// {origin, close()}.
export async function serve(folder, extra = {}) {
  const extras = new Set(Object.values(extra));
  const server = createServer((request, response) => {
    const path = normalize(decodeURIComponent(
      new URL(request.url, "http://x").pathname));
    const file = extra[path] ?? join(folder, path === "/" ? "index.html" : path);
    if (!(extras.has(file) || file.startsWith(folder)) ||
        !existsSync(file) || statSync(file).isDirectory()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, {
      "Content-Type": types[extname(file)] ?? "application/octet-stream",
    });
    createReadStream(file).pipe(response);
  });
  await new Promise((done) => server.listen(0, "127.0.0.1", done));
  return {
    origin: `http://127.0.0.1:${server.address().port}`,
    close: () => server.close(),
  };
}
