// Firmware from the site's signed manifest: the manifest and its detached signature
// (manifest.json.sig: DER ECDSA P-256 over SHA-256 of the manifest's exact bytes), checked with
// WebCrypto against the keys site.json names, then one build fetched and checked against the
// size and SHA-256 the manifest gives. Every failure is a result with the reason; nothing throws.

// Far above any real manifest, key or signature; larger answers are not one.
const kMaxManifestBytes = 4 * 1024 * 1024;
const kMaxKeyBytes = 16 * 1024;
const kMaxSignatureBytes = 1024;
// A build larger than this is no adapter's firmware.
const kMaxBuildBytes = 16 * 1024 * 1024;
// How long a fetch may take before it counts as failed.
const kFetchLimitMs = 30000;
const kSignatureSuffix = '.sig';

const fail = (why) => ({ ok: false, why });

// The body of url, at most limit bytes; onProgress(done, total) while it arrives.
async function fetchBytes(url, limit, onProgress = () => {}) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), kFetchLimitMs);
  try {
    const response = await fetch(url, { signal: abort.signal, cache: 'no-cache' });
    if (!response.ok) return fail(`${url}: the server answered ${response.status}`);
    const declared = Number(response.headers.get('content-length') || 0);
    if (declared > limit) return fail(`${url}: ${declared} bytes, more than the ${limit} allowed`);
    const reader = response.body.getReader();
    const parts = [];
    let size = 0;
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      size += value.length;
      if (size > limit) {
        abort.abort();
        return fail(`${url}: more than the ${limit} bytes allowed`);
      }
      parts.push(value);
      onProgress(size, declared || limit);
    }
    const bytes = new Uint8Array(size);
    let at = 0;
    for (const part of parts) {
      bytes.set(part, at);
      at += part.length;
    }
    return { ok: true, bytes };
  } catch (error) {
    const why = abort.signal.aborted ? `no answer within ${kFetchLimitMs / 1000} s` : error.message;
    return fail(`${url}: could not be fetched (${why})`);
  } finally {
    clearTimeout(timer);
  }
}

// The site's settings (site.json beside the page): {manifest, trusted_keys, downloads}; an
// empty object when the site has none.
export async function loadSite(base = document.baseURI) {
  const url = new URL('site.json', base);
  const got = await fetchBytes(url.href, kMaxKeyBytes);
  if (!got.ok) return { ok: true, site: {} };
  try {
    const site = JSON.parse(new TextDecoder().decode(got.bytes));
    if (typeof site !== 'object' || site === null || Array.isArray(site))
      return fail('site.json: not a JSON object');
    if (site.manifest !== undefined && typeof site.manifest !== 'string')
      return fail('site.json: "manifest" must be the manifest\'s address');
    if (site.trusted_keys !== undefined &&
        !(Array.isArray(site.trusted_keys) && site.trusted_keys.every((k) => typeof k === 'string')))
      return fail('site.json: "trusted_keys" must be a list of public key addresses');
    return { ok: true, site };
  } catch (error) {
    return fail(`site.json: ${error.message}`);
  }
}

// The DER of the first PEM block labelled label, or null.
function pemBody(text, label) {
  const found = new RegExp(`-----BEGIN ${label}-----([A-Za-z0-9+/=\\s]+)-----END ${label}-----`)
      .exec(text);
  if (!found) return null;
  try {
    return Uint8Array.from(atob(found[1].replace(/\s+/g, '')), (c) => c.charCodeAt(0));
  } catch {
    return null;
  }
}

