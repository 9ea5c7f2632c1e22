// What the firmware repository's client (compiled into the engine's wasm) needs from its host:
// downloads over fetch(), bounded in size and time, and a store for the trusted metadata.
// The browser keeps it in localStorage; Node (tuf_client_node.mjs) in a folder.
//
//   fetchLimited(url, maxBytes) -> {ok, bytes} | {ok: false, kind, problem, status, url}
//   storageStore(storage, prefix, pinnedRoot) -> {load(role), save(role, text)}

// A server that sends no byte for this long, or takes longer than the whole limit, has failed:
// slow answers must not hold the page (the programs' own download limits).
const kStallLimitMs = 15000;
const kTotalLimitMs = 120000;

const failed = (url, kind, problem, status = 0) => ({ ok: false, url, kind, problem, status });

function joinParts(parts, size) {
  const bytes = new Uint8Array(size);
  let at = 0;
  for (const part of parts) {
    bytes.set(part, at);
    at += part.length;
  }
  return bytes;
}

// The body of url, never more than maxBytes of it read: a longer one is refused as soon as it
// passes the limit. Never rejects.
export async function fetchLimited(url, maxBytes) {
  const abort = new AbortController();
  let why = '';
  let stall = null;
  const stop = (reason) => {
    why = reason;
    abort.abort();
  };
  const awaitBytes = () => {
    clearTimeout(stall);
    stall = setTimeout(() => stop(`no byte came for ${kStallLimitMs / 1000} s`), kStallLimitMs);
  };
  const total = setTimeout(() => stop(`not done within ${kTotalLimitMs / 1000} s`), kTotalLimitMs);
  try {
    try {
      new URL(url);
    } catch {
      return failed(url, 'bad_url', 'not an address the browser can fetch');
    }
    awaitBytes();
    const response = await fetch(url, { signal: abort.signal, cache: 'no-store', redirect: 'follow' });
    const where = response.url || url;
    if (!response.ok) {
      return failed(where, response.status === 404 ? 'not_found' : 'http_status',
                    `the server answered ${response.status}`, response.status);
    }
    const declared = Number(response.headers.get('content-length') || 0);
    if (declared > maxBytes) {
      stop('');
      return failed(where, 'too_large', `the server announced ${declared} bytes, more than the ` +
                    `${maxBytes} allowed`);
    }
    const reader = response.body.getReader();
    const parts = [];
    let size = 0;
    for (;;) {
      awaitBytes();
      const { value, done } = await reader.read();
      if (done) break;
      size += value.length;
      if (size > maxBytes) {
        stop('');
        return failed(where, 'too_large', `more than the ${maxBytes} bytes allowed`);
      }
      parts.push(value);
    }
    return { ok: true, url: where, bytes: joinParts(parts, size) };
  } catch (error) {
    if (why) return failed(url, 'timed_out', why);
    return failed(url, 'cannot_connect', String(error?.cause?.message || error?.message || error));
  } finally {
    clearTimeout(stall);
    clearTimeout(total);
  }
}

// The trusted metadata in a Web Storage (localStorage), one item per role under prefix; the
// root starts as pinnedRoot, the root built into the page, until a newer one is verified.
export function storageStore(storage, prefix, pinnedRoot) {
  return {
    load(role) {
      let text = null;
      try {
        text = storage?.getItem(prefix + role) ?? null;
      } catch {
        // storage the browser keeps from the page: start from the pinned root again
      }
      return text === null && role === 'root' ? pinnedRoot : text;
    },
    save(role, text) {
      try {
        if (!storage) return 'this browser gives the page no storage';
        storage.setItem(prefix + role, text);
        return '';
      } catch (error) {
        return `the browser's storage refused it (${error?.message || error})`;
      }
    },
  };
}
