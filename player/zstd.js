// zstd decompression: the zstd library compiled to WebAssembly
// (vendor/zstd-wasm, some 600 MB/s) where the page may compile WebAssembly,
// fzstd (plain JavaScript, 20 to 70 MB/s) where it may not, as under a
// Content-Security-Policy without 'wasm-unsafe-eval' on another web server.
import { decompress as fzstdDecompress } from './vendor/fzstd/index.js';

const GROWTH_CAP = 64 * 1024 * 1024; // buffers grow by doubling up to this, then to fit
const WASM_URL = new URL('./vendor/zstd-wasm/zstd.wasm', import.meta.url).href;

// The emscripten module, initialised, or null when WebAssembly is refused.
async function loadWasm() {
  try {
    const bytes = await (await fetch(WASM_URL, { credentials: 'same-origin' })).arrayBuffer();
    const { Module } = await import('./vendor/zstd-wasm/zstd.js');
    await new Promise((resolve, reject) => {
      Module.onRuntimeInitialized = resolve;
      Module.instantiateWasm = (imports, receive) => {
        WebAssembly.instantiate(bytes, imports).then((r) => receive(r.instance), reject);
        return {};
      };
      Module.init();
    });
    return Module;
  } catch {
    return null;
  }
}

let wasm = null; // until it is ready, and for good where it is refused, fzstd decodes
export const zstdReady = loadWasm().then((module) => {
  wasm = module;
});
let src = 0, srcSize = 0, dst = 0, dstSize = 0; // buffers in the module's heap, grown as needed
let scratch = new Uint8Array(0); // fzstd's output, grown as needed

function heapBuffer(at, size, want) {
  if (size >= want) return [at, size];
  if (at) wasm._free(at);
  const grown = Math.max(want, Math.min(size * 2, GROWTH_CAP));
  const p = wasm._malloc(grown);
  if (!p) throw new Error('out of memory');
  return [p, grown];
}

// Decompresses one zstd frame of exactly `length` bytes.  The result is a
// view of one buffer reused from call to call (no garbage per record): use
// it before the next call.
export function zstdDecompress(data, length) {
  if (!wasm) {
    if (scratch.length < length) scratch = new Uint8Array(Math.max(length, Math.min(2 * scratch.length, GROWTH_CAP)));
    return fzstdDecompress(data, scratch.subarray(0, length));
  }
  [src, srcSize] = heapBuffer(src, srcSize, data.length);
  [dst, dstSize] = heapBuffer(dst, dstSize, length);
  wasm.HEAPU8.set(data, src);
  const n = wasm._ZSTD_decompress(dst, length, src, data.length);
  if (wasm._ZSTD_isError(n)) throw new Error(`zstd error ${-n}`);
  if (n >>> 0 !== length) throw new Error(`${n >>> 0} bytes instead of ${length}`);
  return wasm.HEAPU8.subarray(dst, dst + length);
}

export const zstdDecoder = () => (wasm ? 'WebAssembly' : 'JavaScript');
