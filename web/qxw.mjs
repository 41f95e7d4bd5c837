// QXW files in browsers and in Node 18 or later: the C library compiled to WebAssembly, with the
// bytes wav2qxw writes and the samples qxw2wav decodes. Every call is synchronous once `ready` has
// resolved; every failure throws a QxwError. Memory taken for a call is given back at its end.
import createQxwCore from './qxw_core.mjs';

const STATUS_NAMES = [
  'QXW_OK', 'QXW_INVALID_ARGUMENT', 'QXW_NOT_QXW', 'QXW_INVALID_HEADER', 'QXW_TRUNCATED',
  'QXW_CORRUPT', 'QXW_OUT_OF_MEMORY', 'QXW_BUFFER_TOO_SMALL', 'QXW_TRAILING_DATA', 'QXW_STOPPED',
  'QXW_WRITE_FAILED', 'QXW_INTERNAL_ERROR',
];
const TRAILING_DATA = 8;
const RATE_MAX = 2147483647;

// A failure: `status` is the library's status name (QXW_CORRUPT, ...); the message is its text,
// or for a WAV file the line wav2qxw prints.
export class QxwError extends Error {
  constructor(status, message) {
    super(message);
    this.name = 'QxwError';
    this.status = status;
  }
}

let core = null;
export let version = '';

// Node has no fetch of a file beside the module: it hands the module its .wasm.
async function coreOptions() {
  if (typeof process !== 'object' || !process.versions || !process.versions.node) return {};
  const { readFile } = await import('node:fs/promises');
  return { wasmBinary: await readFile(new URL('./qxw_core.wasm', import.meta.url)) };
}

export const ready = coreOptions()
  .then(createQxwCore)
  .then((loaded) => {
    core = loaded;
    version = core.UTF8ToString(core._qxw_version());
  });

function use() {
  if (core === null) throw new QxwError('QXW_INVALID_ARGUMENT', 'the module is not ready yet: await ready');
  return core;
}

function fail(status) {
  const text = use().UTF8ToString(core._qxw_status_text(status));
  throw new QxwError(STATUS_NAMES[status] || 'QXW_INTERNAL_ERROR', text);
}

function check(status) {
  if (status !== 0) fail(status);
}

// Runs body(pointer) with size bytes of the module's memory, given back however it ends.
function withMemory(size, body) {
  const pointer = use()._malloc(Math.max(size, 8));
  if (pointer === 0) fail(6);
  try {
    return body(pointer);
  } finally {
    core._free(pointer);
  }
}

function asBytes(bytes) {
  if (bytes instanceof Uint8Array) return bytes;
  if (bytes instanceof ArrayBuffer) return new Uint8Array(bytes);
  if (ArrayBuffer.isView(bytes)) return new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  throw new QxwError('QXW_INVALID_ARGUMENT', 'bytes must be a Uint8Array, an ArrayBuffer or a typed array');
}

// Runs body(pointer, size) with the bytes copied into the module's memory.
function withBytes(bytes, body) {
  const data = asBytes(bytes);
  return withMemory(data.length, (pointer) => {
    core.HEAPU8.set(data, pointer);
    return body(pointer, data.length);
  });
}

function formatAt(pointer) {
  const words = new Uint32Array(core.HEAPU8.buffer, pointer, 3);
  return { frames: words[0], channels: words[1], sampleRate: words[2] };
}

// {sampleRate, channels, frames} of a QXW file's header.
export function readFormat(bytes) {
  return withBytes(bytes, (data, size) =>
    withMemory(12, (format) => {
      check(core._qxw_read_format(data, size, format));
      const { frames, channels, sampleRate } = formatAt(format);
      return { sampleRate, channels, frames };
    }));
}

// The whole file: {sampleRate, channels, frames, samples}, samples interleaved in an Int16Array.
export function decode(bytes) {
  return withBytes(bytes, (data, size) => {
    const format = withMemory(12, (at) => {
      check(core._qxw_read_format(data, size, at));
      return formatAt(at);
    });
    const count = format.frames * format.channels;
    const samples = withMemory(2 * count, (out) => {
      check(core._qxw_decode(data, size, out, count));
      return new Int16Array(core.HEAPU8.buffer, out, count).slice();
    });
    return { sampleRate: format.sampleRate, channels: format.channels, frames: format.frames, samples };
  });
}

function integerIn(name, value, low, high) {
  if (!Number.isInteger(value) || value < low || value > high) {
    throw new QxwError('QXW_INVALID_ARGUMENT', `${name} must be an integer from ${low} to ${high}`);
  }
  return value;
}

