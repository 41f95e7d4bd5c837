// The WebAssembly module in node, against the native programs: the bytes of wav2qxw, the samples
// of qxw2wav, its lines and refusals, and the fed decoder over every piece size.
// Usage: node module_test.mjs <folder of qxw.mjs> <wav2qxw> <qxw2wav>
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, test } from 'node:test';
import { pathToFileURL } from 'node:url';

const [moduleDir, wav2qxw, qxw2wav] = process.argv.slice(2);
const qxw = await import(pathToFileURL(join(moduleDir, 'qxw.mjs')));
await qxw.ready;
const work = mkdtempSync(join(tmpdir(), 'qxw-web-'));
after(() => rmSync(work, { recursive: true, force: true }));

// A few drifting tones and a little noise, different in every channel.
function music(frames, channels, seed = 1) {
  const samples = new Int16Array(frames * channels);
  let noise = seed;
  for (let i = 0; i < frames; ++i) {
    for (let c = 0; c < channels; ++c) {
      noise = (Math.imul(noise, 1664525) + 1013904223) >>> 0;
      const tone = 7000 * Math.sin(i * (0.011 + 0.003 * c)) + 3000 * Math.sin(i * 0.07 + c);
      samples[i * channels + c] = Math.round(tone * (0.5 + 0.5 * Math.sin(i / 3000)) + (noise >>> 24) - 128);
    }
  }
  return samples;
}

function wave(samples, channels, rate = 44100) {
  const bytes = new Uint8Array(44 + 2 * samples.length);
  const view = new DataView(bytes.buffer);
  const text = (at, s) => [...s].forEach((ch, i) => { bytes[at + i] = ch.charCodeAt(0); });
  text(0, 'RIFF');
  view.setUint32(4, 36 + 2 * samples.length, true);
  text(8, 'WAVEfmt ');
  view.setUint32(16, 16, true);
  view.setUint16(20, 1, true);
  view.setUint16(22, channels, true);
  view.setUint32(24, rate, true);
  view.setUint32(28, rate * channels * 2, true);
  view.setUint16(32, channels * 2, true);
  view.setUint16(34, 16, true);
  text(36, 'data');
  view.setUint32(40, 2 * samples.length, true);
  new Int16Array(bytes.buffer, 44).set(samples);
  return bytes;
}