// The raw r || s (32 bytes each) WebCrypto verifies, from a DER ECDSA signature; null when the
// bytes are not one.
export function rawSignature(der) {
  const length = (at) => (der[at] < 0x80 ? [der[at], at + 1] : der[at] === 0x81 ? [der[at + 1], at + 2] : [-1, 0]);
  if (der.length < 8 || der[0] !== 0x30) return null;
  const [total, body] = length(1);
  if (total < 0 || body + total !== der.length) return null;
  const out = new Uint8Array(64);
  let at = body;
  for (const offset of [0, 32]) {
    if (der[at] !== 0x02) return null;
    const [size, start] = length(at + 1);
    if (size < 1 || start + size > der.length) return null;
    let value = der.subarray(start, start + size);
    while (value.length > 1 && value[0] === 0) value = value.subarray(1);
    if (value.length > 32) return null;
    out.set(value, offset + 32 - value.length);
    at = start + size;
  }
  return at === der.length ? out : null;
}

async function importKey(url) {
  const got = await fetchBytes(url, kMaxKeyBytes);
  if (!got.ok) return got;
  const der = pemBody(new TextDecoder().decode(got.bytes), 'PUBLIC KEY');
  if (!der) return fail(`${url}: not a PEM public key ("-----BEGIN PUBLIC KEY-----")`);
  try {
    const key = await crypto.subtle.importKey('spki', der, { name: 'ECDSA', namedCurve: 'P-256' },
                                              false, ['verify']);
    return { ok: true, key, name: url.split('/').pop() };
  } catch {
    return fail(`${url}: not an ECDSA P-256 public key`);
  }
}

// The manifest's text once its signature matches one of the site's keys.
export async function fetchVerifiedManifest(site, base = document.baseURI) {
  if (!site.manifest) return fail('this site names no firmware manifest (site.json)');
  const url = new URL(site.manifest, base).href;
  const keys = [];
  for (const keyUrl of site.trusted_keys || []) {
    const key = await importKey(new URL(keyUrl, base).href);
    if (!key.ok) return key;
    keys.push(key);
  }
  if (!keys.length) return fail(`no trusted key is set for ${url} (site.json "trusted_keys")`);
  const manifest = await fetchBytes(url, kMaxManifestBytes);
  if (!manifest.ok) return manifest;
  const signature = await fetchBytes(url + kSignatureSuffix, kMaxSignatureBytes);
  if (!signature.ok) return fail(`the manifest's signature: ${signature.why}`);
  const raw = rawSignature(signature.bytes);
  if (!raw) return fail(`${url}${kSignatureSuffix}: not an ECDSA signature`);
  for (const { key, name } of keys) {
    const good = await crypto.subtle.verify({ name: 'ECDSA', hash: 'SHA-256' }, key, raw,
                                            manifest.bytes);
    if (good) {
      return { ok: true, url, signedBy: name, text: new TextDecoder().decode(manifest.bytes) };
    }
  }
  return fail(`${url}: the signature does not match the manifest with any trusted key; ` +
              'the manifest was altered or signed by another key');
}

const hex = (bytes) => Array.from(new Uint8Array(bytes), (b) => b.toString(16).padStart(2, '0')).join('');

// The build's bytes, fetched beside the manifest and checked against its size and SHA-256.
export async function fetchBuild(manifestUrl, build, onProgress) {
  const url = new URL(build.file, manifestUrl).href;
  const got = await fetchBytes(url, Math.min(build.size, kMaxBuildBytes), onProgress);
  if (!got.ok) return got;
  if (got.bytes.length !== build.size)
    return fail(`${url}: ${got.bytes.length} bytes, the manifest says ${build.size}`);
  const digest = hex(await crypto.subtle.digest('SHA-256', got.bytes));
  if (digest !== build.sha256)
    return fail(`${url}: its SHA-256 is not the manifest's: the file was altered`);
  return { ok: true, bytes: got.bytes, name: build.file.split('/').pop() };
}

// The manifest's build whose SHA-256 is the file's, or null; the manifest has passed its
// signature check and the engine's strict reader.
export async function findPublished(manifest, bytes) {
  const digest = hex(await crypto.subtle.digest('SHA-256', bytes));
  try {
    return JSON.parse(manifest.text).builds?.find((build) => build.sha256 === digest) ?? null;
  } catch {
    return null;
  }
}
