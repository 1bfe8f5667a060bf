"""Kestrum on a Dask cluster: many files, or one long signal, with the same
bytes as one run on one core.

Each output frame depends only on the frames up to the filter's longest
delay (at most 16383) before it, through an arithmetic fixed to the bit, so
a signal cut into pieces and filtered on many machines gives the bytes of
one uninterrupted run. A long filter's FFT engine computes blocks of frames
from the blocks before them alone: pieces of whole blocks give its bytes.

    filter_files(sources, filter, output_dir)   one task per file, as ``kestrum -o DIR``
    filter_array(x, filter)                     a Dask array of frames, chunk by chunk
    read_wav(path, chunk_frames)                a WAV file as a lazy Dask array
    write_wav(array, path, rate)                a Dask array written by the workers
    local_cluster(n_workers)                    a cluster of this machine, on 127.0.0.1 only

From a shell, ``python3 -m kestrum.dask [--scheduler ADDRESS] -o DIR SOURCE...
FILTER`` filters files on a cluster as ``kestrum -o DIR`` does on one machine,
with its FILTER of every kind and its --start and --count.

Files are read and written by the workers: on a cluster of several hosts,
give paths on a file system they all share, under the same names.
"""

import argparse
import os
import re
import sys
import time
import uuid
import warnings
from typing import NamedTuple, Optional

import numpy as np
import dask
import dask.array as da

import kestrum
from kestrum import _kestrum
from kestrum import (Filter, Overflow, Wav, _format_code, _FORMAT_NAMES, _DTYPES, _MAX_CHANNELS, _check_dtype,
                     _integer, _interleaved, _samples, _text)

__all__ = ["filter_files", "FileReport", "filter_array", "history", "read_wav", "write_wav", "local_cluster"]


def _rewarn(notes, stacklevel):
    for note in notes:
        warnings.warn(note, kestrum.FilterWarning, stacklevel=stacklevel + 1)


def _as_filter(filter, rate=None):
    """A Filter of any filter argument: a Filter, or the text of a .fir
    file's path, a WAV impulse response's or a design's, made at rate (Hz;
    a design needs one), as filter_array takes it. Its warnings show on the
    caller's side, pointing at the line that called the public function.
    A long filter is either."""
    if isinstance(filter, Filter):
        return filter
    value, notes = _kestrum.filter_value(os.fspath(filter), 0 if rate is None else _integer(rate, "rate", 1, 2**32 - 1))
    _rewarn(notes, 3)
    return Filter._of(value)


def _shipped(filter):
    """What filter_files sends each task for filter: a Filter, or a design's
    text, which each file makes at its own rate, or else the filter value
    read here once (a .fir or a WAV impulse response), each by value, never a
    path for a worker to read. The reading's warnings show here."""
    if isinstance(filter, (Filter, _kestrum.FilterValue)):
        return filter
    text = os.fspath(filter)
    if _kestrum.is_design(text):
        return text
    value, notes = _kestrum.filter_value(text, 0)
    _rewarn(notes, 3)
    return value


def _client(client):
    """The client given, else the default one; None when there is none."""
    if client is not None:
        return client
    import distributed
    try:
        return distributed.default_client()
    except ValueError:
        return None


def local_cluster(n_workers=None, threads_per_worker=None, **options):
    """A distributed.LocalCluster of worker processes that listens on the
    loopback interface only: its scheduler, workers and nannies, and the
    HTTP servers (dashboard, health) of the scheduler and the workers, each
    on a free port of 127.0.0.1. (A LocalCluster's HTTP servers otherwise
    listen on every interface, dashboard_address=None included.) options go
    to LocalCluster."""
    import distributed
    loopback = "127.0.0.1:0"
    scheduler_options = dict(options.pop("scheduler_kwargs", None) or {}, dashboard=False,
                             dashboard_address=loopback)
    return distributed.LocalCluster(n_workers=n_workers, threads_per_worker=threads_per_worker, processes=True,
                                    host="127.0.0.1", dashboard_address=loopback,
                                    worker_dashboard_address=loopback, scheduler_kwargs=scheduler_options,
                                    **options)


