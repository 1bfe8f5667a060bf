"""kestrum.dask on a local cluster of two worker processes on the loopback
interface: files and long signals give the bytes of one run, also when a
file fails, a chunk fails or a worker dies."""

import os
import re
import shutil
import signal as signals
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import kestrum

distributed = pytest.importorskip("distributed", reason="Dask (python3-distributed) is not installed")
kd = pytest.importorskip("kestrum.dask", reason="Dask (python3-dask) is not installed")

from test_kestrum import CLI, DATA, FORMAT, needs_cli, run_cli, signal  # noqa: E402

# Delays up to the longest the kernel keeps (16383), one beyond it (taken
# modulo 16384), and a gain that pushes samples beyond the sample width.
LONG = kestrum.Filter.from_taps([0, 1, 37, 4000, 16383, 20000], [0.9, -0.6, 0.5, 0.3, 0.45, -0.2], "long")
HEAVY = kestrum.Filter.design("lowpass", 3000, rate=48000, taps=999)


@pytest.fixture(scope="module")
def client():
    cluster = kd.local_cluster(2, 1, death_timeout=60)
    try:
        with distributed.Client(cluster, timeout=60) as client:
            yield client
    finally:
        cluster.close(timeout=30)


def hidden_files(folder):
    return [name for name in os.listdir(folder) if name.startswith(".")]


def wav_files(folder, formats, frames, seed=0):
    """One WAV file per (dtype, channels) in folder."""
    paths = []
    for i, (dtype, channels) in enumerate(formats):
        path = folder / f"{np.dtype(dtype).name}-{channels}-{i}.wav"
        kestrum.write_wav(path, signal(dtype, frames, channels, seed + i), 48000, format=FORMAT[dtype])
        paths.append(path)
    return paths


@needs_cli
def test_files_on_the_cluster_give_the_tool_bytes(client, tmp_path):
    (tmp_path / "in").mkdir()
    good = wav_files(tmp_path / "in", [(np.uint8, 0), (np.int16, 2), (np.int32, 2), (np.float32, 0),
                                       (np.float64, 2)], 30011)
    bad = tmp_path / "in" / "bad.wav"
    bad.write_text("not a wav file\n")
    fir = tmp_path / "long.fir"
    LONG.save(fir)
    out = tmp_path / "out"
    out.mkdir()
    kestrum.write_wav(out / "bad.wav", np.zeros(5, np.int16), 8000)  # an older target the failure keeps
    old = (out / "bad.wav").read_bytes()

    reports = kd.filter_files(good + [bad], fir, out, client)
    assert run_cli("-q", "-o", tmp_path / "cli", *good, fir).returncode == 0
    for path, report in zip(good, reports):
        assert report.error is None and report.frames == 30011 and report.overflow.overflowed > 0
        assert (out / path.name).read_bytes() == (tmp_path / "cli" / path.name).read_bytes()
    assert "bad.wav" in reports[-1].error and reports[-1].overflow is None
    assert (out / "bad.wav").read_bytes() == old and not hidden_files(out)

    # The shell form: the same bytes, the tool's summary and exit status.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-m", "kestrum.dask", "--scheduler", client.scheduler.address,
                          "-o", tmp_path / "shell", good[1], good[4], bad, fir], capture_output=True, text=True,
                         env=env, timeout=120)
    assert run.returncode == 1 and run.stdout == ""
    assert "2 of 3 files written to" in run.stderr and "kestrum: 1 of 3 files failed" in run.stderr
    assert "exceeded the 16-bit range" in run.stderr and "exceeded full scale (-1 to 1)" in run.stderr
    for wrap in ([], ["--wrap"]):  # the tool's overflow warnings, word for word
        shell = subprocess.run([sys.executable, "-m", "kestrum.dask", "--scheduler", client.scheduler.address,
                                *wrap, "-o", tmp_path / f"shell{len(wrap)}", good[1], good[4], fir],
                               capture_output=True, text=True, env=env, timeout=120)
        tool = run_cli(*wrap, "-o", tmp_path / f"tool{len(wrap)}", good[1], good[4], fir)
        warned = [sorted(line for line in r.stderr.splitlines() if "exceeded" in line) for r in (shell, tool)]
        assert len(warned[0]) == 2 and warned[0] == warned[1], (shell.stderr, tool.stderr)
    assert (tmp_path / "shell" / good[1].name).read_bytes() == (out / good[1].name).read_bytes()
    duplicate = subprocess.run([sys.executable, "-m", "kestrum.dask", "-o", tmp_path, good[0], good[0], fir],
                               capture_output=True, text=True, env=env, timeout=120)
    assert duplicate.returncode == 2 and "would both be written" in duplicate.stderr
    # The engines are filter_file's, by the same names.
    with pytest.raises(ValueError, match="kernel 'slow': 'auto', 'reference', 'fast', 'fft' or 'exact' are accepted"):
        kd.filter_files(good, fir, out, client, kernel="slow")
    assert kd.filter_files(good[1:2], fir, tmp_path / "fft", client, kernel="fft")[0].error is None
    assert run_cli("-q", "--fft", good[1], tmp_path / "fft.wav", fir).returncode == 0
    assert (tmp_path / "fft" / good[1].name).read_bytes() == (tmp_path / "fft.wav").read_bytes()
    idle = subprocess.run([sys.executable, "-m", "kestrum.dask", "--workers", "0", "-o", tmp_path, good[0], fir],
                          capture_output=True, text=True, env=env, timeout=120)  # no worker: would wait forever
    assert idle.returncode == 2 and "--workers 0" in idle.stderr


