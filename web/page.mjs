// The page: files opened or dropped become rows. A WAV file is compressed with the settings shown
// and can be saved as QXW; a QXW file can be played and saved as WAV. The codec works in a
// worker, so the page stays responsive; every failure is one line in #message, the programs' own.
const worker = new Worker(new URL('./worker.mjs', import.meta.url), { type: 'module' });
const waiting = new Map();
let nextId = 0;
worker.onmessage = ({ data }) => {
  const busy = document.getElementById('busy');
  if (data.progress !== undefined) {
    busy.value = data.progress;
    return;
  }
  const { resolve, reject } = waiting.get(data.id);
  waiting.delete(data.id);
  document.getElementById('busy').hidden = waiting.size === 0;
  if (data.ok) resolve(data.result);
  else reject(Object.assign(new Error(data.message), { status: data.status }));
};

// One request to the worker; the bytes are handed over, not copied.
function ask(op, bytes, options) {
  const id = nextId++;
  const busy = document.getElementById('busy');
  busy.removeAttribute('value'); // busy, how far not yet known
  busy.hidden = false;
  return new Promise((resolve, reject) => {
    waiting.set(id, { resolve, reject });
    worker.postMessage({ id, op, bytes, options }, [bytes.buffer]);
  });
}

const say = (line) => { document.getElementById('message').textContent = line; };
const QXW_MAGIC = [0x54, 0x52, 0x55, 0x56, 0x00, 0x1a, 0xff, 0xfe];
const isQxw = (bytes, name) => /\.qxw$/i.test(name) || QXW_MAGIC.every((b, i) => bytes[i] === b);
const baseName = (name) => name.replace(/\.[^./]*$/, '');

// What qxw2wav says of a file it cannot decode.
function decoderLine(error, name) {
  switch (error.status) {
    case 'QXW_NOT_QXW': return 'Not valid QXW file';
    case 'QXW_INVALID_HEADER': return 'Invalid QXW file header';
    case 'QXW_TRUNCATED': return `Error: file ${name} incomplete or truncated`;
    case 'QXW_CORRUPT': return 'Corrupt QXW data';
    default: return `Error: ${error.message}`;
  }
}

function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text;
  return made;
}

function saveLink(bytes, name, type) {
  const link = element('a', 'save', `Save ${name}`);
  link.href = URL.createObjectURL(new Blob([bytes], { type }));
  link.download = name;
  return link;
}

// The 44-byte header qxw2wav writes, then the samples.
function waveFile({ sampleRate, channels, samples }) {
  const bytes = new Uint8Array(44 + 2 * samples.length);
  const view = new DataView(bytes.buffer);
  const text = (at, s) => [...s].forEach((ch, i) => { bytes[at + i] = ch.charCodeAt(0); });
  text(0, 'RIFF');
  view.setUint32(4, 36 + 2 * samples.length, true);
  text(8, 'WAVEfmt ');
  view.setUint32(16, 16, true);
  view.setUint16(20, 1, true);
  view.setUint16(22, channels, true);
  view.setUint32(24, sampleRate, true);
  view.setUint32(28, (sampleRate * channels * 2) >>> 0, true);
  view.setUint16(32, channels * 2, true);
  view.setUint16(34, 16, true);
  text(36, 'data');
  view.setUint32(40, 2 * samples.length, true);
  for (let i = 0; i < samples.length; ++i) view.setInt16(44 + 2 * i, samples[i], true);
  return bytes;
}

const clock = (seconds) => {
  const minutes = Math.floor(seconds / 60);
  return `${minutes}:${(seconds - 60 * minutes).toFixed(2).padStart(5, '0')}`;
};

// Playback through Web Audio, one file at a time; the context is made on the first play, which
// a click starts.
let context = null;
let playing = null; // {stop} of the file playing