// The library's run over samples held in the module: the file and what a program would print.
function encodeIn(pointer, frames, settings, onProgress) {
  const c = use();
  c.onQxwProgress = typeof onProgress === 'function' ? onProgress : null;
  return withMemory(4, (statusAt) => {
    const result = c._qxw_web_encode(pointer, frames, settings.channels, settings.sampleRate,
      settings.quality, settings.bits, settings.effort, statusAt);
    const status = c.HEAP32[statusAt >> 2];
    try {
      if (result === 0) fail(6);
      check(status);
      const raised = [];
      for (let i = 0, to; (to = c._qxw_web_result_raised(result, i)) >= 0; ++i) raised.push(to);
      return {
        bytes: c.HEAPU8.slice(c._qxw_web_result_data(result),
          c._qxw_web_result_data(result) + c._qxw_web_result_size(result)),
        estimates: [0, 1, 2].map((i) => c._qxw_web_result_estimate(result, i)),
        raised,
        lossless: c._qxw_web_result_lossless(result) !== 0,
        unmet: c._qxw_web_result_unmet(result) !== 0,
        signal: c._qxw_web_result_signal(result),
        noise: c._qxw_web_result_noise(result),
      };
    } finally {
      c._qxw_web_result_free(result);
      c.onQxwProgress = null;
    }
  });
}

function settingsOf(options, channels, sampleRate) {
  const { quality = 3, bits = 0, effort = 0 } = options || {};
  if (typeof bits !== 'number' || !Number.isFinite(bits)) {
    throw new QxwError('QXW_INVALID_ARGUMENT', 'bits must be a number: 0, or a size target of 2 to 8');
  }
  return {
    channels: integerIn('channels', channels, 1, 6),
    sampleRate: integerIn('sampleRate', sampleRate, 1, RATE_MAX),
    quality: integerIn('quality', quality, 0, 9),
    bits,
    effort: integerIn('effort', effort, 0, 3),
  };
}

// The bytes wav2qxw writes for these samples (interleaved, channel 0 first) and settings:
// quality 0 to 9 (default 3), or bits a size target of 2 to 8 with effort 0 to 3 for the search.
// onProgress(done), when given, hears the share of the work done, rising to 1, as it goes.
export function encode(samples, options = {}) {
  const { sampleRate = 44100, channels = 1 } = options;
  const settings = settingsOf(options, channels, sampleRate);
  const values = samples instanceof Int16Array ? samples : Int16Array.from(samples);
  if (values.length % settings.channels !== 0) {
    throw new QxwError('QXW_INVALID_ARGUMENT', 'the samples are not a whole number of frames');
  }
  return withMemory(2 * values.length, (pointer) => {
    new Int16Array(core.HEAPU8.buffer, pointer, values.length).set(values);
    return encodeIn(pointer, values.length / settings.channels, settings, options.onProgress).bytes;
  });
}

// A WAV file's header as wav2qxw checks it, with its lines for what it refuses.
function readWave(data, name) {
  const view = new DataView(data.buffer, data.byteOffset, data.byteLength);
  const tag = (at, text) => at + 4 <= data.length &&
    String.fromCharCode(...data.subarray(at, at + 4)) === text;
  const refuse = (line) => { throw new QxwError('QXW_INVALID_ARGUMENT', line); };
  if (data.length < 36 || !tag(0, 'RIFF') || !tag(8, 'WAVE') || !tag(12, 'fmt ')) {
    refuse('Not valid Wave file');
  }
  const features = 'Invalid Wave file features (eg. compressed or 8-bit)';
  const channels = view.getUint16(22, true);
  const sampleRate = view.getUint32(24, true);
  if (view.getUint16(20, true) !== 1 || channels < 1 || channels > 6) refuse(features);
  if (view.getUint32(28, true) !== (sampleRate * channels * 2) % 2 ** 32) refuse(features);
  if (view.getUint16(32, true) !== channels * 2 || view.getUint16(34, true) !== 16) refuse(features);
  const dataTag = 20 + view.getUint32(16, true);
  if (dataTag + 8 > data.length || !tag(dataTag, 'data')) refuse('Error parsing Wave file data chunk');
  const frames = Math.floor(view.getUint32(dataTag + 4, true) / (channels * 2));
  const declaredSize = (view.getUint32(4, true) + 8) % 2 ** 32;
  const end = dataTag + 8 + frames * channels * 2;
  if (end > data.length || end > declaredSize) refuse(`Error: file ${name} incomplete or truncated`);
  if (sampleRate < 1 || sampleRate > RATE_MAX) {
    refuse(`Error: ${name} has a sample rate of ${sampleRate} Hz, which no player can use`);
  }
  return { channels, sampleRate, frames, declaredSize, dataOffset: dataTag + 8 };
}