@pytest.mark.parametrize("dtype, channels, clip", [(np.uint8, 0, None), (np.int16, 2, False),
                                                    (np.int32, 2, None), (np.float32, 0, None)])
def test_a_long_signal_in_chunks_equals_one_run(client, tmp_path, dtype, channels, clip):
    x = signal(dtype, 200_003, channels)
    source = tmp_path / "source.wav"
    kestrum.write_wav(source, x, 48000, format=FORMAT[dtype])
    one_run = LONG.apply(x, clip=clip).tobytes()
    # Chunks of odd sizes, and chunks shorter than the filter's 16383 frames of history.
    for chunk in (49_999, 4_099):
        frames = kd.read_wav(source, chunk).samples
        y = kd.filter_array(frames, LONG, clip=clip)
        assert y.chunks == frames.chunks
        assert y.compute().tobytes() == one_run
    kd.write_wav(kd.filter_array(kd.read_wav(source, 65_537).samples, LONG, clip=clip), tmp_path / "out.wav",
                 48000, format=FORMAT[dtype])
    # Float arrays are kept as they are; a float file's run clamps them unless told not to.
    kestrum.filter_file(source, tmp_path / "run.wav", LONG, clip=clip is None and not np.issubdtype(dtype, np.floating))
    assert (tmp_path / "out.wav").read_bytes() == (tmp_path / "run.wav").read_bytes()


# A long filter runs on the FFT engine, whose blocks mix their frames: chunks
# are filtered as pieces of whole blocks, each after the blocks its output
# depends on. Float64 shows any change of arithmetic; 17001 and 17739 taps
# make several partitions of 8192; 12000 frames are fewer than the taps.
@pytest.mark.parametrize("kind, dtype, channels", [("wav", np.int16, 2), ("design", np.float64, 2),
                                                   ("filter", np.float32, 0), ("filter", np.float64, 0)])
def test_a_long_filter_in_chunks_equals_one_apply(tmp_path, kind, dtype, channels):
    da = pytest.importorskip("dask.array")
    kestrum.write_wav(tmp_path / "ir.wav", signal(np.float32, 3000, 0) * np.float32(0.02), 48000)
    filter = {"wav": tmp_path / "ir.wav", "design": "lowpass:3000:17001taps",
              "filter": kestrum.Filter.design("lowpass", 3000, rate=48000, transition=10)}[kind]
    whole = kd._as_filter(filter, 48000)
    assert whole.is_long
    for frames, chunk in [(70_001, 9_001), (70_001, 4_099), (70_001, 33_333), (12_000, 5_000)]:
        x = signal(dtype, frames, channels)
        y = kd.filter_array(da.from_array(x, chunks=(chunk,) + x.shape[1:]), filter, rate=48000)
        assert y.chunks[0] == da.from_array(x, chunks=chunk).chunks[0]
        assert y.compute().tobytes() == whole.apply(x).tobytes(), (frames, chunk)
    if dtype != np.int16:
        x = signal(dtype, 70_001, channels)
        x[54_321] = np.nan
        with pytest.raises(kestrum.MathError) as error:
            kd.filter_array(da.from_array(x, chunks=9_001), filter, rate=48000).compute()
        assert error.value.frame == 54_321


