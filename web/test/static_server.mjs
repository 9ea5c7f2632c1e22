// A static server for the page on 127.0.0.1 (a secure context, so Web Serial's page code runs).
// Nothing is cached: a file rewritten between pages is fetched anew. inject, when given, is put
// into every HTML page before its first script (the simulator's Web Serial stand-in).
//
//   const server = await serveFolder(dir, {port, inject}); server.url; await server.close();

import { readFileSync, statSync } from 'node:fs';
import http from 'node:http';
import path from 'node:path';

const kMime = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8',
  '.wasm': 'application/wasm', '.json': 'application/json', '.svg': 'image/svg+xml',
  '.png': 'image/png', '.ico': 'image/x-icon', '.txt': 'text/plain; charset=utf-8',
  '.pub': 'text/plain; charset=utf-8', '.sig': 'application/octet-stream',
};

export async function serveFolder(dir, { port = 0, inject = '' } = {}) {
  const root = path.resolve(dir);
  const server = http.createServer((request, response) => {
    let body = null;
    let file = '';
    try {
      const name = decodeURIComponent(new URL(request.url, 'http://x').pathname);
      file = path.join(root, path.normalize(name.endsWith('/') ? `${name}index.html` : name));
      if (file.startsWith(root + path.sep) && statSync(file).isFile()) body = readFileSync(file);
    } catch {
      // a bad address or a missing file
    }
    if (!body) {
      response.writeHead(404).end();
      return;
    }
    const type = kMime[path.extname(file)] || 'application/octet-stream';
    if (inject && type.startsWith('text/html'))
      body = body.toString('utf8').replace(/<script/i, `${inject}\n  <script`);
    response.writeHead(200, { 'Content-Type': type, 'Cache-Control': 'no-store' });
    response.end(body);
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  return {
    url: `http://127.0.0.1:${server.address().port}`,
    close: () => new Promise((resolve) => server.close(() => resolve())),
  };
}
