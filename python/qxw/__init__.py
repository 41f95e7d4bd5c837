"""Read and write QXW files (wav2qxw's compressed 16-bit PCM) as numpy arrays.

Samples are numpy int16 arrays of shape (frames, channels); a 1-D array is mono. The calls go
through libqxw's C interface with ctypes, which lets other Python threads run during them, and
give the same bytes as the wav2qxw and qxw2wav programs. The library is found through the
QXW_LIBRARY environment variable, then beside the installed package (in P/lib for P/lib/python3/
dist-packages/qxw, as `cmake --install` lays them out), then the system's library path.
"""
import ctypes
import ctypes.util
import numbers
import operator
import os
from collections import namedtuple

import numpy as np

__all__ = ["Error", "ArgumentError", "Info", "read", "write", "encode", "decode", "info", "blocks"]

Info = namedtuple("Info", "frames channels rate duration")


class Error(Exception):
    """A status of libqxw other than success: .status is its number, str() its text."""

    def __init__(self, status, text):
        super().__init__(text)
        self.status = status


class ArgumentError(Error, ValueError):
    """An argument outside what libqxw takes (its header's limits: quality 0 to 9, bits 2 to 8,
    1 to 6 channels): a ValueError as well as an Error."""


_INVALID_ARGUMENT = 1


class _Format(ctypes.Structure):
    _fields_ = [("frame_count", ctypes.c_uint32), ("channel_count", ctypes.c_uint32),
                ("sample_rate", ctypes.c_uint32)]


def _candidates():
    """Where libqxw may be, in the order tried."""
    if os.environ.get("QXW_LIBRARY"):
        return [os.environ["QXW_LIBRARY"]]
    # Installed as P/lib/python3/dist-packages/qxw beside P/lib/libqxw.so.1.
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                          "libqxw.so.1")
    return [os.path.normpath(beside), ctypes.util.find_library("qxw") or "libqxw.so.1"]


def _load():
    tried = []
    for name in _candidates():
        try:
            lib = ctypes.CDLL(name)
            break
        except OSError as failure:
            tried.append(f"{name} ({failure})")
    else:
        raise ImportError("libqxw not found; tried " + "; ".join(tried) +
                          ". Set QXW_LIBRARY to the path of libqxw.so.1")
    p, size, i16 = ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_int16)
    fmt = ctypes.POINTER(_Format)
    signatures = {
        "qxw_version": ([], ctypes.c_char_p),
        "qxw_status_text": ([ctypes.c_int], ctypes.c_char_p),
        "qxw_encode": ([p, fmt, ctypes.c_int, ctypes.c_int, ctypes.POINTER(p), ctypes.POINTER(size)],
                       ctypes.c_int),
        "qxw_encode_bits": ([p, fmt, ctypes.c_double, ctypes.c_int, ctypes.POINTER(p),
                             ctypes.POINTER(size)], ctypes.c_int),
        "qxw_encode_search": ([p, fmt, ctypes.c_double, ctypes.c_int, ctypes.c_int,
                               ctypes.POINTER(p), ctypes.POINTER(size)], ctypes.c_int),
        "qxw_free": ([p], None),
        "qxw_read_format": ([p, size, fmt], ctypes.c_int),
        "qxw_decode": ([p, size, i16, size], ctypes.c_int),
        "qxw_decoder_open": ([p, size, ctypes.POINTER(p)], ctypes.c_int),
        "qxw_decoder_read": ([p, i16, size, ctypes.POINTER(size)], ctypes.c_int),
        "qxw_decoder_close": ([p], None),
    }
    for function, (arguments, result) in signatures.items():
        getattr(lib, function).argtypes = arguments
        getattr(lib, function).restype = result
    return lib


_lib = _load()
__version__ = _lib.qxw_version().decode()
_MAX_SAMPLES = (0xFFFFFFFF - 44) // 2  # what a WAV file can hold
# The widths of the C arguments; the limits within them are the library's own.
_INT = range(-2**31, 2**31)