def _compute(collections, client):
    """Computes collections on client, else on the default scheduler."""
    client = _client(client)
    if client is None:
        return dask.compute(*collections)
    return client.compute(list(collections), sync=True)


# ---------------------------------------------------------------- many files

class FileReport(NamedTuple):
    """What one file of filter_files gave: its source and target, the frames
    written, their rate and format ("pcm16"...; 0 and None when it failed),
    the run's Overflow (None when it failed), the error message (None
    when it succeeded), and for a MathError its frame (else None)."""
    source: str
    target: str
    frames: int
    rate: int
    format: Optional[str]
    overflow: Optional[Overflow]
    error: Optional[str]
    frame: Optional[int] = None


def _plan(sources, output_dir):
    """The target of each source in output_dir; raises ValueError, before
    anything is written, when two sources would write the same target, a
    target would be its own source, or a source is '-'."""
    targets, source_of = [], {}
    for source in sources:
        source = os.fspath(source)
        if source == "-":
            raise ValueError("SOURCE '-' cannot be used with an output folder")
        target = os.path.join(output_dir, os.path.basename(source))
        key = os.path.abspath(target)
        if key in source_of:
            raise ValueError(f"'{source_of[key]}' and '{source}' would both be written to '{target}'")
        source_of[key] = source
        if os.path.exists(target) and os.path.exists(source) and os.path.samefile(source, target):
            raise ValueError(f"'{target}' is the source itself; choose another output folder")
        targets.append(target)
    return targets


def _remove_temporaries(targets, tag):
    """Removes the temporary files that a run tagged tag left beside its
    targets when a process writing one died: hidden names ending in
    ".TAG.RANDOM.tmp". Other runs' temporary files, tagged otherwise or not
    at all, stay."""
    pattern = re.compile(r"\..*\." + re.escape(tag) + r"\.[0-9a-f]{16}\.tmp")
    folders = {os.path.dirname(path) for target in targets for path in (target, os.path.realpath(target))}
    for folder in folders:
        try:
            for entry in os.listdir(folder or "."):
                if pattern.fullmatch(entry):
                    os.remove(os.path.join(folder, entry))
        except OSError:
            pass


def _filter_one(source, target, shown, filter, start, count, clip, kernel, threads, force, tag,
                names=("start", "count")):
    """One file on a worker, from and to the absolute paths source and
    target, named in its report as shown (source and target as given), its
    temporary file tagged with the run's tag: its FileReport, never an
    exception. start and count: frames or times (text), the times turned
    into frames at the source's rate by the library's rule, whose messages
    name them as names."""
    try:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if _kestrum.is_time(start, names[0]) or _kestrum.is_time(count, names[1]):
            rate = _kestrum.wav_layout(source)[4]
            first, end = _kestrum.frame_range(start, count, rate, *names)
            start, count = str(first), str(end - first)
        with _kestrum.TempNameTag(tag):
            overflow = kestrum.filter_file(source, target, filter, start=start, count=count, clip=clip,
                                           kernel=kernel, threads=threads, force=force)
        _, frames, _, code, rate, _ = _kestrum.wav_layout(target)
        return FileReport(*shown, frames, rate, _FORMAT_NAMES[code], overflow, None)
    except Exception as error:  # one bad file must not stop the others
        message = (str(error) or type(error).__name__).replace(target, shown[1]).replace(source, shown[0])
        if shown[0] not in message:
            message = f"{shown[0]}: {message}"
        return FileReport(*shown, 0, 0, None, None, message, getattr(error, "frame", None))