// What wav2qxw writes and prints for a WAV file with these options.
function native(wav, options) {
  writeFileSync(join(work, 'in.wav'), wav);
  const run = spawnSync(wav2qxw, [...options, 'in.wav', 'out.qxw'], { cwd: work, encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
  return { bytes: new Uint8Array(readFileSync(join(work, 'out.qxw'))), out: run.stdout };
}

// The samples qxw2wav decodes from a file.
function decodedNatively(file) {
  writeFileSync(join(work, 'in.qxw'), file);
  execFileSync(qxw2wav, ['/F', 'in.qxw', 'out.wav'], { cwd: work });
  const wav = readFileSync(join(work, 'out.wav'));
  return new Int16Array(wav.buffer.slice(wav.byteOffset + 44, wav.byteOffset + wav.length));
}

const settings = [
  { name: '/Q0', options: ['/Q0'], encode: { quality: 0 } },
  { name: '/Q3', options: [], encode: {} },
  { name: '/Q9', options: ['/Q9'], encode: { quality: 9 } },
  { name: '/B4', options: ['/B4'], encode: { bits: 4 } },
  { name: '/X /B4', options: ['/X', '/B4'], encode: { bits: 4, effort: 1 } },
];

test('encode and encodeWav write the bytes of wav2qxw; decode gives the samples of qxw2wav', () => {
  for (const channels of [1, 2, 6]) {
    const samples = music(12000, channels, channels);
    const wav = wave(samples, channels);
    for (const s of settings) {
      const expected = native(wav, s.options);
      const label = `${channels} channels ${s.name}`;
      const encoded = qxw.encode(samples, { sampleRate: 44100, channels, ...s.encode });
      assert.deepEqual(encoded, expected.bytes, label);
      const fromWav = qxw.encodeWav(wav, { name: 'in.wav', ...s.encode });
      assert.deepEqual(fromWav.qxw, expected.bytes, label);
      // The lines wav2qxw prints of the file itself: estimates, notices, the size reached.
      const told = expected.out.split('\n').filter((line) =>
        / estimated bytes|cannot|saves nothing|^Written /.test(line));
      assert.deepEqual(fromWav.lines, told, label);
      const decoded = qxw.decode(encoded);
      assert.deepEqual(qxw.readFormat(encoded), { sampleRate: 44100, channels, frames: 12000 });
      assert.deepEqual(decoded.samples, decodedNatively(encoded), label);
      if (s.name === '/Q9') assert.deepEqual(decoded.samples, samples, label);
    }
  }
});

test('an encode tells the share of its work done, rising to at most 1, and keeps its bytes', () => {
  const samples = music(200000, 2);
  for (const options of [{ quality: 3 }, { bits: 4, effort: 1 }]) {
    const told = [];
    const bytes = qxw.encode(samples, { channels: 2, ...options, onProgress: (done) => told.push(done) });
    assert.ok(told.length > 0 && told[0] > 0 && told[told.length - 1] <= 1, String(told));
    assert.deepEqual(told, [...told].sort((a, b) => a - b));
    assert.deepEqual(bytes, qxw.encode(samples, { channels: 2, ...options }));
  }
});

test('the fed decoder gives the whole decode for every piece size from 1 to 64', () => {
  const file = qxw.encode(music(6000, 2), { channels: 2, quality: 4 });
  const whole = qxw.decode(file).samples;
  for (let piece = 1; piece <= 64; ++piece) {
    const feed = new qxw.FeedDecoder();
    const parts = [];
    for (let at = 0; at < file.length;) {
      at += feed.push(file.subarray(at, Math.min(file.length, at + piece)));
      for (let frames; (frames = feed.pull(1000)).length > 0;) parts.push(frames);
    }
    feed.finish();
    for (let frames; (frames = feed.pull(1000)).length > 0;) parts.push(frames);
    assert.deepEqual(feed.format, { sampleRate: 44100, channels: 2, frames: 6000 });
    feed.close();
    const joined = new Int16Array(parts.reduce((n, p) => n + p.length, 0));
    parts.reduce((at, p) => { joined.set(p, at); return at + p.length; }, 0);
    assert.deepEqual(joined, whole, `pieces of ${piece}`);
  }
});

test('refusals and broken files throw with the status and the programs\' lines', () => {
  const samples = music(3000, 2);
  const wav = wave(samples, 2);
  const file = qxw.encode(samples, { channels: 2 });
  const throws = (run, status, message) => assert.throws(run, (e) =>
    e instanceof qxw.QxwError && e.status === status && (message === undefined || e.message === message));
  const changed = (bytes, at, value, width = 1) => {
    const copy = bytes.slice();
    for (let i = 0; i < width; ++i) copy[at + i] = (value >>> (8 * i)) & 0xff;
    return copy;
  };
  const refused = [
    [wav.slice(0, 20), 'Not valid Wave file'],
    [changed(wav, 20, 3, 2), 'Invalid Wave file features (eg. compressed or 8-bit)'],
    [changed(wav, 36, 0x4c), 'Error parsing Wave file data chunk'],
    [wav.slice(0, 5000), 'Error: file song.wav incomplete or truncated'],
    [changed(changed(wav, 24, 0, 4), 28, 0, 4), 'Error: song.wav has a sample rate of 0 Hz, which no player can use'],
  ];
  for (const [bytes, line] of refused) {
    throws(() => qxw.encodeWav(bytes, { name: 'song.wav' }), 'QXW_INVALID_ARGUMENT', line);
    writeFileSync(join(work, 'song.wav'), bytes);
    const run = spawnSync(wav2qxw, ['song.wav', 'song.qxw'], { cwd: work, encoding: 'utf8' });
    assert.equal(run.stderr, `${line}\n`);
  }
  throws(() => qxw.decode(file.slice(0, 3000)), 'QXW_TRUNCATED');
  throws(() => qxw.decode(file.slice(0, 1000)), 'QXW_TRUNCATED');
  throws(() => qxw.decode(wav), 'QXW_NOT_QXW', 'not a QXW file');
  throws(() => qxw.decode(changed(file, 12, 9)), 'QXW_INVALID_HEADER');
  throws(() => qxw.decode(changed(file, file.length - 3, 0xff)), 'QXW_CORRUPT');
  throws(() => qxw.encode(samples, { channels: 2, quality: 10 }), 'QXW_INVALID_ARGUMENT');
  throws(() => qxw.encode(samples, { channels: 7 }), 'QXW_INVALID_ARGUMENT');
  throws(() => qxw.encode(samples, { channels: 2, bits: 1 }), 'QXW_INVALID_ARGUMENT');
  throws(() => qxw.encode(samples.subarray(1), { channels: 2 }), 'QXW_INVALID_ARGUMENT');
  const feed = new qxw.FeedDecoder();
  throws(() => feed.push(wav), 'QXW_NOT_QXW');
  throws(() => feed.finish(), 'QXW_NOT_QXW');
  feed.close();
  assert.match(qxw.version, /^\d+\.\d+\.\d+$/);
});
