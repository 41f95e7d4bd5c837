// Types of qxw.mjs: QXW files in browsers and Node, with the bytes of wav2qxw and the samples of
// qxw2wav.

/** Resolves once the module can be used; every other call throws before. */
export const ready: Promise<void>;
/** The library's version, "MAJOR.MINOR.PATCH" (empty before ready). */
export let version: string;

/** Every failure: status is the library's status name, the message its text (or wav2qxw's line). */
export class QxwError extends Error {
  readonly status:
    | 'QXW_INVALID_ARGUMENT' | 'QXW_NOT_QXW' | 'QXW_INVALID_HEADER' | 'QXW_TRUNCATED'
    | 'QXW_CORRUPT' | 'QXW_OUT_OF_MEMORY' | 'QXW_BUFFER_TOO_SMALL' | 'QXW_TRAILING_DATA'
    | 'QXW_STOPPED' | 'QXW_WRITE_FAILED' | 'QXW_INTERNAL_ERROR';
}

export interface Format {
  sampleRate: number;
  channels: number;
  frames: number;
}

export interface Decoded extends Format {
  /** Interleaved, channel 0 first. */
  samples: Int16Array;
}

export interface EncodeOptions {
  /** 0 (smallest) to 9 (lossless); default 3. */
  quality?: number;
  /** A size target of 2 to 8 file bits per sample in place of the quality; 0 (default) for none. */
  bits?: number;
  /** With bits: the search of wav2qxw /X1 to /X3 (1 to 3); 0 (default) for none. */
  effort?: number;
  /** Hears the share of the work done, rising to 1, a few times a second at most. */
  onProgress?: (done: number) => void;
}

export type Bytes = Uint8Array | ArrayBuffer | ArrayBufferView;

export function readFormat(bytes: Bytes): Format;
export function decode(bytes: Bytes): Decoded;
export function encode(
  samples: Int16Array | ArrayLike<number>,
  options?: EncodeOptions & { sampleRate?: number; channels?: number },
): Uint8Array;
/** A WAV file as wav2qxw reads it, with the lines it prints; name is used in those lines. */
export function encodeWav(
  wavBytes: Bytes,
  options?: EncodeOptions & { name?: string },
): { qxw: Uint8Array; lines: string[] };

export class FeedDecoder {
  constructor();
  /** Null until the header is in. */
  readonly format: Format | null;
  /** Bytes were pushed that follow the file's end; they were not taken. */
  readonly trailing: boolean;
  /** The bytes taken: push the rest after pulling. */
  push(bytes: Bytes): number;
  /** Up to maxFrames (default 4096) frames the bytes so far complete; empty when none. */
  pull(maxFrames?: number): Int16Array;
  /** No more bytes will come: throws unless the whole file came. */
  finish(): void;
  close(): void;
}
