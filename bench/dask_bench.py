#!/usr/bin/env python3
"""Times kestrum.dask on a local cluster of 1 and 2 worker processes (one
thread each) against the kestrum tool: many short files through
filter_files against ``kestrum -o``, and one long signal through read_wav,
filter_array and write_wav against a single run of the tool. Every output
is compared with the tool's, byte for byte.

    PYTHONPATH=build/python /usr/bin/python3 bench/dask_bench.py [--files 200] [--minutes 30]
        [--cli build/bin/kestrum] [--filter examples/lowpass.fir] [--chunk-frames 4194304]

The sources are 48 kHz stereo 16-bit noise, written to a temporary folder
(--minutes 30 takes 330 MB). Times are the best of --repeat runs, cluster
start-up excluded. The overhead per task is the time of as many empty tasks
as there are files, divided by their count. The overlap's cost is the
frames filtered twice: each chunk after the first also filters the filter's
history before it.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import kestrum
import kestrum.dask as kd

import distributed


def best_of(repeat, call):
    """The best of repeat runs' seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def noise(frames, seed):
    return np.random.default_rng(seed).integers(-16000, 16000, (frames, 2), dtype=np.int16)


def same_files(folder, reference, names):
    return all(open(os.path.join(folder, name), "rb").read() == open(os.path.join(reference, name), "rb").read()
               for name in names)


def _nothing(i):
    return i


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--cli", default="build/bin/kestrum")
    parser.add_argument("--filter", default="examples/lowpass.fir")
    parser.add_argument("--chunk-frames", type=int, default=1 << 22)
    parser.add_argument("--workers", default="1,2")
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    rate = 48000
    fir = os.path.abspath(args.filter)
    filter = kestrum.Filter(fir)
    work = tempfile.mkdtemp(prefix="kestrum-dask-bench-")
    try:
        sources = []
        for i in range(args.files):
            sources.append(os.path.join(work, "in", f"f{i:04d}.wav"))
            os.makedirs(os.path.dirname(sources[-1]), exist_ok=True)
            kestrum.write_wav(sources[-1], noise(rate, i), rate)
        names = [os.path.basename(source) for source in sources]
        long_frames = int(args.minutes * 60 * rate)
        long_source = os.path.join(work, "long.wav")
        kestrum.write_wav(long_source, noise(long_frames, 99), rate)

        rows = []  # (what, workers, seconds, files, frames, equal)
        cli_dir = os.path.join(work, "cli")
        for threads in (1, 2):
            seconds = best_of(args.repeat, lambda: subprocess.run(
                [args.cli, "-q", "--threads", str(threads), "-o", cli_dir, *sources, fir], check=True))
            rows.append((f"files, kestrum -o --threads {threads}", threads, seconds, args.files,
                         args.files * rate, True))
        cli_long = os.path.join(work, "cli-long.wav")
        for threads in (1, 2):
            seconds = best_of(args.repeat, lambda: subprocess.run(
                [args.cli, "-q", "--threads", str(threads), long_source, cli_long, fir], check=True))
            rows.append((f"long, kestrum --threads {threads}", threads, seconds, 1, long_frames, True))

        overheads = {}
        long_target = os.path.join(work, "dask-long.wav")
        for workers in [int(w) for w in args.workers.split(",")]:
            with kd.local_cluster(workers, 1) as cluster, distributed.Client(cluster) as client:
                client.gather(client.map(_nothing, range(workers * 4)))  # workers warmed up
                empty = best_of(args.repeat, lambda: client.gather(client.map(_nothing, range(args.files),
                                                                               pure=False)))
                overheads[workers] = empty / args.files
                out = os.path.join(work, f"dask-{workers}")
                seconds = best_of(args.repeat, lambda: kd.filter_files(sources, filter, out, client))
                rows.append((f"files, filter_files", workers, seconds, args.files, args.files * rate,
                             same_files(out, cli_dir, names)))

                def long_run():
                    wav = kd.read_wav(long_source, args.chunk_frames)
                    kd.write_wav(kd.filter_array(wav.samples, filter), long_target, wav.rate, client)

                seconds = best_of(args.repeat, long_run)
                equal = open(long_target, "rb").read() == open(cli_long, "rb").read()
                rows.append(("long, filter_array", workers, seconds, 1, long_frames, equal))

        print(f"{args.files} files of 1 s and {args.minutes:g} min, 48 kHz stereo 16-bit, through "
              f"{os.path.basename(fir)} ({len(filter)} taps), on {os.cpu_count()} cores")
        print("(workers: worker processes of the cluster, or the tool's threads)")
        print(f"{'run':34} {'workers':>7} {'seconds':>8} {'files/s':>8} {'Mframes/s':>10} {'same bytes':>10}")
        for what, workers, seconds, files, frames, equal in rows:
            per_file = f"{files / seconds:8.1f}" if what.startswith("files") else f"{'-':>8}"
            print(f"{what:34} {workers:7d} {seconds:8.2f} {per_file} {frames / seconds / 1e6:10.2f} "
                  f"{'yes' if equal else 'NO':>10}")
        for kind in ("files", "long"):
            one = [r for r in rows if r[0].startswith(kind) and "kestrum" not in r[0] and r[1] == 1]
            two = [r for r in rows if r[0].startswith(kind) and "kestrum" not in r[0] and r[1] == 2]
            if one and two:
                print(f"speed-up of 2 workers over 1, {kind}: {one[0][2] / two[0][2]:.2f}")
        for workers, seconds in overheads.items():
            print(f"overhead per task, {workers} worker(s): {seconds * 1e3:.2f} ms (an empty task)")
        chunks = -(-long_frames // args.chunk_frames)
        history = kd.history(filter)
        extra = (chunks - 1) * history
        print(f"overlap: {chunks} chunks of {args.chunk_frames} frames, {history} frames of history each: "
              f"{extra} extra frames filtered, {100 * extra / long_frames:.4f}% of the signal")
        return 0 if all(row[5] for row in rows) else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