def filter_files(sources, filter, output_dir, client=None, start=0, count=None, wrap=None, kernel="auto",
                 threads=1, force=False, progress=None, clip=None, _names=("start", "count")):
    """Filters every WAV file of sources into output_dir under its own name,
    one task per file on the workers of client, as ``kestrum -o`` does.

    filter: as filter_file takes it: a Filter, the path of a .fir file or
    of a WAV impulse response, read here once and sent to the workers by
    value, or a design ("lowpass:3000"), made at each source's rate. start,
    count (frames, or
    text: frames or a time such as "2.5s", turned into frames at each
    source's rate; count None, the default, or 0: the whole source), clip
    (None, the default, or True: sums beyond the sample width saturate;
    False: integer samples wrap; wrap=True, deprecated, is clip=False),
    kernel (one of kestrum.KERNELS, default "auto"): as filter_file takes
    them. threads: per file (1 by
    default: the workers run several files at once). force: replace an
    existing target that is not a WAV file (else that file fails).

    Paths are those the workers see, relative ones taken from the current
    folder here. Each target is written as the tool writes it: beside, then
    renamed, so an existing target stays untouched when its file fails, and
    the workers create output_dir. Files are streamed, never loaded whole
    into a worker's memory. client: a distributed Client; None takes the
    default client, else starts a local_cluster() for the call.
    progress(done, total) is called as files finish. The files of a worker
    that dies are run again on another; the run's clean-up then removes the
    temporary files that only its own writers left.

    Returns one FileReport per source, in order: a file that fails has its
    error message instead of raising. Raises ValueError before anything is
    written when two sources would write the same target, one would replace
    its own source, or one is '-'.
    """
    sources = [os.fspath(source) for source in sources]
    output_dir = os.fspath(output_dir)
    targets = _plan(sources, output_dir)
    filter = _shipped(filter)
    clip = kestrum._clip(None, clip, wrap)
    start = kestrum._frames_or_time(start, "start")
    count = "0" if count is None else kestrum._frames_or_time(count, "count")
    # Their text before any file runs; frames alone need no rate to be checked.
    if not (_kestrum.is_time(start, _names[0]) | _kestrum.is_time(count, _names[1])):
        _kestrum.frame_range(start, count, 0, *_names)
    threads = _integer(threads, "threads", 0)
    _kestrum.check_kernel(_text(kernel, "kernel"))
    active = _client(client)
    if active is None:
        import distributed
        with local_cluster() as cluster, distributed.Client(cluster) as local:
            return filter_files(sources, filter, output_dir, local, start, count, None, kernel, threads, force,
                                progress, clip, _names)
    from distributed import as_completed
    absolute = [(os.path.abspath(source), os.path.abspath(target)) for source, target in zip(sources, targets)]
    # Names this run's temporary files, so that the clean-up takes only them.
    tag = "kestrum-" + uuid.uuid4().hex
    # The filter (at most 1000 taps, some kilobytes) goes with every task by
    # value: a task retried after its worker died needs nothing that died
    # with it. Data scattered to the workers, or a task's result, is lost with
    # the last worker holding it and fails or stalls its dependents.
    futures = [active.submit(_filter_one, source, target, shown, filter, start, count, clip, kernel, int(threads),
                             bool(force), tag, tuple(_names), pure=False)
               for (source, target), shown in zip(absolute, zip(sources, targets))]
    index = {future.key: i for i, future in enumerate(futures)}
    reports = [None] * len(futures)
    try:
        for done, future in enumerate(as_completed(futures), 1):
            i = index[future.key]
            if future.status == "finished":
                reports[i] = future.result()
            else:  # the cluster gave up on it (a worker died too often)
                reports[i] = FileReport(sources[i], targets[i], 0, 0, None, None,
                                        f"{sources[i]}: {future.exception() or 'the task was lost'}")
            if progress is not None:
                progress(done, len(futures))
    finally:
        for future in futures:
            future.cancel()
        # A worker killed while writing leaves its temporary file behind.
        try:
            active.submit(_remove_temporaries, [target for _, target in absolute], tag,
                          pure=False).result(timeout=60)
        except Exception:
            pass  # the cluster is gone: nothing more can be done there
    return reports


# ---------------------------------------------------------------- one long signal

def history(filter, rate=None):
    """The frames before a frame that its output depends on: the filter's
    longest delay as the kernel applies it (0 to 16383; a long filter's
    length less one). filter, rate: as filter_array takes them."""
    return max(int(_as_filter(filter, rate).response(1, points=2).max_delay), 0)


