"""The Python package against the kestrum tool, which CTest names in
KESTRUM_CLI: the same bytes, and the package's own checks and errors."""

import ctypes
import ctypes.util
import os
import re
import subprocess
import threading
import time
import warnings

import numpy as np
import pytest

import kestrum

# The loud filters of these tests clip and wrap on purpose.
pytestmark = pytest.mark.filterwarnings("ignore:.* samples exceeded:kestrum.FilterWarning")

CLI = os.environ.get("KESTRUM_CLI")
needs_cli = pytest.mark.skipif(not CLI, reason="KESTRUM_CLI (the kestrum tool) not given")

# A filter whose gain pushes full-scale samples beyond the sample width.
LOUD = kestrum.Filter.from_taps([0, 3, 7, 40], [1.5, -0.7, 0.4, 0.25], "loud")
DTYPES = [np.uint8, np.int16, np.int32, np.float32, np.float64]
# The file format of each dtype as the tests write it: int32 as 24-bit.
FORMAT = {np.uint8: "pcm8", np.int16: "pcm16", np.int32: "pcm24", np.float32: "float32", np.float64: "float64"}
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")


def signal(dtype, frames, channels, seed=1):
    rng = np.random.default_rng(seed)
    shape = (frames,) if channels == 0 else (frames, channels)
    if dtype in (np.float32, np.float64):
        return rng.uniform(-1, 1, shape).astype(dtype)
    info = (0, 255) if dtype == np.uint8 else (-(1 << 23), (1 << 23) - 1) if dtype == np.int32 else (-32768, 32767)
    return rng.integers(info[0], info[1], shape, endpoint=True).astype(dtype)


def run_cli(*args):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True)


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@needs_cli
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("layout", ["mono", "stereo C", "stereo F", "6 channels F"])
@pytest.mark.parametrize("wrap", [False, True])
def test_apply_writes_the_cli_bytes(tmp_path, dtype, layout, wrap):
    x = signal(dtype, 70000, {"mono": 0, "6 channels F": 6}.get(layout, 2))
    if layout.endswith("F"):
        x = np.asfortranarray(x)
    fir = tmp_path / "loud.fir"
    LOUD.save(fir)
    kestrum.write_wav(tmp_path / "in.wav", x, 8000, format=FORMAT[dtype])
    flags = ["--wrap"] if wrap else ["--clip"]
    assert run_cli(*flags, "-q", tmp_path / "in.wav", tmp_path / "cli.wav", fir).returncode == 0
    y = LOUD.apply(x, clip=not wrap, threads=2)  # two parts, each from its own stream
    assert y.dtype == x.dtype and y.shape == x.shape and y.flags.f_contiguous == (layout != "stereo C")
    kestrum.write_wav(tmp_path / "py.wav", y, 8000, format=FORMAT[dtype])
    assert (tmp_path / "py.wav").read_bytes() == (tmp_path / "cli.wav").read_bytes()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("cuts", [[1, 2, 3], [999, 1000, 1001, 5000], [0, 0, 8191]])
def test_stream_splits_give_the_whole_signal(dtype, cuts):
    x = signal(dtype, 9000, 2)
    whole = LOUD.apply(x, clip=False, threads=1)
    stream = LOUD.stream(2, dtype, clip=False)
    for _ in range(2):  # after reset, the same again
        parts = [stream.apply(part) for part in np.split(x, cuts)]
        assert same_bits(np.concatenate(parts), whole)
        assert stream.frames == len(x) and stream.overflow.samples == 2 * len(x)
        stream.reset()


