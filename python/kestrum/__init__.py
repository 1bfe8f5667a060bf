"""Kestrum from Python: exact FIR filters on numpy arrays and WAV files.

A filter is a list of taps, each a delay in frames and a coefficient. Every
output sample is the float sum, tap by tap, ``acc = float(double(acc) +
double(sample) * double(coefficient))``, the same bytes on every machine and
the same as the ``kestrum`` command-line tool gives for the same samples.

    >>> import numpy as np, kestrum
    >>> lowpass = kestrum.Filter.design("lowpass", 3000, rate=44100, attenuation=60, transition=500)
    >>> y = lowpass.apply(np.zeros((44100, 2), np.int16))

Samples are numpy arrays of frames: 1-D for mono, or 2-D (frames x channels)
with 1 to 64 channels, C or Fortran order, of one of these dtypes:

    uint8    8-bit PCM, 128 being silence
    int16    16-bit PCM
    int32    24-bit PCM, from -8388608 to 8388607, or with format="pcm32"
             32-bit PCM
    float32  32-bit float, full scale being -1 to 1
    float64  64-bit float, full scale being -1 to 1

read_wav gives a 32-bit integer file's samples as int32 of format "pcm32":
give that format on (``filt.apply(w.samples, format=w.format)``, then
``write_wav(..., format=w.format)``) to keep a 32-bit file 32-bit.

One keyword, clip, says what becomes of sums beyond the sample width,
everywhere: None (the default) is the host's default: integer samples and
files saturate, as the command-line tool does, float arrays (which have no
full scale) are kept as they are; True saturates integers and clamps floats
to -1 to 1; False keeps the low bits of integers (they wrap) and floats as
they are. (The older ``wrap=True`` still means clip=False, with a
DeprecationWarning.) Whenever samples are clipped or wrapped, a
FilterWarning says how many.

Names: Filter, Stream, LongStream, Response, Overflow, filter_file, read_wav,
write_wav, Wav, and the errors KestrumError, FileError, MathError, StoppedError and the
warning FilterWarning.
"""

import os
import tempfile
import warnings
from typing import NamedTuple

import numpy as np

from . import _kestrum
from ._kestrum import KERNELS, FileError, KestrumError, MathError, StoppedError

__all__ = ["Filter", "Stream", "LongStream", "Response", "Overflow", "Wav", "filter_file", "read_wav", "write_wav",
           "KERNELS", "KestrumError", "FileError", "MathError", "StoppedError", "FilterWarning"]
__version__ = "0.90"


class FilterWarning(UserWarning):
    """A filter file that is valid but odd: no taps, a missing tap count line,
    delays outside 0 to 16383 (the text names the file and the line); or
    samples beyond the sample width that were clipped or wrapped (the text
    counts them)."""


def _clip(dtype, clip, wrap=None, stacklevel=3):
    """Whether sums of samples of dtype (None: a file's) saturate, from the
    clip keyword of every host: None, the host's default (integers and files
    saturate, float arrays are kept); True; False (integers wrap, floats are
    kept). wrap, the older keyword, warns that it is deprecated at the
    caller stacklevel frames up; wrap=True is clip=False, and a clip that
    contradicts it raises ValueError."""
    if wrap is not None:
        warnings.warn("wrap= is deprecated: give clip=False to wrap integer samples (clip=True saturates)",
                      DeprecationWarning, stacklevel=stacklevel)
        if clip is not None and bool(clip) == bool(wrap):
            raise ValueError(f"clip={clip!r} and wrap={wrap!r} exclude each other: give clip alone")
        if wrap:
            clip = False
    if clip is None:
        return dtype is None or not np.issubdtype(dtype, np.floating)
    return bool(clip)


def _warn_overflow(overflow, clip, dtype, stacklevel=3, code=None):
    """A FilterWarning counting the samples of an Overflow beyond the sample
    width that were clipped or wrapped, in the library's words; none when
    there were none, or when float samples were kept as they are. code: the
    sample format, when not the dtype's own (int32 of 32-bit PCM)."""
    if overflow.overflowed == 0 or (np.issubdtype(dtype, np.floating) and not clip):
        return
    code = _FORMATS[np.dtype(dtype)] if code is None else code
    text = _kestrum.overflow_warning(overflow.samples, overflow.overflowed, overflow.peak, code, bool(clip))
    warnings.warn(text, FilterWarning, stacklevel=stacklevel)