def _integer(name, value, allowed):
    """value as an int within allowed (a range); TypeError for a non-integer, ValueError outside."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    value = operator.index(value)
    if value not in allowed:
        raise ValueError(f"{name} {allowed.start} to {allowed.stop - 1}, not {value}")
    return value


def _bits(value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"bits must be a number, not {type(value).__name__}")
    return float(value)


def _check(status, arguments=""):
    if status == _INVALID_ARGUMENT:
        raise ArgumentError(status, _lib.qxw_status_text(status).decode() + arguments)
    if status != 0:
        raise Error(status, _lib.qxw_status_text(status).decode())


def _frames(samples):
    """The samples as a C-ordered (frames, channels) int16 array; TypeError or ValueError."""
    array = np.asarray(samples)
    if array.dtype != np.int16:
        raise TypeError(f"samples must be int16, not {array.dtype}")
    if array.ndim == 1:
        array = array[:, np.newaxis]
    if array.ndim != 2:
        raise ValueError(f"samples must be (frames, channels) or 1-D, not {array.ndim}-D")
    if array.size > _MAX_SAMPLES:
        raise ValueError("more samples than a WAV file can hold")
    return np.ascontiguousarray(array)


def encode(samples, rate, quality=3, *, bits=None, effort=0, threads=0):
    """The QXW file of the samples as bytes: at quality 0..9 (9 is lossless), or, with bits, at
    an average of about that many bits per sample (2 to 8). effort 1 to 3, with bits, searches
    each sample's level as wav2qxw /X does: more of the sound at the size, several times slower.
    The settings after quality are taken by name only, in every call that has them."""
    array = _frames(samples)
    rate = _integer("rate", rate, range(1, 2**31))
    threads = _integer("threads", threads, range(0, _INT.stop))
    effort = _integer("effort", effort, _INT)
    if bits is None:
        quality = _integer("quality", quality, _INT)
        if effort != 0:
            raise ValueError("effort needs bits: a quality level has no search")
    else:
        bits = _bits(bits)
    setting = f"quality {quality}" if bits is None else f"bits {bits:g}, effort {effort}"
    arguments = f" ({setting}, {array.shape[1]} channels)"
    fmt = _Format(array.shape[0], array.shape[1], rate)
    data, size = ctypes.c_void_p(), ctypes.c_size_t()
    pointer = array.ctypes.data_as(ctypes.c_void_p)
    if bits is None:
        _check(_lib.qxw_encode(pointer, ctypes.byref(fmt), quality, threads,
                               ctypes.byref(data), ctypes.byref(size)), arguments)
    else:
        _check(_lib.qxw_encode_search(pointer, ctypes.byref(fmt), bits, effort, threads,
                                      ctypes.byref(data), ctypes.byref(size)), arguments)
    try:
        return ctypes.string_at(data, size.value)
    finally:
        _lib.qxw_free(data)


def _format_of(data):
    fmt = _Format()
    _check(_lib.qxw_read_format(data, len(data), ctypes.byref(fmt)))
    return fmt


def decode(data):
    """(samples, rate) of a whole QXW file given as bytes."""
    data = bytes(data)
    fmt = _format_of(data)
    samples = np.empty((fmt.frame_count, fmt.channel_count), dtype=np.int16)
    _check(_lib.qxw_decode(data, len(data), samples.ctypes.data_as(ctypes.POINTER(ctypes.c_int16)),
                           samples.size))
    return samples, fmt.sample_rate


def _bytes_of(source):
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source)
    if hasattr(source, "read"):
        return source.read()
    with open(source, "rb") as f:
        return f.read()


def read(source):
    """(samples, rate) of a QXW file: a path, a binary file object or the bytes themselves."""
    return decode(_bytes_of(source))


def write(destination, samples, rate, quality=3, *, bits=None, effort=0, threads=0):
    """Writes the QXW file of the samples to a path or a binary file object."""
    data = encode(samples, rate, quality, bits=bits, effort=effort, threads=threads)
    if hasattr(destination, "write"):
        destination.write(data)
        return
    with open(destination, "wb") as f:
        f.write(data)


def info(source):
    """Info(frames, channels, rate, duration in seconds) of a QXW file."""
    fmt = _format_of(_bytes_of(source))
    duration = fmt.frame_count / fmt.sample_rate if fmt.sample_rate else 0.0
    return Info(fmt.frame_count, fmt.channel_count, fmt.sample_rate, duration)


def blocks(source, blocksize=65536):
    """Yields the samples of a QXW file in (up to blocksize, channels) arrays, decoded as they
    are asked for."""
    blocksize = _integer("blocksize", blocksize, range(1, 2**62))
    data = _bytes_of(source)
    fmt = _format_of(data)
    decoder = ctypes.c_void_p()
    _check(_lib.qxw_decoder_open(data, len(data), ctypes.byref(decoder)))
    try:
        frames = ctypes.c_size_t()
        while True:
            block = np.empty((blocksize, fmt.channel_count), dtype=np.int16)
            _check(_lib.qxw_decoder_read(decoder, block.ctypes.data_as(ctypes.POINTER(ctypes.c_int16)),
                                         blocksize, ctypes.byref(frames)))
            if frames.value == 0:
                return
            yield block[:frames.value]
    finally:
        _lib.qxw_decoder_close(decoder)