// "Q3 estimated bytes: 62188 (2.84:1 compression)", the ratio rounded to hundredths as wav2qxw
// rounds it.
function estimateLine(label, level, declared, estimate) {
  const a = BigInt(declared) + BigInt(estimate) / 200n;
  const e = BigInt(estimate);
  return `${label} Q${level} estimated bytes: ${estimate} (${a / e}.${(a * 10n / e) % 10n}${(a * 100n / e) % 10n}:1 compression)`;
}

// %g of a target, as wav2qxw prints it.
const asPrinted = (x) => String(Number(x.toPrecision(6)));

// A WAV file as wav2qxw reads it: {qxw, lines}, the file and the lines wav2qxw prints of it (the
// estimates, a raised quality, a file written lossless, a target not met, the size reached).
// What wav2qxw refuses throws with its line; options as encode's, and name for the lines.
export function encodeWav(wavBytes, options = {}) {
  const data = asBytes(wavBytes);
  const name = options.name || 'input.wav';
  const wave = readWave(data, name);
  const settings = settingsOf(options, wave.channels, wave.sampleRate);
  const result = withBytes(data, (pointer) =>
    encodeIn(pointer + wave.dataOffset, wave.frames, settings, options.onProgress));
  const lines = [];
  let quality = settings.quality;
  if (result.estimates[0] >= 0) {
    lines.push(estimateLine('Smallest', 0, wave.declaredSize, result.estimates[0]));
    lines.push(estimateLine('Lossless', 9, wave.declaredSize, result.estimates[1]));
    lines.push(estimateLine('Selected', quality, wave.declaredSize, result.estimates[2]));
  }
  for (const to of result.raised) {
    lines.push(`Quality ${quality} cannot follow this sound; encoding again at quality ${to}`);
    quality = to;
  }
  if (result.unmet) {
    lines.push(`A target of ${asPrinted(settings.bits)} bits per sample cannot be met on this sound; writing the smallest file that keeps it`);
  }
  if (result.lossless) {
    lines.push(settings.bits ? 'The target saves nothing on this sound; writing it lossless'
      : `Quality ${quality} saves nothing on this sound; writing it lossless`);
  }
  if (settings.bits) {
    const count = wave.frames * wave.channels;
    const perSample = count === 0 ? 0 : (8 * result.bytes.length) / count;
    let kept = 'lossless';
    if (result.noise !== 0) {
      kept = result.signal === 0 ? 'no signal'
        : `signal to noise ${(10 * Math.log10(result.signal / result.noise)).toFixed(2)} dB`;
    }
    lines.push(`Written ${result.bytes.length} bytes: ${perSample.toFixed(2)} bits per sample, ${kept}`);
  }
  return { qxw: result.bytes, lines };
}

// A decode of bytes that arrive in pieces: push them, pull the frames they complete, finish at
// the end. format is null until the header is in; close gives the decoder back.
export class FeedDecoder {
  constructor() {
    this.format = null;
    this.trailing = false; // bytes were pushed that follow the file's end
    this.handle = withMemory(4, (slot) => {
      check(core._qxw_feed_decoder_open(slot));
      return core.HEAPU32[slot >> 2];
    });
  }

  #live() {
    if (this.handle === 0) throw new QxwError('QXW_INVALID_ARGUMENT', 'the decoder is closed');
    return this.handle;
  }

  // Takes what it has room for: the number of bytes taken (push the rest after pulling).
  push(bytes) {
    const handle = this.#live();
    const used = withBytes(bytes, (data, size) => withMemory(4, (usedAt) => {
      const status = core._qxw_feed_decoder_push(handle, data, size, usedAt);
      if (status === TRAILING_DATA) this.trailing = true;
      else check(status);
      return core.HEAPU32[usedAt >> 2];
    }));
    if (this.format === null) {
      this.format = withMemory(12, (at) => {
        if (core._qxw_feed_decoder_format(handle, at) !== 0) return null;
        const { frames, channels, sampleRate } = formatAt(at);
        return { sampleRate, channels, frames };
      });
    }
    return used;
  }

  // Up to maxFrames of the frames the bytes so far complete, interleaved; empty when none.
  pull(maxFrames = 4096) {
    const handle = this.#live();
    if (this.format === null) return new Int16Array(0);
    integerIn('maxFrames', maxFrames, 0, 2 ** 24);
    const channels = this.format.channels;
    return withMemory(2 * maxFrames * channels, (out) => withMemory(4, (framesAt) => {
      check(core._qxw_feed_decoder_pull(handle, out, maxFrames, framesAt));
      const frames = core.HEAPU32[framesAt >> 2];
      return new Int16Array(core.HEAPU8.buffer, out, frames * channels).slice();
    }));
  }

  // No more bytes will come: throws unless the whole file came; then pull the frames left.
  finish() {
    check(core._qxw_feed_decoder_finish(this.#live()));
  }

  close() {
    if (this.handle !== 0) core._qxw_feed_decoder_close(this.handle);
    this.handle = 0;
  }
}
