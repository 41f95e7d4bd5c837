// The page's codec, off the page's thread: one request at a time, answered with its result or
// with the failure's status and text.
import * as qxw from './qxw.mjs';

self.onmessage = async ({ data: { id, op, bytes, options } }) => {
  try {
    await qxw.ready;
    const started = performance.now();
    let result;
    let transfer;
    if (op === 'encodeWav') {
      // The page hears of the work as it goes: this worker is busy, the page is not.
      const onProgress = (done) => self.postMessage({ id, progress: done });
      result = qxw.encodeWav(bytes, { ...options, onProgress });
      transfer = [result.qxw.buffer];
    } else if (op === 'decode') {
      result = qxw.decode(bytes);
      transfer = [result.samples.buffer];
    } else {
      throw new qxw.QxwError('QXW_INVALID_ARGUMENT', `no such request: ${op}`);
    }
    result.seconds = (performance.now() - started) / 1000;
    self.postMessage({ id, ok: true, result }, transfer);
  } catch (e) {
    self.postMessage({ id, ok: false, status: e.status || 'QXW_INTERNAL_ERROR', message: String(e.message) });
  }
};