def _frames_array(x):
    """x checked as a Dask array of frames, its channels in one chunk."""
    if not isinstance(x, da.Array):
        raise TypeError(f"expected a dask array of frames, got {type(x).__name__}")
    _check_dtype(x.dtype)
    if not (x.ndim == 1 or (x.ndim == 2 and 1 <= x.shape[1] <= _MAX_CHANNELS)):
        raise ValueError(f"frames of shape {x.shape} are not accepted: give a 1-D array (mono) or a 2-D array "
                         f"of frames x channels, with 1 to {_MAX_CHANNELS} channels")
    if any(np.isnan(size) for size in x.shape):
        raise ValueError("the array's chunk sizes are unknown: compute them first (x.compute_chunk_sizes())")
    return x.rechunk({1: -1}) if x.ndim == 2 else x


def _filter_block(block, filter, clip, threads, warm_frames, code=None, first=None, block_info=None):
    """A block of the overlapped array (whose first frame is frame first of
    the whole, else the block's own place): its frames filtered after the
    warm ones, which only give the history and are dropped. Errors name a
    failing frame (a sum that cannot be stored, a 24-bit sample out of
    range, a sample that is not a finite number) by its number in the whole
    signal. Samples clipped or wrapped among the block's own frames give a
    FilterWarning with their count."""
    if first is None:
        first = block_info[None]["array-location"][0][0]
        warm = warm_frames if first > 0 else 0
    else:
        warm = warm_frames
    out, overflow, clip = filter._apply(block, None, threads, clip, first - warm, code)
    if warm and overflow.overflowed:
        # The warm frames' outputs are the same filtered alone (a long filter's too: they are whole
        # blocks from the start of the run): what they met is the earlier block's.
        _, before, _ = filter._apply(block[:warm], None, threads, clip, first - warm, code)
        overflow = overflow._replace(samples=overflow.samples - before.samples,
                                     overflowed=overflow.overflowed - before.overflowed)
    kestrum._warn_overflow(overflow, clip, block.dtype, stacklevel=2, code=code)
    return out[warm:]


def filter_array(x, filter, wrap=None, threads=1, clip=None, format=None, rate=None):
    """The Dask array of x filtered: every chunk equals, bit for bit, the
    same frames of one uninterrupted Filter.apply over the whole of x.

    x: a Dask array of frames (time along axis 0; 1-D mono, or 2-D with 1 to
    64 channels along axis 1), of uint8, int16, int32 (24-bit), float32 or float64,
    chunked along time; the first frame follows silence. filter: a Filter,
    the path of a .fir file or of a WAV impulse response, or a design as the
    tool takes it ("lowpass:3000"), made at rate (Hz), which it then needs. clip, format (and the deprecated wrap): as
    Filter.apply takes them (float sums are kept as they are unless clip is
    true; int32 frames are 24-bit unless format is "pcm32", as read_wav gives
    a 32-bit file's); each chunk that clips or wraps samples gives a
    FilterWarning with their count. threads: per chunk.

    Each chunk is filtered after the history(filter) frames before it, which
    Dask's overlap hands it; chunks shorter than that are first merged with
    their neighbours, and the result is cut back into x's chunks. A long
    filter (past 1000 taps, on the FFT engine) is run over pieces of whole
    blocks of the engine, x's chunk boundaries moved back to one, each after
    the blocks its output depends on. A MathError, or a ValueError for a 24-bit sample out of range, names the
    failing frame counted over the whole signal.
    """
    x = _frames_array(x)
    filter = _as_filter(filter, rate)
    threads = _integer(threads, "threads", 0)
    clip = kestrum._clip(x.dtype, clip, wrap)
    code = kestrum._array_code(x.dtype, format)
    frames = x.shape[0]
    if filter.is_long and len(x.chunks[0]) > 1:
        return _filter_long(x, filter, clip, threads, code)
    depth = 0 if filter.is_long else min(history(filter), frames)
    if depth == 0 or len(x.chunks[0]) == 1:
        return x.map_blocks(_filter_block, filter=filter, clip=clip, threads=int(threads), warm_frames=0,
                            code=code, dtype=x.dtype, meta=np.empty((0,) * x.ndim, x.dtype))
    overlapped = da.overlap.overlap(x, depth={0: (depth, 0)}, boundary={0: "none"}, allow_rechunk=True)
    merged_chunks = da.overlap.ensure_minimum_chunksize(depth, x.chunks[0])
    out = overlapped.map_blocks(_filter_block, filter=filter, clip=clip, threads=int(threads),
                                warm_frames=depth, code=code, chunks=(merged_chunks,) + x.chunks[1:], dtype=x.dtype,
                                meta=np.empty((0,) * x.ndim, x.dtype))
    return out.rechunk(x.chunks)