# The dtypes of samples, each with the library's sample format.
_FORMATS = {np.dtype(np.uint8): 0, np.dtype(np.int16): 1, np.dtype(np.int32): 2, np.dtype(np.float32): 3,
            np.dtype(np.float64): 5}
_DTYPES = {code: dtype for dtype, code in _FORMATS.items()}
_DTYPES[4] = np.dtype(np.int32)  # 32-bit PCM, as read_wav gives it
_FORMAT_NAMES = _kestrum.FORMAT_NAMES  # the library's names, indexed by its format codes
_ACCEPTED_DTYPES = "uint8 (8-bit), int16 (16-bit), int32 (24-bit), float32 or float64, in native byte order"
_MAX_CHANNELS = _kestrum.MAX_CHANNELS
_MIN24, _MAX24 = -(1 << 23), (1 << 23) - 1


def _shown(value):
    """A value as a message shows it: its type and, when short, its repr."""
    text = repr(value)
    return f"{type(value).__name__} {text}" if len(text) <= 40 else type(value).__name__


def _integer(value, name, low=-2**31, high=2**31 - 1):
    """value as an int from low to high (numpy integers too, not floats or
    strings, as numpy indices are taken), else TypeError or ValueError."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, not {_shown(value)}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be from {low} to {high}, not {value}")
    return int(value)


def _real(value, name):
    """value as a finite float (ints and numpy numbers too, not strings),
    else TypeError or ValueError."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, not {_shown(value)}")
    if not np.isfinite(value):
        raise ValueError(f"{name} must be a finite number, not {value}")
    return float(value)


