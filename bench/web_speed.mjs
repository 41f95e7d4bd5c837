// The module's decode and encode times in node, the median of five runs each.
// Usage: node bench/web_speed.mjs <folder of qxw.mjs> <song.wav> [quality]
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [folder, song, quality = '3'] = process.argv.slice(2);
const qxw = await import(pathToFileURL(join(folder, 'qxw.mjs')));
await qxw.ready;
const wav = readFileSync(song);
const median = (run) => {
  const times = [];
  for (let i = 0; i < 5; ++i) {
    const started = process.hrtime.bigint();
    run();
    times.push(Number(process.hrtime.bigint() - started) / 1e9);
  }
  return times.sort((a, b) => a - b)[2];
};
let file;
const encodeSeconds = median(() => { file = qxw.encodeWav(wav, { quality: Number(quality) }).qxw; });
const decodeSeconds = median(() => qxw.decode(file));
console.log(JSON.stringify({ encodeSeconds, decodeSeconds, bytes: file.length }));