def _doubled(host, x, clip, tmp_path):
    """x through a filter of gain 2 by host, and the counts of its FilterWarnings.
    Its silent tap gives it a history: Dask's chunks overlap."""
    double = kestrum.Filter.from_taps([0, 5], [2.0, 0.0])
    channels = x.shape[1]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if host == "apply":
            y = double.apply(x, clip=clip, threads=2)
        elif host == "stream":
            stream = double.stream(channels, x.dtype, clip=clip)
            y = np.concatenate([stream.apply(part) for part in np.array_split(x, 3)])
        elif host == "long stream":
            kestrum.write_wav(tmp_path / "double.wav", np.array([2.0, 0, 0, 0, 0, 0], np.float32), 8000)
            stream = kestrum.LongStream(tmp_path / "double.wav", channels, x.dtype, clip=clip)
            y = np.concatenate([stream.apply(part) for part in np.array_split(x, 3)] + [stream.flush()])
        else:
            kd = pytest.importorskip("kestrum.dask")
            da = pytest.importorskip("dask.array")
            y = kd.filter_array(da.from_array(x, chunks=(len(x) // 3, channels)), double, clip=clip).compute(
                scheduler="sync")
    texts = [str(w.message) for w in caught if issubclass(w.category, kestrum.FilterWarning)]
    return y, [int(text.split(" of ")[0]) for text in texts], texts


# Float arrays have no full scale: their sums are kept unless clip asks;
# integer ones saturate (clip None) or wrap (clip False). Every sample
# clipped or wrapped is counted in a FilterWarning.
@pytest.mark.parametrize("host", ["apply", "stream", "long stream", "filter_array"])
@pytest.mark.parametrize("dtype, clip", [(np.float32, None), (np.float64, False), (np.float32, True),
                                         (np.int16, None), (np.int16, False)])
def test_float_arrays_are_kept_unless_clip_asks_and_every_clipped_sample_warns(tmp_path, host, dtype, clip):
    rng = np.random.default_rng(7)
    if np.issubdtype(dtype, np.floating):
        x = (rng.uniform(-1, 1, (30000, 2)) * 25).astype(np.float32).astype(dtype)  # sums of floats are exact
        want, done = (np.clip(2 * x, -1, 1), "were clipped") if clip else (2 * x, None)
    else:
        x = rng.integers(16000, 16500, (30000, 2)).astype(dtype)
        wide = 2 * x.astype(np.int32)
        want, done = ((wide + 32768) % 65536 - 32768, "wrapped around") if clip is False else \
            (np.clip(wide, -32768, 32767), "were clipped")
    y, counts, texts = _doubled(host, x, clip, tmp_path)
    assert y.dtype == x.dtype
    if host == "long stream" and dtype == np.float64:  # FFT sums, stored whole
        assert np.allclose(y, want, rtol=1e-12, atol=1e-12)
    else:
        assert np.array_equal(y, want.astype(dtype))
    beyond = int((np.abs(2 * x.astype(np.float64)) > (1 if np.issubdtype(dtype, np.floating) else 32767)).sum())
    assert sum(counts) == (beyond if done else 0) and all(done in text for text in texts)
    with pytest.raises(ValueError, match="exclude each other"), pytest.warns(DeprecationWarning):
        kestrum.Filter.from_taps([0], [2.0]).apply(x, clip=True, wrap=True)


def _clipped_by(host, clip, wrap, tmp_path):
    """[20000] int16 and [0.75] float32 through a gain of 2 by host, with
    the overflow keywords given (those that are not None)."""
    double = kestrum.Filter.from_taps([0], [2.0])
    keywords = {name: value for name, value in (("clip", clip), ("wrap", wrap)) if value is not None}
    out = []
    for x in (np.array([20000], np.int16), np.array([0.75], np.float32)):
        if host == "apply":
            out.append(double.apply(x, **keywords))
        elif host == "stream":
            out.append(double.stream(1, x.dtype, **keywords).apply(x))
        elif host == "filter_array":
            kd = pytest.importorskip("kestrum.dask")
            da = pytest.importorskip("dask.array")
            out.append(kd.filter_array(da.from_array(x), double, **keywords).compute(scheduler="sync"))
        else:  # a file: integers and floats alike saturate by default
            kestrum.write_wav(tmp_path / "in.wav", x, 8000)
            kestrum.filter_file(tmp_path / "in.wav", tmp_path / "out.wav", double, **keywords)
            out.append(kestrum.read_wav(tmp_path / "out.wav").samples)
    return int(out[0][0]), float(out[1][0])


# One keyword, clip, in every host: None is the host's default, True
# saturates and clamps, False wraps integers and keeps floats. The older wrap
# says the same, deprecated; given with a clip it contradicts, it is refused.
@pytest.mark.filterwarnings("ignore::kestrum.FilterWarning")
@pytest.mark.parametrize("host", ["apply", "stream", "filter_array", "filter_file"])
@pytest.mark.parametrize("clip, wrap, integer, floats", [
    (None, None, 32767, {"filter_file": 1.0}), (True, None, 32767, 1.0), (False, None, -25536, 1.5),
    (None, True, -25536, 1.5), (None, False, 32767, {"filter_file": 1.0}), (False, True, -25536, 1.5),
    (True, False, 32767, 1.0), (True, True, None, None), (False, False, None, None),
])
def test_clip_is_the_one_overflow_keyword_of_every_host(tmp_path, host, clip, wrap, integer, floats):
    if host == "filter_file" and wrap is not None:
        pytest.skip("filter_file never took wrap")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if integer is None:
            with pytest.raises(ValueError, match=f"clip={clip} and wrap={wrap} exclude each other"):
                _clipped_by(host, clip, wrap, tmp_path)
            return
        got = _clipped_by(host, clip, wrap, tmp_path)
    want_float = floats.get(host, 1.5) if isinstance(floats, dict) else floats
    assert got == (integer, want_float)
    deprecated = [w for w in caught if issubclass(w.category, DeprecationWarning) and "wrap=" in str(w.message)]
    assert bool(deprecated) == (wrap is not None)
    assert all(w.filename == __file__ for w in deprecated), [w.filename for w in deprecated]


def test_bad_arguments_name_what_was_given_and_what_is_accepted(tmp_path):
    stereo = np.zeros((10, 2), np.int16)
    cases = [
        (lambda: LOUD.apply(np.zeros(10, np.int64)), TypeError, "dtype int64 are not accepted: give uint8"),
        (lambda: LOUD.apply(np.zeros(10, ">i2")), TypeError, "dtype >i2"),
        (lambda: LOUD.apply([1, 2, 3]), TypeError, "got list"),
        (lambda: LOUD.apply(np.zeros((10, 65), np.int16)), ValueError, "shape (10, 65)"),
        (lambda: LOUD.apply(np.zeros((2, 2, 2), np.int16)), ValueError, "shape (2, 2, 2)"),
        (lambda: LOUD.apply(np.zeros(20, np.int16)[::2]), ValueError, "non-contiguous view"),
        (lambda: LOUD.apply(np.array([0, 1 << 23], np.int32)), ValueError, "frame 1, channel 1 is 8388608"),
        (lambda: LOUD.apply(stereo, threads=-1), ValueError, "threads must be"),
        (lambda: LOUD.stream(2, np.int16).apply(stereo.astype(np.float32)), TypeError, "given to a stream of int16"),
        (lambda: LOUD.stream(2, np.int16).apply(np.zeros(10, np.int16)), ValueError, "(1 channel) given to a stream of 2"),
        (lambda: LOUD.stream(65, np.int16), ValueError, "65 channels"),
        (lambda: kestrum.Filter.from_text("c\n2\n0 1\n1 abc\n", "my.fir"), kestrum.FileError,
         "my.fir, line 4: expected a coefficient (tap 2 of 2), found 'abc'"),
        (lambda: kestrum.Filter.from_taps([0, 1], [1.0]), ValueError, "2 delays and 1 coefficients"),
        (lambda: kestrum.Filter.design("lowpass", 30000, rate=44100, taps=11), ValueError,
         "the cutoff 30000 Hz is not below half the rate"),
        (lambda: kestrum.Filter.design("notch", 3000, rate=44100, taps=11), ValueError, "kind 'notch'"),
        (lambda: kestrum.read_wav(tmp_path / "none.wav"), kestrum.FileError, "No such file or directory"),
        (lambda: kestrum.write_wav(tmp_path / "x.wav", np.zeros(0, np.int16), 8000), ValueError, "hold no frame"),
        (lambda: kestrum.filter_file(tmp_path / "none.wav", tmp_path / "o.wav", LOUD, kernel="slow"),
         ValueError, "kernel 'slow': 'auto', 'reference', 'fast', 'fft' or 'exact' are accepted"),
    ]
    for call, error, text in cases:
        with pytest.raises(error) as raised:
            call()
        assert text in str(raised.value), str(raised.value)
    assert not (tmp_path / "x.wav").exists()


@pytest.mark.parametrize("call, error, text", [
    (lambda: kestrum.Filter.from_taps([0, 1], [0.5, np.nan]), ValueError, "coefficient nan of tap 2 of 2 is not a finite"),
    (lambda: kestrum.Filter.from_taps([0], [-np.inf]), ValueError, "coefficient -inf of tap 1 of 1 is not a finite"),
    (lambda: kestrum.Filter.from_taps([0], [1e300]), ValueError, "1.0000000000000001e+300 of tap 1 of 1 is beyond"),
    (lambda: kestrum.Filter.from_taps([0], ["a"]), TypeError, "coefficients must be real numbers, got dtype <U1"),
    (lambda: kestrum.Filter.from_taps([0], [1.0], 5), TypeError, "comment must be a string, not int 5"),
    (lambda: kestrum.Filter.from_text(b"c\n0\n"), TypeError, "text must be a string, not bytes"),
    (lambda: LOUD.apply(np.zeros(9, np.int16), threads="2"), TypeError, "threads must be an integer, not str '2'"),
    (lambda: LOUD.apply(np.zeros(9, np.int16), threads=2**40), ValueError, "threads must be from 0 to 2147483647, not 1099511627776"),
    (lambda: LOUD.stream(2.5), TypeError, "channels must be an integer, not float 2.5"),
    (lambda: LOUD.stream(2, "foo"), TypeError, "dtype 'foo' is not a numpy dtype: give uint8"),
    (lambda: LOUD.response("fast"), TypeError, "rate must be a number, not str 'fast'"),
    (lambda: LOUD.response(8000, points=2**40), ValueError, "points must be from 2 to"),
    (lambda: kestrum.Filter.design("lowpass", np.nan, rate=8000, taps=11), ValueError, "the cutoff must be a finite number, not nan"),
    (lambda: kestrum.Filter.design("lowpass", 300, rate=8000, taps=2**40), ValueError, "the tap count must be from 1 to 1000"),
    (lambda: kestrum.Filter.design("lowpass", 300, rate=8000, taps=11, window=3), TypeError, "window must be a string, not int 3"),
    (lambda: kestrum.filter_file("none.wav", "o.wav", LOUD, count=2**70), ValueError, "count must be from 0 to"),
    (lambda: kestrum.filter_file("none.wav", "o.wav", LOUD, kernel=3), TypeError, "kernel must be a string, not int 3"),
    (lambda: kestrum.filter_file("none.wav", "o.wav", LOUD, start="1x"), ValueError,
     "start: expected frames (an integer up to 2147483647) or a time (1.5s, 250ms, 1:30, 1:02:03.5), found '1x'"),
    (lambda: kestrum.filter_file("none.wav", "o.wav", "lowpass:abc"), ValueError,
     "FILTER 'lowpass:abc': expected a frequency in Hz, found 'abc'"),
    (lambda: kestrum.filter_file("none.wav", "o.wav", LOUD, progress=5), TypeError, "progress must be callable or None"),
    (lambda: kestrum.read_wav("none.wav", count=-5), ValueError, "count must be from 0 to"),
    (lambda: kestrum.write_wav("none.wav", np.zeros(9, np.int16), -1), ValueError, "rate must be from 1 to 4294967295, not -1"),
    (lambda: kestrum.LongStream("none.wav", 2, normalize=3), TypeError, "normalize must be a string, not int 3"),
    (lambda: kestrum.LongStream("none.wav", 2, gain_db=np.nan), ValueError, "gain_db must be a finite number, not nan"),
])
def test_wrong_argument_types_and_values_say_what_is_accepted(call, error, text):
    with pytest.raises(error) as raised:
        call()
    assert text in str(raised.value), str(raised.value)


def test_arithmetic_errors_carry_the_message_and_the_frame(tmp_path):
    huge = kestrum.Filter.from_taps([0], [1e30])
    x = np.zeros((70000, 2), np.int16)
    x[50000, 1] = 1  # in the second of two parts
    kestrum.write_wav(tmp_path / "in.wav", x, 8000)
    stream = huge.stream(2, np.int16, clip=False)
    cases = [
        (lambda: huge.apply(x, clip=False, threads=2), 50000),
        (lambda: huge.apply(x, clip=False, threads=1), 50000),
        (lambda: stream.apply(x), 50000),
        (lambda: kestrum.filter_file(tmp_path / "in.wav", tmp_path / "out.wav", huge, clip=False), 50000),
    ]
    for call, frame in cases:
        with pytest.raises(kestrum.MathError) as raised:
            call()
        assert raised.value.frame == frame and f"at frame {frame}:" in str(raised.value), str(raised.value)
    assert stream.frames == 50000
    assert not (tmp_path / "out.wav").exists()


def _nan_hosts():
    """Each host of the filter as a callable (signal, source WAV, filter) ->
    the MathError it raises, and the file its message names (None: none)."""
    def raised(call):
        with pytest.raises(kestrum.MathError) as error:
            call()
        return error.value

    def stream_in_two_calls(x, _, filter):
        stream = filter.stream(1, np.float32)
        stream.apply(x[:45])  # holds the sample, which no sum reaches yet
        return raised(lambda: stream.apply(x[45:])), None

    def dask_array(x, _, filter):
        da = pytest.importorskip("dask.array")
        kd = pytest.importorskip("kestrum.dask")
        return raised(lambda: kd.filter_array(da.from_array(x, chunks=30), filter).compute(scheduler="sync")), None

    def dask_files(_, source, filter):
        kd = pytest.importorskip("kestrum.dask")
        distributed = pytest.importorskip("distributed")
        with kd.local_cluster(1, 1) as cluster, distributed.Client(cluster) as client:
            report, = kd.filter_files([source], filter, source + ".out", client)
        error = kestrum.MathError(report.error)
        error.frame = report.frame
        return error, source

    return {
        "apply": lambda x, _, filter: (raised(lambda: filter.apply(x, threads=1)), None),
        "apply on threads": lambda x, _, filter: (raised(lambda: filter.apply(x, threads=2)), None),
        "stream in two calls": stream_in_two_calls,
        "filter_file": lambda _, source, filter: (raised(lambda: kestrum.filter_file(
            source, source + ".out.wav", filter, clip=False)), source),
        "dask filter_array": dask_array,
        "dask filter_files": dask_files,
    }


# A filter whose sums reach a sample 5 frames after it: the failing sum is
# not the sample's own frame.
DELAYED = kestrum.Filter.from_taps([5, 9], [0.5, 0.25], "delayed")


@pytest.mark.parametrize("kind", ["fir", "long"])
@pytest.mark.parametrize("host", list(_nan_hosts()))
def test_a_sample_that_is_not_a_number_is_named_alike_by_every_host(tmp_path, host, kind):
    x = np.zeros(70000, np.float32)
    x[42] = np.nan
    source = str(tmp_path / "nan.wav")
    kestrum.write_wav(source, x, 8000)
    filter = DELAYED
    if kind == "long":  # the same taps as a WAV impulse response, on the FFT engine
        ir = np.zeros(10)
        ir[5], ir[9] = 0.5, 0.25
        kestrum.write_wav(tmp_path / "delayed.wav", ir, 8000)
        filter = kestrum.Filter(tmp_path / "delayed.wav")
        assert filter.is_long
    error, named = _nan_hosts()[host](x, source, filter)
    body = "frame 42 holds a sample that is not a finite number; it cannot be filtered"
    assert error.frame == 42 and str(error) == (f"{named}: " if named else "") + body, str(error)


@needs_cli
def test_filter_file_events_and_a_failing_callback(tmp_path):
    x = signal(np.int16, 12000, 2)
    kestrum.write_wav(tmp_path / "in.wav", x, 8000)
    odd = tmp_path / "odd.fir"
    odd.write_text("no taps\n0\n")
    events = []
    overflow = kestrum.filter_file(tmp_path / "in.wav", tmp_path / "out.wav", LOUD, start=1000, count=11000,
                                   threads=2, progress=lambda *p: events.append(p), log=events.append)
    assert events[0] == "Filter file name: " + events[0].split(": ", 1)[1] and "Taps: 4" in events
    assert [e for e in events if isinstance(e, tuple)] == [(5000, 11000), (10000, 11000), (0, 0)]
    assert overflow.samples == 22000 and overflow.overflowed > 0
    assert run_cli("-q", "--clip", "--start", 1000, "--count", 11000, tmp_path / "in.wav", tmp_path / "cli.wav",
                   LOUD._path or _saved(LOUD, tmp_path)).returncode == 0
    assert (tmp_path / "out.wav").read_bytes() == (tmp_path / "cli.wav").read_bytes()

    warnings = []
    kestrum.filter_file(tmp_path / "in.wav", tmp_path / "silent.wav", odd, warning=warnings.append)
    assert warnings and "the tap count is 0" in warnings[0]
    # A filter made for another rate than the source's: the tool's warning.
    kestrum.Filter.design("lowpass", 1000, rate=44100, taps=31).save(tmp_path / "at44100.fir")
    warnings = []
    kestrum.filter_file(tmp_path / "in.wav", tmp_path / "moved.wav", tmp_path / "at44100.fir", warning=warnings.append)
    tool = run_cli(tmp_path / "in.wav", tmp_path / "moved_cli.wav", tmp_path / "at44100.fir").stderr.splitlines()
    assert [f"kestrum: warning: {text}" for text in warnings] == [line for line in tool if "was made for" in line]
    assert len(warnings) == 1

    def stop(position, total):
        if position:
            raise KeyError("stop here")

    with pytest.raises(KeyError, match="stop here"):
        kestrum.filter_file(tmp_path / "in.wav", tmp_path / "stopped.wav", LOUD, progress=stop)
    assert not (tmp_path / "stopped.wav").exists()


@pytest.mark.parametrize("kernel", kestrum.KERNELS)
@pytest.mark.parametrize("kind", ["fir", "wav"])
def test_filter_file_runs_each_kernel_or_refuses_it(tmp_path, kernel, kind):
    # 16384 + 0.5004 is 16384.5 in a float sum (16384, ties to even), 16385 by FFT.
    kestrum.write_wav(tmp_path / "in.wav", np.array([1, 16384], np.int16), 8000)
    taps = [1.0, 0.5004]
    if kind == "wav":
        kestrum.write_wav(tmp_path / "f.wav", np.array(taps, np.float32), 8000)
    else:
        kestrum.Filter.from_taps([0, 1], taps).save(tmp_path / "f.fir")
    run = lambda: kestrum.filter_file(tmp_path / "in.wav", tmp_path / "out.wav", tmp_path / f"f.{kind}", kernel=kernel)
    if kind == "wav" and kernel in ("reference", "fast"):
        with pytest.raises(kestrum.KestrumError, match=f"runs on the fft or exact engine, not on {kernel}"):
            run()
        return
    run()
    fft = kernel == "fft" or (kind == "wav" and kernel == "auto")
    assert kestrum.read_wav(tmp_path / "out.wav").samples.tolist() == [1, 16385 if fft else 16384]


def test_filter_file_takes_a_wav_impulse_response(tmp_path):
    rng = np.random.default_rng(25)
    x = rng.integers(-8000, 8000, (20000, 2)).astype(np.int16)
    ir = (rng.standard_normal(3000) * np.exp(-np.arange(3000) / 500) * 0.1).astype(np.float32)
    kestrum.write_wav(tmp_path / "in.wav", x, 48000)
    kestrum.write_wav(tmp_path / "ir.wav", ir, 48000)
    want = np.stack([np.convolve(x[:, c].astype(np.float64), ir.astype(np.float64))[:len(x)] for c in (0, 1)], 1)
    for kernel in ("exact", "auto"):
        kestrum.filter_file(tmp_path / "in.wav", tmp_path / "out.wav", tmp_path / "ir.wav", kernel=kernel)
        got = kestrum.read_wav(tmp_path / "out.wav").samples
        assert np.abs(got - np.clip(np.rint(want), -32768, 32767)).max() <= (0 if kernel == "auto" else 1)
    # A stream in calls of any size gives the file's frames.
    stream = kestrum.LongStream(tmp_path / "ir.wav", 2, np.int16)
    parts = [stream.apply(x[at:at + 777]) for at in range(0, len(x), 777)] + [stream.flush()]
    assert np.array_equal(np.concatenate(parts), got) and stream.frames == len(x)


# filter_file takes what the tool takes, for the tool's bytes: every kind of
# filter (a design made at the source's rate), count None or 0 for the whole
# source counted from start, start and count as frames or times.
@needs_cli
@pytest.mark.parametrize("kind", ["Filter", "fir", "wav", "design"])
@pytest.mark.parametrize("start, count", [(0, None), (1000, 0), (1000, 3000), ("0.125s", "0:00.375"),
                                          ("250ms", None)])
def test_filter_file_takes_every_filter_kind_and_range_as_the_tool(tmp_path, kind, start, count):
    kestrum.write_wav(tmp_path / "in.wav", signal(np.int16, 8000, 2), 8000)
    kestrum.write_wav(tmp_path / "ir.wav", np.array([0.5, 0.25, -0.125, 0.0625], np.float32), 8000)
    LOUD.save(tmp_path / "loud.fir")
    given, tool = {"Filter": (LOUD, "loud.fir"), "fir": (tmp_path / "loud.fir", "loud.fir"),
                   "wav": (tmp_path / "ir.wav", "ir.wav"), "design": ("lowpass:1000", "lowpass:1000")}[kind]
    kestrum.filter_file(tmp_path / "in.wav", tmp_path / "py.wav", given, start=start, count=count)
    tool = tool if ":" in tool else tmp_path / tool
    assert run_cli("-q", "--start", start, "--count", count or 0, tmp_path / "in.wav", tmp_path / "cli.wav",
                   tool).returncode == 0
    assert (tmp_path / "py.wav").read_bytes() == (tmp_path / "cli.wav").read_bytes()


def test_a_long_filter_gives_one_signal_through_every_host(tmp_path):
    """A long filter (a WAV impulse response, a design beyond 1000 taps, one
    back from pickling): apply, a stream cut anywhere and a file run give the
    same frames."""
    import pickle
    x = signal(np.int16, 30000, 2, seed=4)
    kestrum.write_wav(tmp_path / "in.wav", x, 8000)
    ir = np.random.default_rng(5).standard_normal((2500, 2)) * 0.02
    kestrum.write_wav(tmp_path / "ir.wav", ir, 8000)
    designed = kestrum.Filter.design("highpass", 20, rate=8000)
    for name, filter in [("impulse response", kestrum.Filter(tmp_path / "ir.wav")), ("design", designed),
                         ("pickled design", pickle.loads(pickle.dumps(designed)))]:
        assert filter.is_long, name
        whole = filter.apply(x)
        stream = filter.stream(2, np.int16)
        parts = [stream.apply(x[at:at + 1001]) for at in range(0, len(x), 1001)] + [stream.flush()]
        kestrum.filter_file(tmp_path / "in.wav", tmp_path / "out.wav", filter, force=True)
        assert same_bits(np.concatenate(parts), whole), name
        assert same_bits(kestrum.read_wav(tmp_path / "out.wav").samples, whole), name


@pytest.mark.parametrize("align, taps", [("delay", [(9, 1.0)]), (9, [(9, 1.0)]),
                                         ("delay", [(0, 0.25), (1, 0.5), (2, 0.25)])])
def test_filter_file_aligns_the_output_by_the_delay(tmp_path, align, taps):
    x = np.random.default_rng(5).integers(-8000, 8000, 3000).astype(np.int16)
    kestrum.write_wav(tmp_path / "in.wav", x, 8000)
    f = kestrum.Filter.from_taps([d for d, _ in taps], [c for _, c in taps])
    kestrum.filter_file(tmp_path / "in.wav", tmp_path / "out.wav", f, align=align)
    delay = (taps[0][0] + taps[-1][0]) // 2
    want = np.convolve(x.astype(np.float64), [c for _, c in taps] if len(taps) > 1 else [1.0])[delay - taps[0][0]:]
    assert np.array_equal(kestrum.read_wav(tmp_path / "out.wav").samples, np.rint(want[:len(x)]).astype(np.int16))


def test_filter_file_dithers_on_request_the_same_bytes_on_every_kernel(tmp_path):
    x = np.random.default_rng(3).integers(-(1 << 23), 1 << 23, (40000, 2)).astype(np.int32)
    kestrum.write_wav(tmp_path / "in.wav", x, 48000, format="pcm24")
    kestrum.write_wav(tmp_path / "in16.wav", (x >> 8).astype(np.int16), 48000)
    smooth = kestrum.Filter.from_taps([0, 1, 2], [0.25, 0.5, 0.25])

    def run(name, source="in.wav", bits=16, **options):
        notes = []
        kestrum.filter_file(tmp_path / source, tmp_path / name, smooth, bits=bits, warning=notes.append, **options)
        return (tmp_path / name).read_bytes(), notes

    plain, _ = run("plain.wav")
    dithered, notes = run("fast.wav", dither=True, threads=3)
    assert dithered == run("reference.wav", dither=True, kernel="reference")[0] != plain and not notes
    assert run("seeded.wav", dither=True, dither_seed=2**64 - 1)[0] != dithered
    same, notes = run("same.wav", source="in16.wav", dither=True)
    assert same == run("same_plain.wav", source="in16.wav")[0] and "nothing is dithered" in notes[0]
    if CLI:
        assert run_cli("-q", "-b", 16, "--dither", tmp_path / "in.wav", tmp_path / "cli.wav",
                       _saved(smooth, tmp_path)).returncode == 0
        assert (tmp_path / "cli.wav").read_bytes() == dithered
    with pytest.raises(ValueError, match="bits 12"):
        run("bad.wav", bits=12)


def test_impulse_readers_share_the_channel_numbering_and_the_refusals(tmp_path):
    ir = np.zeros((300, 2), np.float32)
    ir[0] = 0.5, -0.5
    ir[7, 1] = 0.25
    kestrum.write_wav(tmp_path / "ir.wav", ir, 48000)
    ir[3, 1] = np.nan
    kestrum.write_wav(tmp_path / "nan.wav", ir, 48000)
    nan, ir_path = str(tmp_path / "nan.wav"), str(tmp_path / "ir.wav")
    refused = "has 2 channels, no channel 3"
    cases = [
        (lambda: kestrum.Filter.from_impulse(nan, channel=2), f"{nan}: frame 3 holds a sample that is not a finite number (nan)"),
        (lambda: kestrum.LongStream(nan, 1, np.float32, filter_channel=2), f"{nan}: frame 3 holds a sample that is not a finite number (nan)"),
        (lambda: kestrum.Filter.from_impulse(ir_path, channel=3), refused),
        (lambda: kestrum.LongStream(ir_path, 1, np.float32, filter_channel=3), refused),
    ]
    for call, message in cases:
        with pytest.raises(kestrum.KestrumError) as raised:
            call()
        assert message in str(raised.value), str(raised.value)
    # Channel 2 is the second channel for both.
    second = kestrum.Filter.from_impulse(ir_path, channel=2)
    assert second.taps == [(0, -0.5), (7, 0.25)]
    stream = kestrum.LongStream(ir_path, 1, np.int16, filter_channel=2)
    impulse = np.zeros(stream.block_frames, np.int16)
    impulse[0] = 16384
    assert list(np.concatenate([stream.apply(impulse), stream.flush()])[:8]) == [-8192, 0, 0, 0, 0, 0, 0, 4096]
    if CLI:  # the filter the tool designs, comment included
        run = run_cli("design", "impulse", ir_path, "--channel", 2, "-o", tmp_path / "cli.fir")
        assert run.returncode == 0 and (tmp_path / "cli.fir").read_text() == second.text()


def _saved(filter, folder):
    path = folder / "saved.fir"
    filter.save(path)
    return path


def test_apply_releases_the_gil():
    # A second Python thread counts while the main thread first sleeps (which
    # releases the GIL), then applies a long filter for about as long: held
    # for the call, the GIL would let it count only at the call's ends.
    long = kestrum.Filter.from_taps(np.arange(1000), np.full(1000, 1e-3))
    x = signal(np.int16, 400000, 2)
    count, running = [0], [True]

    def counter():
        while running[0]:
            count[0] += 1

    def counted(call):
        before, start = count[0], time.perf_counter()
        call()
        return (count[0] - before) / (time.perf_counter() - start)

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        asleep = counted(lambda: time.sleep(0.2))
        applying = counted(lambda: long.apply(x, threads=1))
    finally:
        running[0] = False
        thread.join()
    assert applying > asleep / 5, (applying, asleep)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channels", [0, 2, 6])
def test_wav_round_trip(tmp_path, dtype, channels):
    x = signal(dtype, 1001, channels)
    kestrum.write_wav(tmp_path / "x.wav", x, 22050, format=FORMAT[dtype])
    wav = kestrum.read_wav(tmp_path / "x.wav")
    assert same_bits(wav.samples, x) and wav.rate == 22050
    assert wav.format == FORMAT[dtype]
    assert same_bits(kestrum.read_wav(tmp_path / "x.wav", start=1000, count=5).samples, x[1000:])


@pytest.mark.parametrize("name, mask", [("sox_s16_6ch.wav", 0x3F), ("ffmpeg_s24_8ch.wav", 0x63F),
                                        ("s32_mono.wav", 0x4), ("sox_s16_stereo_list.wav", 0)])
def test_the_channel_mask_comes_back_through_numpy_and_dask(tmp_path, name, mask):
    import kestrum.dask as kd  # the writer alone: no cluster
    wav = kestrum.read_wav(os.path.join(DATA, name))
    assert wav.mask == mask
    kestrum.write_wav(tmp_path / "back.wav", wav.samples, wav.rate, format=wav.format, mask=wav.mask)
    kd.write_wav(kd.read_wav(os.path.join(DATA, name)).samples, tmp_path / "dask.wav", wav.rate,
                 format=wav.format, mask=kd.read_wav(os.path.join(DATA, name)).mask)
    for written in ("back.wav", "dask.wav"):
        back = kestrum.read_wav(tmp_path / written)
        assert (back.mask, back.format) == (mask, wav.format) and same_bits(back.samples, wav.samples), written


def test_int32_is_written_in_the_format_it_is_given(tmp_path):
    wav = kestrum.read_wav(os.path.join(DATA, "s32_mono.wav"))
    assert wav.format == "pcm32"
    back = tmp_path / "back.wav"
    cases = [
        (dict(), ValueError, "format='pcm32'"),  # int32 alone is 24-bit or 32-bit
        (dict(format="pcm33"), ValueError, "give one of pcm8"),
        (dict(format="pcm16"), TypeError, "takes samples of dtype int16, not int32"),
    ]
    for options, error, text in cases:
        with pytest.raises(error, match=re.escape(text)):
            kestrum.write_wav(back, wav.samples, wav.rate, **options)
    with pytest.raises(ValueError, match="format="):  # quiet 32-bit samples fit 24 bits: still not guessed
        kestrum.write_wav(back, wav.samples // 256, wav.rate)
    assert not back.exists()
    kestrum.write_wav(back, wav.samples, wav.rate, format=wav.format)
    again = kestrum.read_wav(back)
    assert again.format == "pcm32" and same_bits(again.samples, wav.samples)


@pytest.mark.filterwarnings("ignore::kestrum.FilterWarning")
def test_int32_of_32_bit_pcm_is_filtered_as_32_bit_by_every_host(tmp_path):
    rng = np.random.default_rng(32)
    x = rng.integers(-2**31, 2**31, (6000, 2)).astype(np.int32)  # nearly all beyond 24 bits
    kestrum.write_wav(tmp_path / "s32.wav", x, 8000, format="pcm32")
    w = kestrum.read_wav(tmp_path / "s32.wav")
    y = LOUD.apply(w.samples, format=w.format)
    kestrum.write_wav(tmp_path / "py.wav", y, w.rate, format=w.format)
    kestrum.filter_file(tmp_path / "s32.wav", tmp_path / "run.wav", LOUD)
    assert (tmp_path / "py.wav").read_bytes() == (tmp_path / "run.wav").read_bytes()
    stream = LOUD.stream(2, np.int32, format="pcm32")
    assert same_bits(np.concatenate([stream.apply(part) for part in np.array_split(w.samples, 3)]), y)
    kd = pytest.importorskip("kestrum.dask")
    frames = kd.read_wav(tmp_path / "s32.wav", 1000).samples
    assert same_bits(kd.filter_array(frames, LOUD, format=w.format).compute(scheduler="sync"), y)
    with pytest.raises(ValueError, match="unless format='pcm32' says they are 32-bit; frame 0"):
        LOUD.apply(w.samples)  # int32 alone stays 24-bit


def test_writers_keep_what_is_not_theirs_to_replace(tmp_path):
    x = signal(np.int16, 100, 0)
    source, fir, notes = tmp_path / "st.wav", tmp_path / "f.fir", tmp_path / "notes.wav"
    kestrum.write_wav(source, x, 8000)
    LOUD.save(fir)
    notes.write_text("notes\n")
    kept = {path: path.read_bytes() for path in (source, fir, notes)}
    cases = [  # (call, error, message); force lets all but an input through
        (lambda **f: kestrum.write_wav(notes, x, 8000, **f), FileExistsError, "exists and is a text file"),
        (lambda **f: kestrum.write_wav(tmp_path / "x.mp3", x, 8000, **f), ValueError, "an audio file (.mp3)"),
        (lambda **f: kestrum.filter_file(source, notes, fir, **f), FileExistsError, "(force=True does)"),
        (lambda **f: kestrum.filter_file(source, fir, fir, **f), ValueError, "f.fir' is the filter itself"),
        (lambda **f: kestrum.filter_file(source, tmp_path / "." / "st.wav", LOUD, **f), ValueError,
         "st.wav' is the source itself"),
    ]
    for call, error, text in cases:
        with pytest.raises(error, match=re.escape(text)):
            call()
    assert {path: path.read_bytes() for path in kept} == kept
    for call, error, text in cases:
        if "itself" in text:
            with pytest.raises(error, match=re.escape(text)):
                call(force=True)
        else:
            call(force=True)
    assert {path: path.read_bytes() for path in (source, fir)} == {path: kept[path] for path in (source, fir)}
    assert kestrum.read_wav(notes).format == "pcm16"


@needs_cli
@pytest.mark.parametrize("kind, edges, options, cli_options", [
    ("lowpass", [3000], dict(attenuation=60, transition=500), ["--attenuation", 60, "--transition", 500]),
    ("highpass", [80], dict(), []),  # the defaults they share
    ("lowpass", [200], dict(attenuation=50), ["--attenuation", 50]),
    ("bandpass", [300, 3400], dict(taps=151, window="hamming"), ["--taps", 151, "--window", "hamming"]),
    ("highpass", [1000], dict(taps=31, window="kaiser", beta=6), ["--taps", 31, "--window", "kaiser", "--beta", 6]),
])
def test_design_and_response_match_the_cli(tmp_path, kind, edges, options, cli_options):
    designed = kestrum.Filter.design(kind, *edges, rate=8000, **options)
    made = run_cli("design", kind, *edges, "--rate", 8000, *cli_options)
    assert made.returncode == 0 and designed.text() == made.stdout
    fir = _saved(designed, tmp_path)
    assert kestrum.Filter(fir).taps == designed.taps
    shown = run_cli("response", fir, "--rate", 8000, "--csv", tmp_path / "r.csv", "--points", 64)
    response = designed.response(8000, points=64)
    assert shown.returncode == 0 and str(response) in shown.stdout + shown.stderr
    table = np.genfromtxt(tmp_path / "r.csv", delimiter=",", skip_header=1)
    for column, curve in enumerate([response.frequency, response.magnitude_db, response.phase_deg,
                                    response.group_delay]):
        np.testing.assert_allclose(table[:, column], curve, rtol=1e-5, atol=1e-9)


def test_design_warns_where_its_taps_miss_the_stopband():
    with pytest.warns(kestrum.FilterWarning, match=r"the gain at 0 Hz is -8\.5 dB, not below -64\.0 dB"):
        kestrum.Filter.design("highpass", 80, rate=96000, taps=999)


def _everything_numeric(tmp_path):
    """The results of the calls that compute, as bytes and text."""
    taps = kestrum.Filter.from_taps([0, 1, 2, 0], [0.1, -0.3, 0.7, 1e-40])
    text = kestrum.Filter.from_text("tenths\n3\n0 0.1\n1 -0.3\n2 0.7\n")
    designed = kestrum.Filter.design("lowpass", 3000, rate=44100, attenuation=60, transition=500)
    response = designed.response(44100, points=64)
    samples = np.random.default_rng(5).integers(-20000, 20000, (600, 2)).astype(np.int16)
    stream = text.stream(channels=2)
    source, target = tmp_path / "in.wav", tmp_path / "out.wav"
    kestrum.write_wav(source, samples, 44100)
    kestrum.filter_file(source, target, lowpass_wav(tmp_path), kernel="auto")
    return [taps.coefficients.tobytes(), taps.text(), text.coefficients.tobytes(), designed.text(),
            str(response), response.magnitude_db.tobytes(), response.group_delay.tobytes(),
            text.apply(samples).tobytes(), stream.apply(samples).tobytes(), target.read_bytes()]


def lowpass_wav(tmp_path):
    """A float64 impulse response with taps that round differently."""
    path = tmp_path / "ir.wav"
    kestrum.write_wav(path, np.array([0.1, 0.3, -0.7, 1e-41, 0.05]), 44100)
    return path


@pytest.mark.parametrize("mode", ["upward", "downward", "toward zero"])
def test_calls_compute_as_in_the_default_rounding_mode(tmp_path, mode):
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    rounding = {"upward": 0x800, "downward": 0x400, "toward zero": 0xc00}[mode]  # x86's FE_ values
    want = _everything_numeric(tmp_path)
    assert libm.fesetround(rounding) == 0
    try:
        got = _everything_numeric(tmp_path)
        assert libm.fegetround() == rounding, "the caller's rounding mode is not restored"
    finally:
        libm.fesetround(0)
    assert got == want


def test_filters_from_text_and_taps_agree_and_odd_files_warn():
    text = "Smoothing\n3\n0 0.25\n1 0.5\n2 0.25\n"
    from_text = kestrum.Filter.from_text(text)
    from_taps = kestrum.Filter.from_taps([0, 1, 2], [0.25, 0.5, 0.25], "Smoothing")
    assert from_text.taps == from_taps.taps == [(0, 0.25), (1, 0.5), (2, 0.25)]
    assert from_taps.text() == text and len(from_text) == 3
    with pytest.warns(kestrum.FilterWarning, match="delay"):
        kestrum.Filter.from_text("odd\n1\n20000 1\n", "odd.fir")