@pytest.mark.parametrize("start, count", [(0, None), (7, None), (7, 20), (7, 0), (95, 20), (200, None)])
def test_read_wav_takes_start_and_count_as_kestrum_read_wav(tmp_path, start, count):
    kestrum.write_wav(tmp_path / "in.wav", signal(np.int16, 100, 2), 8000)
    want = kestrum.read_wav(tmp_path / "in.wav", start, count).samples
    got = kd.read_wav(tmp_path / "in.wav", 16, start=start, count=count).samples.compute(scheduler="sync")
    assert got.shape == want.shape and got.tobytes() == want.tobytes()


def test_filter_array_takes_a_design_at_the_rate_it_is_given(tmp_path):
    da = pytest.importorskip("dask.array")
    x = signal(np.int16, 20_000, 2)
    kestrum.write_wav(tmp_path / "in.wav", x, 48000)
    kestrum.write_wav(tmp_path / "ir.wav", np.ones(1500, np.float32) / 1500, 48000)
    frames = kd.read_wav(tmp_path / "in.wav", 3_001).samples
    kd.write_wav(kd.filter_array(frames, "lowpass:3000", rate=48000), tmp_path / "out.wav", 48000,
                 client=None)
    kestrum.filter_file(tmp_path / "in.wav", tmp_path / "run.wav", "lowpass:3000")
    assert (tmp_path / "out.wav").read_bytes() == (tmp_path / "run.wav").read_bytes()
    with pytest.raises(ValueError, match=re.escape("'lowpass:3000' is a design, which needs a rate to be made at: "
                                                   "give rate=")):
        kd.filter_array(frames, "lowpass:3000")