function player(row, sound) {
  const duration = sound.frames / sound.sampleRate;
  const box = element('div', 'player');
  const play = element('button', 'play', 'Play');
  const seek = element('input', 'seek');
  Object.assign(seek, { type: 'range', min: 0, max: duration, step: 'any', value: 0 });
  const where = element('span', 'position', `${clock(0)} / ${clock(duration)}`);
  box.append(play, seek, where);
  let buffer = null, source = null, startedAt = 0, offset = 0, frame = 0;
  const position = () => (source ? context.currentTime - startedAt : offset);
  const show = () => {
    const at = Math.min(position(), duration);
    seek.value = at;
    where.textContent = `${clock(at)} / ${clock(duration)}`;
    if (source) frame = requestAnimationFrame(show);
  };
  const stop = () => {
    if (!source) return;
    offset = position();
    source.onended = null;
    source.stop();
    source = null;
    cancelAnimationFrame(frame);
    play.textContent = 'Play';
    row.dataset.playing = 'false';
    playing = null;
  };
  const start = () => {
    if (playing) playing.stop();
    context = context || new AudioContext();
    if (!buffer) {
      buffer = context.createBuffer(sound.channels, Math.max(sound.frames, 1), sound.sampleRate);
      for (let c = 0; c < sound.channels; ++c) {
        const data = buffer.getChannelData(c);
        for (let i = 0; i < sound.frames; ++i) data[i] = sound.samples[i * sound.channels + c] / 32768;
      }
    }
    if (offset >= duration) offset = 0;
    source = context.createBufferSource();
    source.buffer = buffer;
    source.connect(context.destination);
    source.onended = () => { stop(); offset = 0; show(); };
    context.resume();
    source.start(0, offset);
    startedAt = context.currentTime - offset;
    play.textContent = 'Pause';
    row.dataset.playing = 'true';
    playing = { stop };
    show();
  };
  play.addEventListener('click', () => (source ? stop() : start()));
  seek.addEventListener('input', () => {
    const again = source !== null;
    stop();
    offset = Number(seek.value);
    if (again) start(); else show();
  });
  return box;
}

async function openQxw(row, bytes, name) {
  const sound = await ask('decode', bytes);
  if (sound.sampleRate < 1 || sound.sampleRate > 2147483647) {
    throw Object.assign(new Error(`Error: ${name} has a sample rate of ${sound.sampleRate} Hz, which no player can use`), { line: true });
  }
  const duration = sound.frames / sound.sampleRate;
  row.append(element('div', 'info',
    `${sound.sampleRate} Hz, ${sound.channels} channel${sound.channels > 1 ? 's' : ''}, ${clock(duration)}`));
  row.append(player(row, sound));
  const wavName = `${baseName(name)}.wav`;
  row.append(saveLink(waveFile(sound), wavName, 'audio/wav'));
  say(`${name}: decoded in ${sound.seconds.toFixed(2)} s`);
}

async function openWav(row, bytes, name) {
  const size = bytes.length;
  const options = {
    name,
    quality: Number(document.getElementById('quality').value),
    bits: Number(document.getElementById('bits').value) || 0,
    effort: Number(document.getElementById('effort').value),
  };
  if (!options.bits) options.effort = 0;
  if (options.bits && (options.bits < 2 || options.bits > 8)) {
    throw Object.assign(new Error('A size target is 2 to 8 bits per sample (0: none)'), { line: true });
  }
  // wav2qxw's refusals come as its lines; the library's faults as its texts.
  const result = await ask('encodeWav', bytes, options).catch((e) => {
    throw Object.assign(e, { line: true, message: /^[A-Z]/.test(e.message) ? e.message : `Error: ${e.message}` });
  });
  const qxwName = `${baseName(name)}.qxw`;
  const summary = `${qxwName}: ${result.qxw.length} bytes, ${(size / result.qxw.length).toFixed(2)}:1, in ${result.seconds.toFixed(2)} s`;
  row.append(element('div', 'lines', [...result.lines, summary].join('\n')));
  row.append(saveLink(result.qxw, qxwName, 'application/octet-stream'));
  say(summary);
}

async function openFile(file) {
  const row = element('li', 'file');
  row.append(element('strong', 'name', file.name));
  document.getElementById('files').append(row);
  const bytes = new Uint8Array(await file.arrayBuffer());
  const qxw = isQxw(bytes, file.name);
  try {
    await (qxw ? openQxw(row, bytes, file.name) : openWav(row, bytes, file.name));
  } catch (e) {
    // A refused WAV file's line is wav2qxw's own; a QXW file's is qxw2wav's.
    const line = e.line ? e.message : decoderLine(e, file.name);
    row.append(element('div', 'error', line));
    say(`${file.name}: ${line}`);
  }
}

async function openFiles(files) {
  for (const file of files) await openFile(file);
}

document.getElementById('open').addEventListener('change', (event) => {
  openFiles([...event.target.files]);
  event.target.value = '';
});
const drop = document.getElementById('drop');
drop.addEventListener('dragover', (event) => { event.preventDefault(); drop.classList.add('over'); });
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (event) => {
  event.preventDefault();
  drop.classList.remove('over');
  openFiles([...event.dataTransfer.files]);
});

// For scripts and tests: the audio context's clock, which runs while sound plays.
window.qxwPage = { audioTime: () => (context ? context.currentTime : 0) };