def _text(value, name, accepted=None):
    """value as a str, one of accepted when given, else TypeError or ValueError."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a string, not {_shown(value)}")
    if accepted is not None and value not in accepted:
        raise ValueError(f"{name} '{value}': " + ", ".join(f"'{choice}'" for choice in accepted) + " are accepted")
    return value


def _channels(value):
    channels = _integer(value, "channels")
    if not 1 <= channels <= _MAX_CHANNELS:
        raise ValueError(f"{channels} channels: a stream has 1 to {_MAX_CHANNELS}")
    return channels


def _callable(value, name):
    if value is not None and not callable(value):
        raise TypeError(f"{name} must be callable or None, not {_shown(value)}")
    return value


def _check_dtype(dtype, what="samples"):
    if dtype not in _FORMATS:
        raise TypeError(f"{what} of dtype {dtype.str if dtype.byteorder not in '=|' else dtype} are not "
                        f"accepted: give {_ACCEPTED_DTYPES}")


def _format_code(dtype, format):
    """The library's sample format for samples of dtype written as format
    (a Wav.format name, or None for the dtype's own). int32 samples hold
    24-bit or 32-bit PCM: they need format, lest one be written as the other
    at 256 times or a 256th of its level."""
    if format is None:
        if dtype == np.int32:
            raise ValueError("int32 samples are 24-bit PCM (format='pcm24') or 32-bit PCM (format='pcm32'): "
                             "say which with format= (read_wav's Wav.format tells)")
        return _FORMATS[dtype]
    if format not in _FORMAT_NAMES:
        raise ValueError(f"format {format!r}: give one of {', '.join(_FORMAT_NAMES)}")
    code = _FORMAT_NAMES.index(format)
    if _DTYPES[code] != dtype:
        raise TypeError(f"format {format!r} takes samples of dtype {_DTYPES[code]}, not {dtype}")
    return code


def _array_code(dtype, format):
    """The sample format of an array of dtype that a filter takes, given as
    format (a Wav.format name) or None: the dtype's own, int32 being 24-bit
    PCM unless format is "pcm32"."""
    if format is None:
        return _FORMATS[dtype] if dtype in _FORMATS else None  # _interleaved says what it takes
    return _format_code(dtype, format)


def _stream_dtype(dtype):
    """dtype as a numpy dtype that streams take, else TypeError."""
    try:
        dtype = np.dtype(dtype)
    except TypeError:
        raise TypeError(f"dtype {dtype!r} is not a numpy dtype: give {_ACCEPTED_DTYPES}") from None
    _check_dtype(dtype, "streams")
    return dtype


def _interleaved(samples, code=None, first=0):
    """The frames of samples as (bytes, channels, format code): a zero-copy
    view of a C-ordered array, else an interleaved copy; 24-bit samples
    packed in three bytes each. code: the sample format, when int32 holds
    32-bit PCM (4); the dtype's own by default. first: the number of the
    first frame in messages (a piece of a longer signal)."""
    if not isinstance(samples, np.ndarray):
        raise TypeError(f"expected a numpy array of samples, got {type(samples).__name__}")
    _check_dtype(samples.dtype)
    if samples.ndim == 1:
        channels = 1
    elif samples.ndim == 2 and 1 <= samples.shape[1] <= _MAX_CHANNELS:
        channels = samples.shape[1]
    else:
        raise ValueError(f"samples of shape {samples.shape} are not accepted: give a 1-D array (mono) or a "
                         f"2-D array of frames x channels, with 1 to {_MAX_CHANNELS} channels")
    if not (samples.flags.c_contiguous or samples.flags.f_contiguous):
        raise ValueError(f"a non-contiguous view of shape {samples.shape} and strides {samples.strides} is not "
                         f"accepted: give a C- or Fortran-ordered array (numpy.ascontiguousarray makes one)")
    flat = np.ascontiguousarray(samples).reshape(-1)
    code = _FORMATS[samples.dtype] if code is None else code
    if code == 2:
        bad = np.flatnonzero((flat < _MIN24) | (flat > _MAX24))
        if bad.size:
            frame, channel = divmod(int(bad[0]), channels)
            frame += first
            raise ValueError(f"int32 samples hold 24-bit PCM, from {_MIN24} to {_MAX24}, unless format='pcm32' "
                             f"says they are 32-bit; frame {frame}, channel {channel + 1} is {flat[bad[0]]} "
                             f"({bad.size} sample(s) out of range)")
        flat = flat.astype("<i4", copy=False).view(np.uint8).reshape(-1, 4)[:, :3].copy()
    return flat.reshape(-1).view(np.uint8), channels, code


def _samples(data, code, shape, fortran):
    """The array of shape and format code whose interleaved bytes are data."""
    if code == 2:
        values = _kestrum.unpack24(np.ascontiguousarray(data))
    else:
        values = data.view(_DTYPES[code])
    values = values.reshape(shape)
    return np.asfortranarray(values) if fortran else values


class Overflow(NamedTuple):
    """What the stores of a run or stream met: the samples stored (every
    channel counted), those whose rounded sum lay beyond the sample width
    (wrapped, or saturated), the largest magnitude of a rounded sum, and that
    peak as a multiple of full scale."""
    samples: int
    overflowed: int
    peak: float
    peak_full_scale: float


class Response:
    """What a filter does at a sample rate, as the kernel applies it (the
    figures of ``kestrum response`` and its table, unrounded).

    Figures: rate, taps, min_delay and max_delay (frames), wrapped (a delay
    taken modulo the kernel's history), gain_dc and gain_nyquist and
    peak_gain (magnitudes), minus3 and minus60 (frequencies in Hz where the
    gain crosses 3 and 60 dB below its peak, at most 8 listed;
    minus3_count and minus60_count count them all), group_delay_dc (frames,
    NaN when the gain at 0 Hz is negligible), worst_case_gain (the sum of
    the coefficients' magnitudes).

    Arrays, at ``points`` frequencies from 0 Hz to half the rate: frequency
    (Hz), magnitude_db, phase_deg (-180 to 180), group_delay (frames, NaN
    where undefined). ``str(response)`` is the summary as the tool prints it.
    """

    def __init__(self, filter, rate, points=512):
        rate = _real(rate, "rate")
        summary = _kestrum.summary(filter._native, rate)
        self.rate = rate
        self.taps = summary["taps"]
        self.min_delay, self.max_delay = summary["min_delay"], summary["max_delay"]
        self.wrapped = summary["wrapped"]
        self.gain_dc, self.gain_nyquist = summary["gain_dc"], summary["gain_nyquist"]
        self.peak_gain = summary["peak_gain"]
        self.minus3, self.minus3_count = tuple(summary["minus3"][0]), summary["minus3"][1]
        self.minus60, self.minus60_count = tuple(summary["minus60"][0]), summary["minus60"][1]
        self.group_delay_dc = summary["group_delay_dc"]
        self.worst_case_gain = summary["worst_case_gain"]
        self._text = summary["text"]
        self.frequency, self.magnitude_db, self.phase_deg, self.group_delay = _kestrum.curves(
            filter._native, rate, _integer(points, "points", 2, 1 << 24))

    def __str__(self):
        return self._text

    def __repr__(self):
        return f"<kestrum.Response of {self.taps} taps at {self.rate:g} Hz>"


class Filter:
    """An FIR filter: taps, each a delay in frames and a coefficient (a
    float32), and a comment; or a long filter (``is_long``), a WAV impulse
    response or a design of more than 1000 taps, its taps in double at
    delays 0 to N - 1, one list for every channel or one per channel, which
    runs on the FFT engine.

    Made from a .fir file or a WAV impulse response (``Filter(path)``), from .fir text
    (``Filter.from_text``), from taps (``Filter.from_taps``), by design
    (``Filter.design``), or from an impulse response in a WAV file
    (``Filter.from_impulse``). A file that is valid but odd gives a
    FilterWarning; one the reader refuses raises FileError (or MathError for
    a coefficient beyond float range), naming the file and the line.
    """

    def __init__(self, path):
        """Reads the .fir file, or the WAV impulse response, at path."""
        native, notes = _kestrum.read_filter(os.fspath(path), None, "")
        self._init(native, notes, os.fspath(path))

    def _init(self, native, notes=(), path=None, stacklevel=3):
        self._native = native
        self._path = path
        for note in notes:  # shown at the caller of the public constructor
            warnings.warn(note, FilterWarning, stacklevel=stacklevel)

    @classmethod
    def _of(cls, native, notes=(), path=None):
        filter = cls.__new__(cls)
        filter._init(native, notes, path, stacklevel=4)
        return filter

    @classmethod
    def from_text(cls, text, name="<text>"):
        """Reads the text of a .fir file; name stands for the file in messages."""
        return cls._of(*_kestrum.read_filter(None, _text(text, "text"), _text(name, "name")))

    @classmethod
    def from_taps(cls, delays, coefficients, comment=""):
        """The filter of these taps, in this order: delays in frames (taken
        modulo 16384 by the kernel), coefficients rounded to float32; at most
        1000 taps."""
        delays = np.asarray(delays)
        if delays.size and not np.issubdtype(delays.dtype, np.integer):
            raise TypeError(f"delays must be integers, got dtype {delays.dtype}")
        if delays.size and (delays.min() < -2**31 or delays.max() >= 2**31):
            raise ValueError("delays must fit 32-bit integers")
        coefficients = np.asarray(coefficients)
        if coefficients.size and (coefficients.dtype == np.bool_ or not (
                np.issubdtype(coefficients.dtype, np.integer) or np.issubdtype(coefficients.dtype, np.floating))):
            raise TypeError(f"coefficients must be real numbers, got dtype {coefficients.dtype}")
        return cls._of(_kestrum.from_taps(delays.astype(np.int64).ravel().tolist(),
                                          coefficients.astype(np.float64).ravel().tolist(),
                                          _text(comment, "comment")))

    @classmethod
    def design(cls, kind, *edges, rate=None, taps=None, window=None, beta=None, attenuation=None,
               transition=None, threshold=-90.0, channel=1):
        """A windowed-sinc filter, as ``kestrum design`` makes it.

        kind is "lowpass" or "highpass" (one edge, the cutoff in Hz),
        "bandpass" or "bandstop" (two edges, low and high). Give rate (Hz)
        and either taps (1 to 1000; odd for highpass and bandstop) with
        window ("rectangular", "hann", "hamming", "blackman" (default) or
        "kaiser", which needs beta), or attenuation (stopband, dB, default
        60) and transition (Hz, the width of each transition band; by
        default a tenth of the lowest edge, widened to fit about 800 taps
        where the bands leave room), from which a Kaiser window and the
        fewest taps follow. The passband gain is 1. A design that misses
        its request gives a FilterWarning naming the figures; one that
        needs more than 1000 taps is a long filter (``is_long``).

        kind "impulse" takes a WAV file instead of edges, as
        ``Filter.from_impulse`` does (threshold, channel).
        """
        _text(kind, "kind")
        if kind == "impulse":
            if len(edges) != 1:
                raise TypeError("design('impulse', path) takes the WAV file's path and no edges")
            return cls.from_impulse(edges[0], threshold=threshold, channel=channel)
        wanted = 1 if kind in ("lowpass", "highpass") else 2
        if kind in ("lowpass", "highpass", "bandpass", "bandstop") and len(edges) != wanted:
            raise TypeError(f"a {kind} takes {wanted} edge{'s' if wanted > 1 else ''} in Hz, got {len(edges)}")
        if rate is None:
            raise TypeError("design() needs rate, the sample rate in Hz")
        if taps is not None and (attenuation is not None or transition is not None):
            raise ValueError("give either taps or attenuation with transition, not both")
        if window is not None and taps is None:
            raise ValueError("window needs taps")
        if window == "kaiser" and beta is None:
            raise ValueError("window 'kaiser' needs beta")
        if beta is not None and window != "kaiser":
            raise ValueError("beta needs window='kaiser'")
        low = _real(edges[0], "the low edge" if len(edges) > 1 else "the cutoff") if edges else 0.0
        high = _real(edges[1], "the high edge") if len(edges) > 1 else 0.0
        # Beyond 32 bits a tap count is as far out of range as the largest one.
        taps = 0 if taps is None else int(np.clip(_integer(taps, "taps", -2**63, 2**63 - 1), -2**31, 2**31 - 1))
        # NaN: not given, the default that the command line's designs share.
        return cls._of(*_kestrum.design(kind, low, high, _real(rate, "rate"), taps,
                                        "blackman" if window is None else _text(window, "window"),
                                        0.0 if beta is None else _real(beta, "beta"),
                                        float("nan") if attenuation is None else _real(attenuation, "attenuation"),
                                        float("nan") if transition is None else _real(transition, "transition")))

    @classmethod
    def from_impulse(cls, path, threshold=-90.0, channel=1):
        """A filter of the samples of one channel (1 for the first) of an
        impulse response in a WAV file, each at its own delay, dropping those below
        threshold dB re the peak, as ``kestrum design impulse`` does. The
        filter's ``impulse_report`` says what was kept and dropped."""
        native, report = _kestrum.from_impulse(os.fspath(path), _integer(channel, "channel"),
                                               _real(threshold, "threshold"))
        filter = cls._of(native)
        filter.impulse_report = report
        return filter

    @property
    def comment(self):
        """The comment line (a long filter's description)."""
        return self._native.comment

    @property
    def is_long(self):
        """Whether this is a long filter: taps in double at delays 0 to N - 1,
        for the FFT engine, with no .fir text."""
        return self._native.is_long

    @property
    def delays(self):
        """The taps' delays in frames, as written (numpy int32); a long
        filter's first channel's."""
        return self._native.delays

    @property
    def coefficients(self):
        """The taps' coefficients (numpy float32; a long filter's first
        channel's, float64)."""
        return self._native.coefficients

    @property
    def taps(self):
        """The taps as a list of (delay, coefficient) pairs."""
        return [(int(d), float(c)) for d, c in zip(self.delays, self.coefficients)]

    def __len__(self):
        """The number of taps."""
        return max(self._native.nb_taps, 0)

    def text(self):
        """The filter as the text of a .fir file, each coefficient in the
        fewest digits that read back to the same float32."""
        return self._native.text()

    def save(self, path):
        """Writes the filter as a .fir file."""
        with open(path, "w", encoding="utf-8", newline="\n") as file:
            file.write(self.text())

    def __repr__(self):
        return f"<kestrum.Filter of {len(self)} taps: {self.comment!r}>"

    def __reduce__(self):
        """Pickled as its taps and comment, exactly, so that it travels to
        other processes (a filter read from a file forgets its path there)."""
        if self.is_long:
            native = self._native
            return (Filter._from_long, (native.channels, native.rate, native.name, native.comment))
        return (Filter.from_taps, (self.delays.tolist(), self.coefficients, self.comment))

    @classmethod
    def _from_long(cls, channels, rate, name, comment):
        return cls._of(_kestrum.from_long(channels, rate, name, comment))

    def response(self, rate, points=512):
        """The Response at a sample rate in Hz, its arrays at points
        frequencies from 0 Hz to half the rate."""
        return Response(self, rate, points)

    def apply(self, samples, wrap=None, threads=0, clip=None, format=None):
        """Filters a whole signal: a new array of the same dtype and shape.

        samples: 1-D (mono) or 2-D frames x channels (1 to 64), C or Fortran
        order, uint8, int16, int32 (24-bit), float32 or float64; the first frame
        follows silence. format: the samples' format as Wav.format names it,
        for int32 "pcm24" (the default) or "pcm32" (32-bit PCM, as read_wav
        gives it). clip: None (the default) saturates integer sums beyond the
        sample width and keeps float sums as they are (an array has no full
        scale); True saturates integers and clamps floats to -1 to 1; False
        keeps the low bits of integers (wrap=True, deprecated, says the same).
        Samples clipped or wrapped give a FilterWarning with their count. threads: how many
        threads share the work (0, the default: one per core for a filter
        worth it).

        Raises TypeError or ValueError for samples it does not accept, and
        MathError, whose frame attribute is the failing frame, for a sum it
        cannot store. The GIL is released while it filters.
        """
        clip = _clip(getattr(samples, "dtype", None), clip, wrap)
        code = _array_code(samples.dtype, format) if isinstance(samples, np.ndarray) else None
        out, overflow, clip = self._apply(samples, None, threads, clip, code=code)
        _warn_overflow(overflow, clip, samples.dtype, code=code)
        return out

    def _apply(self, samples, wrap, threads, clip, first=0, code=None):
        """apply without the warning, for a piece of a longer signal whose
        first frame is frame first of the whole (errors name frames by their
        place in it), of sample format code (None: the dtype's): (the
        filtered array, its Overflow, clip as resolved)."""
        data, channels, code = _interleaved(samples, code, first=first)
        clip = _clip(samples.dtype, clip, wrap, stacklevel=4)
        out = np.empty_like(data)
        overflow = _kestrum.apply(self._native, channels, code, clip, data, out, _integer(threads, "threads", 0),
                                  first)
        return _samples(out, code, samples.shape, not samples.flags.c_contiguous), Overflow(*overflow), clip

    def stream(self, channels=1, dtype=np.int16, wrap=None, clip=None, format=None):
        """A Stream through this filter of frames with this many channels (1
        to 64) and samples of this dtype (and format, for int32 of 32-bit
        PCM), carrying its history from call to call (a long filter's holds
        frames back until flush)."""
        return Stream(self, channels, dtype, wrap, clip, format, _stacklevel=4)


class Stream:
    """A signal filtered block by block: each ``apply`` continues where the
    last one stopped, so the output is the same however the signal is cut,
    and the same as ``Filter.apply`` over the whole of it.

    Through a long filter (the FFT engine), frames leave in whole blocks of
    ``block_frames``: ``apply`` returns the frames now complete (the output
    lags the input by less than a block) and ``flush`` the rest, their
    block completed with silence, after which a new signal starts.

    channels, dtype: what every block holds; frames: frames returned since
    the start or the last reset; overflow: an Overflow of those frames.
    clip, format (and the deprecated wrap): as Filter.apply takes them;
    each call that clips or wraps samples gives a FilterWarning with its
    count.
    """

    def __init__(self, filter, channels=1, dtype=np.int16, wrap=None, clip=None, format=None, _stacklevel=3):
        """A stream through filter (a Filter); see Filter.stream."""
        self.dtype = _stream_dtype(dtype)
        self.channels = _channels(channels)
        self.clip = _clip(self.dtype, clip, wrap, _stacklevel)
        self.wrap = not self.clip
        self._code = _array_code(self.dtype, format)
        self._native = _kestrum.Stream(filter._native, channels, self._code, self.clip)

    def apply(self, samples):
        """Filters the next block of frames (an array as Filter.apply takes,
        of the stream's dtype and channels): a new array of the same dtype
        and shape. On a MathError the stream stands after the frames before
        the failing one."""
        if isinstance(samples, np.ndarray) and samples.dtype != self.dtype:
            raise TypeError(f"samples of dtype {samples.dtype} given to a stream of {self.dtype}")
        data, channels, code = _interleaved(samples, self._code)
        if channels != self.channels:
            raise ValueError(f"samples of shape {samples.shape} ({channels} channel{'s' * (channels > 1)}) given "
                             f"to a stream of {self.channels} channel{'s' * (self.channels > 1)}")
        out = np.empty_like(data)
        written = self._frames(self._native.filter, data, out)
        frames = samples.shape[0]
        if written == frames:
            return _samples(out, code, samples.shape, not samples.flags.c_contiguous)
        return self._shaped(out[:len(out) // frames * written])

    def flush(self):
        """The frames held back (through a long filter), their block
        completed with silence; a new signal then starts."""
        data = self._frames(self._native.flush)
        return self._shaped(np.frombuffer(data, np.uint8).copy())

    def _frames(self, call, *args):
        """What call of the native stream returns, with a FilterWarning for
        the samples it clipped or wrapped; on a MathError the frames before
        the failing one count too."""
        before = self._native.overflow
        try:
            return call(*args)
        finally:
            after = self._native.overflow
            _warn_overflow(Overflow(after[0] - before[0], after[1] - before[1], *after[2:]), self.clip, self.dtype,
                           stacklevel=4, code=self._code)

    def _shaped(self, data):
        shape = (-1,) if self.channels == 1 else (-1, self.channels)
        return _samples(data, self._code, shape, False)

    def reset(self):
        """Forgets the signal and the frames held back: the next frame
        follows silence."""
        self._native.reset()

    @property
    def block_frames(self):
        """Frames that leave together: 1, or a long filter's block, the most
        that are held back less one."""
        return self._native.block_frames

    @property
    def frames(self):
        """Frames returned since the start or the last reset."""
        return self._native.frames

    @property
    def overflow(self):
        """The Overflow of the frames filtered since the start or the last reset."""
        return Overflow(*self._native.overflow)

    def __repr__(self):
        return f"<kestrum.Stream of {self.channels} channel(s) of {self.dtype}, {self.frames} frames>"


class LongStream(Stream):
    """Deprecated: ``Filter(path).stream(...)`` streams a WAV impulse
    response, as this does; path's taps are read with filter_channel (1 for
    the first; 0: one for all, or one per channel), gain_db and normalize
    ("peak", "energy" or None)."""

    def __init__(self, path, channels=1, dtype=np.int16, wrap=None, filter_channel=0, gain_db=0.0,
                 normalize=None, clip=None, format=None):
        warnings.warn("LongStream is deprecated: use Filter(path).stream(channels, dtype)", DeprecationWarning,
                      stacklevel=2)
        normalize = "" if normalize is None else _text(normalize, "normalize")
        filter = Filter._of(_kestrum.read_long_filter(os.fspath(path), _integer(filter_channel, "filter_channel"),
                                                      _real(gain_db, "gain_db"), normalize), path=os.fspath(path))
        super().__init__(filter, channels, dtype, wrap, clip, format)


def _frames_or_time(value, name):
    """start or count as the library's rule takes it: an integer (frames,
    0 to 2**31 - 1) as its digits, or the text of frames or a time ("2.5s",
    "250ms", "1:02.5") as it is; TypeError for anything else."""
    if isinstance(value, str):
        return value
    return str(_integer(value, name, 0, 2**63 - 1))


def filter_file(source, target, filter, start=0, count=None, clip=None, kernel="auto", threads=0,
                progress=None, log=None, warning=None, force=False, bits=0, dither=False, dither_seed=0,
                align=None):
    """Filters the WAV file source into target, as the kestrum tool does.

    filter: a Filter, the path of a .fir file (a Filter read from a
    file runs that file, as the tool would, so that the log and warnings
    name it; any other Filter is written to a temporary file), the path
    of a WAV impulse response, a long filter, or a design as the tool takes
    it ("lowpass:3000", "bandpass:300-3400:80dB"), made at the source's
    rate, its shortfalls going to warning(text). start: the first source
    frame; count: frames to filter (None, the default, or 0 as before: as
    many as the whole source holds, counted from start; past its end the
    source reads as silence, which keeps the filter's tail). Either may be
    frames or, as the tool's --start and --count take them, text: frames or
    a time ("2.5s", "250ms", "1:02.5"), which the source's rate turns into
    frames. clip: None (the default) or True saturates sums beyond the
    sample width and clamps float samples to -1 to 1, as the tool does;
    False keeps the low bits of integer samples and float samples as they
    are. kernel, one of KERNELS:
    "auto" (a .fir on "fast", a WAV filter on "fft"); "reference" or "fast",
    a .fir's float sum (the same bytes; a WAV filter raises KestrumError);
    "fft", FFT convolution in double precision; "exact", the float sum over
    every tap, a WAV filter's too (for a .fir, "fast"). threads: 0 being one
    per core. "-" is standard input or output.

    bits: the target's sample width, as the tool's -b takes it (0, the
    default: the source's; 8, 16, 24, 32 or 64): the levels are scaled by
    the exact power of two between the two full scales, then rounded to the
    nearest, or with dither true first dithered with triangular noise of -1
    to 1 target level where the target's integer samples are narrower than
    the source's (a warning says when they are not). The noise comes from a
    generator seeded with dither_seed (0 to 2**64 - 1): a run repeats byte
    for byte.

    align: None (the default) writes the output as it comes; "delay" removes
    the filter's delay, that of a linear-phase filter (symmetric taps; one
    whose delay is not a whole frame raises KestrumError); a frame count
    removes that many frames. Either keeps the source's length: the run
    filters that many frames more (past the end, silence) and drops the
    first ones.

    Callables: progress(position, total) every 5000 frames and (0, 0) at the
    end; log(text) for each line the run logs ("Filter comment: ...");
    warning(text) for a filter file that is valid but odd, and for a filter
    made for another rate than the source's, in the tool's words. An exception one
    of them raises (KeyboardInterrupt too) ends the run and is raised again.

    target is replaced only when the run succeeds, and only when it is a
    WAV file (or a new name, an empty file, a pipe or a device): an existing
    file of another kind raises FileExistsError, a name ending in .fir or in
    another audio format's extension ValueError, unless force is true; a
    target that is source or filter itself raises ValueError. Returns the run's
    Overflow; raises FileError, MathError or KestrumError with the tool's
    message. The GIL is released while it runs, but for the callables.
    """
    temporary = None
    try:
        if isinstance(filter, Filter):
            path = filter._path
            if path is None and filter.is_long:
                path = filter._native  # no file: the run takes the value as it is
            elif path is None:
                handle, temporary = tempfile.mkstemp(suffix=".fir", prefix="kestrum-")
                with os.fdopen(handle, "w", encoding="utf-8", newline="\n") as file:
                    file.write(filter.text())
                path = temporary
        elif isinstance(filter, _kestrum.FilterValue):
            path = filter  # as kestrum.dask ships one to its workers
        else:
            path = os.fspath(filter)
        return Overflow(*_kestrum.filter_file(
            os.fspath(source), os.fspath(target), path, _frames_or_time(start, "start"),
            "0" if count is None else _frames_or_time(count, "count"), _clip(None, clip), _text(kernel, "kernel"),
            _integer(threads, "threads", 0), _callable(progress, "progress"), _callable(log, "log"),
            _callable(warning, "warning"), bool(force), _integer(bits, "bits", 0, 64), bool(dither),
            _integer(dither_seed, "dither_seed", 0, 2**64 - 1),
            _kestrum.ALIGN_OFF if align is None else _kestrum.ALIGN_DELAY if align == "delay"
            else _integer(align, "align", 0)))
    finally:
        if temporary is not None:
            os.remove(temporary)


class Wav(NamedTuple):
    """A WAV file's samples (1-D for mono, else frames x channels), its rate
    in Hz, its format: "pcm8", "pcm16", "pcm24", "pcm32", "float32" or
    "float64", and its channel mask: the speaker positions of an extensible
    header (0x3F for 5.1), 0 when it gives none."""
    samples: np.ndarray
    rate: int
    format: str
    mask: int = 0


def read_wav(path, start=0, count=None):
    """Reads a WAV file (8-, 16-, 24-, 32-bit PCM or 32-, 64-bit float, 1 to
    64 channels) with Kestrum's reader: a Wav of its samples (uint8, int16,
    int32 holding 24 bits, int32 for 32-bit PCM, float32 or float64), rate
    and format. start: the first frame; count:
    at most this many frames (None: to the end). "-" is standard input.
    Raises FileError naming the file and the problem."""
    data, channels, code, rate, mask = _kestrum.read_wav(os.fspath(path), _integer(start, "start", 0),
                                                   -1 if count is None else _integer(count, "count", 0, 2**63 - 1))
    width = 3 if code == 2 else _DTYPES[code].itemsize
    frames = data.size // (width * channels)
    shape = (frames,) if channels == 1 else (frames, channels)
    return Wav(_samples(data, code, shape, False), int(rate), _FORMAT_NAMES[code], int(mask))


def write_wav(path, samples, rate, format=None, force=False, mask=0):
    """Writes samples (as Filter.apply takes them) as a WAV file at rate Hz,
    with Kestrum's writer: an existing file is replaced only once the new
    one is complete. "-" is standard output.

    format: the file's sample format, as Wav.format names it; by default the
    dtype's, but int32 samples need "pcm24" or "pcm32" (read_wav gives both
    as int32). force: replace an existing file that is not a WAV file, or
    write under a name ending in .fir or another audio format's extension.
    mask: the channel mask, as Wav.mask gives it (0: none; with more than two
    channels the header is extensible either way).

    Raises ValueError for no frames at all (a WAV file holds at least one),
    for int32 without format, or for such a name; FileExistsError for such a
    file; FileError or KestrumError when the file cannot be written."""
    if isinstance(samples, np.ndarray):
        _check_dtype(samples.dtype)
        code = _format_code(samples.dtype, format)
    else:
        code = None  # _interleaved says what it takes
    data, channels, code = _interleaved(samples, code)
    if data.size == 0:
        raise ValueError(f"samples of shape {samples.shape} hold no frame: a WAV file holds at least one")
    _kestrum.write_wav(os.fspath(path), data, channels, code, _integer(rate, "rate", 1, 2**32 - 1),
                       _integer(mask, "mask", 0, 2**32 - 1), bool(force))