def _module(*args):
    """python3 -m kestrum.dask with args: the finished process and its seconds."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    began = time.monotonic()
    run = subprocess.run([sys.executable, "-m", "kestrum.dask", *map(str, args)], capture_output=True, text=True,
                         env=env, timeout=120)
    return run, time.monotonic() - began


def _refused_address():
    import socket
    with socket.socket() as free:
        free.bind(("127.0.0.1", 0))
        return f"tcp://127.0.0.1:{free.getsockname()[1]}"  # closed again: nothing listens there


# The shell form's mistakes end at once, with the tool's words and exit
# status, and nothing is started or waited for: a wrong scheduler address, one
# where nothing listens, a position or length that is neither frames nor a time.
@pytest.mark.parametrize("args, status, text", [
    (["--scheduler", "http://127.0.0.1:8787"], 2, "kestrum: --scheduler 'http://127.0.0.1:8787': unknown address "
                                                  "scheme 'http'"),
    (["--scheduler", "tcp://127.0.0.1:port"], 2, "kestrum: --scheduler 'tcp://127.0.0.1:port': "),
    (["--scheduler", None], 1, "kestrum: cannot reach the scheduler 'tcp://127.0.0.1:"),
    (["--start", "1.5x"], 2, "kestrum: --start: expected frames (an integer up to 2147483647) or a time (1.5s, "
                             "250ms, 1:30, 1:02:03.5), found '1.5x'"),
    (["--count", "3000000000"], 2, "kestrum: --count: expected frames"),
    (["--start", "2147483000", "--count", "1000"], 2, "kestrum: --start + --count must not exceed 2147483647"),
])
def test_the_shell_form_refuses_at_once_what_the_tool_refuses(tmp_path, args, status, text):
    args = [arg if arg is not None else _refused_address() for arg in args]
    kestrum.write_wav(tmp_path / "in.wav", np.zeros(10, np.int16), 8000)
    kestrum.Filter.from_taps([0], [1.0]).save(tmp_path / "f.fir")
    run, seconds = _module(*args, "-o", tmp_path / "out", tmp_path / "in.wav", tmp_path / "f.fir")
    assert run.returncode == status and run.stderr.startswith(text), run.stderr
    assert len(run.stderr.splitlines()) == (2 if status == 2 else 1) and "Traceback" not in run.stderr
    assert seconds < 15 and not (tmp_path / "out").exists()


# The shell form takes what kestrum -o takes, for its bytes, its warning
# about a filter made for another rate, and a design's line and shortfalls:
# every kind of filter, times or frames.
@needs_cli
def test_the_shell_form_takes_the_tools_filters_and_times(client, tmp_path):
    (tmp_path / "in").mkdir()
    sources = wav_files(tmp_path / "in", [(np.int16, 2), (np.float32, 0)], 30011)
    kestrum.Filter.design("lowpass", 3000, rate=44100, taps=31).save(tmp_path / "at44100.fir")
    kestrum.write_wav(tmp_path / "ir.wav", np.array([0.5, 0.25, -0.125], np.float32), 48000)
    for i, (filter, times) in enumerate([(tmp_path / "at44100.fir", ["--start", "0.125s", "--count", "0:00.25"]),
                                         (tmp_path / "ir.wav", ["--count", "20000"]),
                                         ("highpass:100:31taps", ["--start", "100ms"])]):
        shell, _ = _module("--scheduler", client.scheduler.address, *times, "-o", tmp_path / f"shell{i}", *sources,
                           filter)
        tool = run_cli(*times, "-o", tmp_path / f"tool{i}", *sources, filter)
        assert shell.returncode == tool.returncode == 0, shell.stderr
        warned = [[line for line in r.stderr.splitlines() if re.search("was made for|^Filter: |too few", line)]
                  for r in (shell, tool)]
        assert warned[0] == warned[1] and len(warned[0]) == (i != 1) + (i == 2), (shell.stderr, tool.stderr)
        for source in sources:
            assert (tmp_path / f"shell{i}" / source.name).read_bytes() == \
                (tmp_path / f"tool{i}" / source.name).read_bytes(), (filter, source.name)


def test_silence_written_in_chunks_stays_holes(client, tmp_path):
    import dask.array as da
    x = np.zeros((1_000_003, 2), np.int16)
    x[500_000] = (7, -7)
    kd.write_wav(da.from_array(x, chunks=(10_007, 2)), tmp_path / "out.wav", 8000, client=client)
    kestrum.write_wav(tmp_path / "one.wav", x, 8000)
    assert (tmp_path / "out.wav").read_bytes() == (tmp_path / "one.wav").read_bytes()
    # The header's block and the loud frame's: the 4 MB of silence take no disk space.
    for name in ("out.wav", "one.wav"):
        stat = os.stat(tmp_path / name)
        assert stat.st_blocks * 512 <= 2 * stat.st_blksize, name


def test_a_failing_chunk_leaves_no_file_and_names_the_frame(client, tmp_path):
    da = pytest.importorskip("dask.array")
    target = tmp_path / "target.wav"
    kestrum.write_wav(target, np.zeros(3, np.int16), 8000)
    old = target.read_bytes()
    x = signal(np.float32, 100_000, 0)
    x[77_777] = np.nan
    with pytest.raises(kestrum.MathError) as error:
        kd.write_wav(kd.filter_array(da.from_array(x, chunks=10_007), LONG), target, 8000)
    assert error.value.frame == 77_777 and "77777" in str(error.value)
    wide = np.zeros(50_000, np.int32)
    wide[40_000] = 1 << 24  # beyond 24 bits, in the last chunk
    with pytest.raises(ValueError, match="24-bit"):
        kd.write_wav(da.from_array(wide, chunks=9_999), target, 8000, format="pcm24")
    with pytest.raises(ValueError, match="frame 40000,"):
        kd.write_wav(kd.filter_array(da.from_array(wide, chunks=9_999), LONG), target, 8000, format="pcm24")
    assert target.read_bytes() == old and not hidden_files(tmp_path)


def test_writers_refuse_what_the_tool_refuses(client, tmp_path):
    da = pytest.importorskip("dask.array")
    (tmp_path / "in").mkdir()
    (tmp_path / "out").mkdir()
    sources = [tmp_path / "in" / "a.wav", tmp_path / "in" / "b.wav"]
    for source in sources:
        kestrum.write_wav(source, signal(np.int16, 1000, 2), 8000)
    shutil.copy(os.path.join(DATA, "ffmpeg_rf64_s16_stereo.wav"), tmp_path / "out" / "a.wav")  # a WAV file too
    (tmp_path / "out" / "b.wav").write_text("notes\n")
    reports = kd.filter_files(sources, LONG, tmp_path / "out", client)
    assert reports[0].error is None and kestrum.read_wav(tmp_path / "out" / "a.wav").samples.shape == (1000, 2)
    assert "exists and is a text file" in reports[1].error
    assert (tmp_path / "out" / "b.wav").read_text() == "notes\n"

    wav = kestrum.read_wav(os.path.join(DATA, "s32_mono.wav"))
    frames = da.from_array(wav.samples, chunks=7)
    cases = [(tmp_path / "out" / "b.wav", {"format": "pcm32"}, FileExistsError, "exists and is a text file"),
             (tmp_path / "back.flac", {"format": "pcm32"}, ValueError, "an audio file (.flac)"),
             (tmp_path / "back.wav", {}, ValueError, "format='pcm32'")]
    for target, options, error, text in cases:
        with pytest.raises(error, match=re.escape(text)):
            kd.write_wav(frames, target, wav.rate, client=client, **options)
    assert (tmp_path / "out" / "b.wav").read_text() == "notes\n" and not (tmp_path / "back.wav").exists()
    kd.write_wav(frames, tmp_path / "back.wav", wav.rate, client=client, format=wav.format)
    back = kestrum.read_wav(tmp_path / "back.wav")
    assert back.format == "pcm32" and back.samples.tobytes() == wav.samples.tobytes()


def test_a_worker_killed_mid_run_leaves_complete_outputs(client, tmp_path):
    da = pytest.importorskip("dask.array")

    def kill_a_worker():
        client.wait_for_workers(2, timeout=60)
        pid = list(client.run(os.getpid).values())[0]
        return lambda *_: killed.append(os.kill(pid, signals.SIGKILL))

    # Files: a worker killed once the first file is done.
    (tmp_path / "in").mkdir()
    sources = wav_files(tmp_path / "in", [(np.int16, 2)] * 12, 96_000)
    killed = []
    kill = kill_a_worker()
    reports = kd.filter_files(sources, HEAVY, tmp_path / "out", client,
                              progress=lambda done, total: killed or kill())
    assert len(killed) == 1 and [report.error for report in reports] == [None] * 12
    for source in sources:
        kestrum.filter_file(source, tmp_path / "one.wav", HEAVY)
        assert (tmp_path / "out" / source.name).read_bytes() == (tmp_path / "one.wav").read_bytes()
    assert not hidden_files(tmp_path / "out")

    # A long signal whose chunks take a while each: a worker killed while they are written.
    x = signal(np.int16, 400_000, 2)
    slow = da.from_array(x, chunks=(10_007, 2)).map_blocks(lambda block: (time.sleep(0.1), block)[1])
    timer = threading.Timer(0.8, kill_a_worker())
    timer.start()
    kd.write_wav(kd.filter_array(slow, LONG), tmp_path / "long.wav", 8000)
    assert len(killed) == 2, "the worker was killed after the run"
    kestrum.write_wav(tmp_path / "one.wav", LONG.apply(x), 8000)
    assert (tmp_path / "long.wav").read_bytes() == (tmp_path / "one.wav").read_bytes()
    assert not hidden_files(tmp_path)
    client.wait_for_workers(2, timeout=60)


def test_the_local_cluster_listens_on_the_loopback_interface_only(client):
    psutil = pytest.importorskip("psutil")
    here = psutil.Process()
    listening = [(process.pid, connection.laddr) for process in [here] + here.children(recursive=True)
                 for connection in process.connections("inet") if connection.status == psutil.CONN_LISTEN]
    # The scheduler and its HTTP server, and per worker its own, its HTTP server and its nanny.
    assert len(listening) >= 2 + 3 * 2, listening
    assert {address.ip for _, address in listening} == {"127.0.0.1"}, listening


def test_the_only_worker_killed_mid_run_fails_no_file(tmp_path):
    (tmp_path / "in").mkdir()
    sources = wav_files(tmp_path / "in", [(np.int16, 2)] * 8, 96_000)
    out = tmp_path / "out"
    out.mkdir()
    # A temporary file of another run writing the same name: not this run's to remove.
    other = out / f".{sources[1].name}.0123456789abcdef.tmp"
    other.write_bytes(b"RIFF")
    killed = []
    with kd.local_cluster(1, 1, death_timeout=60) as cluster, distributed.Client(cluster, timeout=60) as client:
        pid = list(client.run(os.getpid).values())[0]

        def kill(done, total):
            if not killed:
                killed.append(os.kill(pid, signals.SIGKILL))

        reports = kd.filter_files(sources, HEAVY, out, client, progress=kill)
    assert killed and [report.error for report in reports] == [None] * 8
    for source in sources[:2]:
        kestrum.filter_file(source, tmp_path / "one.wav", HEAVY)
        assert (out / source.name).read_bytes() == (tmp_path / "one.wav").read_bytes()
    assert hidden_files(out) == [other.name]