def _filter_long(x, filter, clip, threads, code):
    """filter_array through a long filter, on the FFT engine: pieces of
    whole blocks (x's chunk boundaries moved back to the block before them),
    each run from as many frames before it as the engine's rule asks, their
    output dropped; the result cut back into x's chunks."""
    block, warm = _kestrum.fft_pieces(filter._native)
    frames = x.shape[0]
    inner = np.cumsum(x.chunks[0])[:-1]
    ends = sorted({int(end) // block * block for end in inner} - {0} | {frames})
    pieces, start = [], 0
    for end in ends:
        low = max(0, start - warm)
        piece = x[low:end].rechunk({0: -1})
        pieces.append(piece.map_blocks(_filter_block, filter=filter, clip=clip, threads=int(threads),
                                       warm_frames=start - low, first=start, code=code,
                                       chunks=((end - start,),) + piece.chunks[1:], dtype=x.dtype,
                                       meta=np.empty((0,) * x.ndim, x.dtype)))
        start = end
    return da.concatenate(pieces, axis=0).rechunk(x.chunks)


class _WavFrames:
    """The frames of a WAV file, read in place by slicing: what
    dask.array.from_array needs. Pickles as its path and layout, so that
    each worker maps the file itself."""

    def __init__(self, path, offset, frames, channels, code):
        self.path, self.offset, self.channels, self.code = path, offset, channels, code
        self.dtype = _DTYPES[code]
        self.shape = (frames,) if channels == 1 else (frames, channels)
        self.ndim = len(self.shape)
        self.frame_bytes = channels * (3 if code == 2 else self.dtype.itemsize)

    def __getitem__(self, key):
        key = key if isinstance(key, tuple) else (key,)
        first, stop, step = key[0].indices(self.shape[0])
        count = max(stop - first, 0)
        if count == 0:
            data = np.empty(0, np.uint8)
        else:
            data = np.array(np.memmap(self.path, np.uint8, "r", offset=self.offset + first * self.frame_bytes,
                                      shape=(count * self.frame_bytes,)))
        if self.code != 2:
            data = data.view(self.dtype.newbyteorder("<")).astype(self.dtype, copy=False).view(np.uint8)
        frames = _samples(data, self.code, (count,) + self.shape[1:], False)
        return frames[(slice(None, None, step),) + key[1:]]


def read_wav(path, chunk_frames=1 << 20, start=0, count=None):
    """Opens a WAV file (8-, 16-, 24-, 32-bit PCM or 32-, 64-bit float, 1 to
    64 channels; a 32-bit PCM file gives int32 samples of format "pcm32",
    which filter_array takes with format="pcm32") as a Wav whose samples are
    a Dask array of chunk_frames frames a chunk, read in place from the file
    (memory-mapped) only when computed: on a cluster, each worker reads its
    own chunks. start: the first frame; count: at most this many frames
    (None: to the end), as kestrum.read_wav takes them. Raises FileError now
    for a file Kestrum's reader refuses."""
    path = os.path.abspath(os.fspath(path))
    if not os.path.isfile(path):
        raise kestrum.FileError(f"'{path}' is not a regular file: a Dask array reads a file in place")
    chunk_frames = _integer(chunk_frames, "chunk_frames", 1, 2**63 - 1)
    start = _integer(start, "start", 0, 2**63 - 1)
    count = None if count is None else _integer(count, "count", 0, 2**63 - 1)
    offset, frames, channels, code, rate, mask = _kestrum.wav_layout(path)
    frames_of = _WavFrames(path, offset, frames, channels, code)
    stat = os.stat(path)
    name = "kestrum-wav-" + dask.base.tokenize(path, stat.st_mtime_ns, stat.st_size, int(chunk_frames))
    array = da.from_array(frames_of, chunks=(int(chunk_frames),) + frames_of.shape[1:], name=name, lock=False,
                          asarray=True, fancy=False, meta=np.empty((0,) * frames_of.ndim, frames_of.dtype))
    if start or count is not None:
        array = array[start:None if count is None else start + count]
    return Wav(array, int(rate), _FORMAT_NAMES[code], int(mask))


class _WavRegion:
    """The frames of a pre-sized WAV file being written, written by slicing
    assignment at their own offsets: what dask.array.store needs. Each
    assignment reaches the disk before it returns; its blocks of zeros
    (silence) stay holes, as Kestrum's writer leaves them."""

    def __init__(self, path, offset, frame_bytes, code):
        self.path, self.offset, self.frame_bytes, self.code = path, offset, frame_bytes, code

    def __setitem__(self, key, value):
        key = key if isinstance(key, tuple) else (key,)
        data = _interleaved(np.ascontiguousarray(value), self.code)[0]
        position = self.offset + key[0].start * self.frame_bytes
        _kestrum.write_sparse_at(self.path, data, position)


def write_wav(array, path, rate, client=None, format=None, force=False, mask=0):
    """Writes a Dask array of frames (as filter_array takes) as a WAV file at
    rate Hz, in format (as kestrum.write_wav takes it: int32 frames need
    "pcm24" or "pcm32"), each chunk written by the worker
    that computes it at its own offset in a file sized beforehand, the
    header last. The file is written beside path and renamed over it once
    complete: a failure leaves an existing file untouched and no partial
    one. On a cluster of several hosts, path must be on a file system they
    share. client: a distributed Client, else the default scheduler.

    A file beyond the 4 GiB a WAV header describes is written as RF64. An
    existing file that is not a WAV file, or a name ending in .fir or another
    audio format's extension, is refused as kestrum.write_wav refuses it
    (FileExistsError, ValueError) unless force is true. mask: the channel
    mask, as read_wav's Wav.mask gives it (0: none).
    Raises ValueError for no frames, FileError or KestrumError with
    Kestrum's messages."""
    x = _frames_array(array)
    frames = x.shape[0]
    if frames == 0:
        raise ValueError(f"frames of shape {x.shape}: a WAV file holds at least one")
    name = os.fspath(path)
    if name == "-" or (os.path.exists(name) and not os.path.isfile(name)):
        raise ValueError(f"'{name}' is not a regular file: chunks are written at their offsets in a file")
    code = _format_code(x.dtype, format)
    _kestrum.check_target(name, bool(force))
    name = os.path.abspath(name)
    channels = 1 if x.ndim == 1 else x.shape[1]
    frame_bytes = channels * (3 if code == 2 else x.dtype.itemsize)
    header = _kestrum.wav_header(name, channels, code, _integer(rate, "rate", 1, 2**32 - 1), frames,
                                 _integer(mask, "mask", 0, 2**32 - 1))
    data_bytes = frames * frame_bytes
    replacement = _kestrum.Replacement()
    replacement.open(name)
    try:
        temporary = replacement.temp_name
        os.truncate(temporary, len(header) + data_bytes + (data_bytes & 1))
        _compute([da.store(x, _WavRegion(temporary, len(header), frame_bytes, code), lock=False, compute=False)],
                 client)
        fd = os.open(temporary, os.O_WRONLY | os.O_CLOEXEC)
        try:
            os.pwrite(fd, header, 0)
        finally:
            os.close(fd)
        replacement.commit()
    finally:
        replacement.discard()


# ---------------------------------------------------------------- command line

# Seconds to wait for a scheduler: one that is up answers at once.
_CONNECT_SECONDS = 5


def _scheduler_problem(address):
    """Why address is not one a client connects to, or None: the scheme and
    the host and port as distributed reads them."""
    from distributed.comm import parse_address
    from distributed.comm.addressing import get_address_host_port
    try:
        parse_address(address)
        get_address_host_port(address)
    except (ValueError, TypeError) as error:
        return f"{error}; give tcp://HOST:PORT (8786 being the scheduler's usual port)"
    return None


def _probe(address):
    """Raises OSError at once when nothing listens at address's host and
    port (a refused connection), rather than after a client's retries."""
    import socket
    from distributed.comm.addressing import get_address_host_port
    host, port = get_address_host_port(address)
    socket.create_connection((host, port), timeout=_CONNECT_SECONDS).close()


def _overflow_warning(overflow, wrap, format):
    """The tool's warning for samples beyond the sample width, or None: the
    library's words, and the option that asked for wrapping."""
    text = _kestrum.overflow_warning(overflow.samples, overflow.overflowed, overflow.peak,
                                     _FORMAT_NAMES.index(format), not wrap)
    return (text + (", as --wrap asks" if wrap else "")) if text else None


class _Bar:
    """Files done of the total, on stderr when it is a terminal."""

    def __init__(self, quiet):
        self.shown = not quiet and sys.stderr.isatty()

    def __call__(self, done, total):
        if self.shown:
            filled = 30 * done // max(total, 1)
            sys.stderr.write(f"\r[{'#' * filled}{' ' * (30 - filled)}] {done}/{total} files")
            sys.stderr.flush()

    def clear(self):
        if self.shown:
            sys.stderr.write("\r" + " " * 50 + "\r")


def main(argv=None):
    """``python3 -m kestrum.dask``: returns the exit status, as ``kestrum -o``."""
    parser = argparse.ArgumentParser(
        prog="python3 -m kestrum.dask",
        description="Filter WAV files on a Dask cluster into DIR under their own names, one task per file, "
                    "as 'kestrum -o DIR SOURCE... FILTER' does on one machine.")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="the scheduler's address (tcp://host:8786); without it, a local cluster")
    parser.add_argument("--workers", type=int, metavar="N", help="worker processes of the local cluster")
    parser.add_argument("-o", "--output-dir", required=True, metavar="DIR", help="where the outputs go")
    parser.add_argument("--start", default="0", metavar="POS",
                        help="first source frame to filter: frames or a time (1.5s, 250ms, 1:30; default 0)")
    parser.add_argument("--count", default="0", metavar="LEN",
                        help="how much to filter: frames or a time (default 0: as many frames as the whole "
                             "source holds, counted from --start)")
    arithmetic = parser.add_mutually_exclusive_group()
    arithmetic.add_argument("--clip", action="store_true", help="saturate sums beyond the sample width (default)")
    arithmetic.add_argument("--wrap", action="store_true", help="keep the low bits of such sums instead")
    parser.add_argument("--kernel", choices=kestrum.KERNELS, default="auto",
                        help="the engine, as filter_file takes it (default auto)")
    parser.add_argument("--threads", type=int, default=1, metavar="N", help="threads per file (default 1)")
    parser.add_argument("--force", action="store_true", help="replace existing targets that are not WAV files")
    parser.add_argument("-q", "--quiet", action="store_true", help="print errors only")
    parser.add_argument("files", nargs="+", metavar="SOURCE... FILTER")
    args = parser.parse_args(argv)

    def say(line):
        if not args.quiet:
            print(line, file=sys.stderr, flush=True)

    def usage(message):
        print(f"kestrum: {message}\nRun '{parser.prog} --help' for more.", file=sys.stderr)
        return 2

    if len(args.files) < 2:
        return usage("give one SOURCE or more, then FILTER")
    if args.threads < 0:
        return usage("--threads must not be negative")
    if args.workers is not None and args.workers < 1:
        return usage(f"--workers {args.workers}: a local cluster needs 1 worker or more")
    try:
        timed = _kestrum.is_time(args.start, "--start") | _kestrum.is_time(args.count, "--count")
        if not timed:
            _kestrum.frame_range(args.start, args.count, 0, "--start", "--count")
    except ValueError as error:
        return usage(str(error))
    if args.scheduler:
        problem = _scheduler_problem(args.scheduler)
        if problem:
            return usage(f"--scheduler '{args.scheduler}': {problem}")
    sources, filter_path = args.files[:-1], args.files[-1]
    try:
        _plan(sources, args.output_dir)
    except ValueError as error:
        return usage(str(error))
    try:
        with warnings.catch_warnings(record=True) as notes:
            warnings.simplefilter("always")
            filter = _shipped(filter_path)
    except ValueError as error:  # a design written wrong
        return usage(str(error))
    except kestrum.KestrumError as error:
        print(f"kestrum: {error}", file=sys.stderr)
        return 1
    for note in notes:
        say(f"kestrum: warning: {note.message}")
    import distributed
    began = time.monotonic()
    bar = _Bar(args.quiet)
    try:
        if args.scheduler:
            _probe(args.scheduler)
            client = distributed.Client(args.scheduler, timeout=_CONNECT_SECONDS)
            cluster = None
        else:
            cluster = local_cluster(args.workers)
            client = distributed.Client(cluster)
    except (OSError, TimeoutError) as error:
        print(f"kestrum: cannot reach the scheduler '{args.scheduler}': {error.strerror or error}", file=sys.stderr)
        return 1
    try:
        reports = filter_files(sources, filter, args.output_dir, client, args.start, args.count, None, args.kernel,
                               args.threads, args.force, progress=bar, clip=not args.wrap,
                               _names=("--start", "--count"))
    except KeyboardInterrupt:
        bar.clear()
        print("kestrum: interrupted", file=sys.stderr)
        return 1
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    bar.clear()
    frames, audio = 0, 0.0
    # A design's line and shortfalls, once for each rate it was made at, as the tool prints them.
    if isinstance(filter, str):
        for rate in dict.fromkeys(report.rate for report in reports if report.rate):
            try:
                design, notes = _kestrum.filter_value(filter, rate)
            except (ValueError, kestrum.KestrumError):
                continue  # its files failed, each saying why
            say(f"{_kestrum.design_log_line(design)}: {design.comment}")
            for note in notes:
                say(f"kestrum: warning: {note}")
    # The tool's warning for a filter made for another rate than a source's, once per rate.
    for rate in sorted({report.rate for report in reports if report.rate}):
        warning = "" if isinstance(filter, str) else _kestrum.value_rate_warning(filter, rate)
        if warning:
            say(f"kestrum: warning: {warning}")
    for report in reports:
        if report.error:
            print(f"kestrum: {report.error}", file=sys.stderr)
            continue
        frames += report.frames
        audio += report.frames / report.rate if report.rate else 0
        warning = _overflow_warning(report.overflow, args.wrap, report.format)
        if warning:
            say(f"kestrum: warning: {report.source}: {warning}")
    written = sum(report.error is None for report in reports)
    failed = len(reports) - written
    seconds = time.monotonic() - began
    summary = f"{frames} frames in {seconds:.3f} s"
    if audio > 0 and seconds > 0:
        speed = audio / seconds  # as the tool words it: a slower run is not "0.6 times faster"
        summary += f", {speed:.1f} times {'faster than' if speed >= 1 else 'as fast as'} real time"
    say(f"{written} of {len(reports)} files written to '{args.output_dir}': {summary}")
    if failed:
        print(f"kestrum: {failed} of {len(reports)} files failed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    # Run from the module imported under its own name, so that the tasks'
    # functions pickle by reference to kestrum.dask rather than to __main__.
    from kestrum.dask import main as _main
    sys.exit(_main())
