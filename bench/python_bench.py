#!/usr/bin/env python3
"""Times kestrum.Filter.apply on 60 s of 44.1 kHz stereo 16-bit noise, with
1000 taps and with 3 sparse taps, against the same through the kestrum tool
(file to file), scipy.signal.lfilter and scipy.signal.oaconvolve, with 1 and
2 threads where they take threads. What is missing (the tool, scipy) is
skipped.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py [--seconds S] [--cli build/bin/kestrum]

lfilter's time grows with the filter's length, zeros included: for a long
sparse filter it runs on a tenth of the signal and its time is scaled up
(marked *). Times are the best of three runs, lfilter's of one. The last column says whether a method's samples are those of
apply, bit for bit.
"""

import argparse
import os
import subprocess
import tempfile
import threading
import time

import numpy as np

import kestrum

try:
    from scipy import signal as scipy_signal
except ImportError:
    scipy_signal = None


def timed(call, repeat=3):
    """The best of repeat runs' seconds, and the result."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def two_python_threads(filter, x):
    """apply on each channel in its own Python thread (threads=1 each)."""
    out = [None, None]

    def run(c):
        out[c] = filter.apply(np.ascontiguousarray(x[:, c]), threads=1)

    workers = [threading.Thread(target=run, args=(c,)) for c in (0, 1)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return np.stack(out, axis=1)


def rows_for(name, filter, x, rate, cli, folder):
    b = np.zeros(int(filter.delays.max()) + 1)
    np.add.at(b, filter.delays, filter.coefficients.astype(np.float64))
    rows = []
    reference = None
    for threads in (1, 2):
        seconds, y = timed(lambda: filter.apply(x, threads=threads))
        reference = y if reference is None else reference
        rows.append((f"apply, threads={threads}", seconds, np.array_equal(y, reference)))
    seconds, y = timed(lambda: two_python_threads(filter, x))
    rows.append(("apply, 2 Python threads (a channel each)", seconds, np.array_equal(y, reference)))
    if cli:
        source, target, fir = (os.path.join(folder, n) for n in ("in.wav", "out.wav", name + ".fir"))
        kestrum.write_wav(source, x, rate)
        filter.save(fir)
        for threads in (1, 2):
            seconds, done = timed(lambda: subprocess.run([cli, "-q", "--clip", "--threads", str(threads),
                                                          source, target, fir]))
            same = done.returncode == 0 and np.array_equal(kestrum.read_wav(target).samples, reference)
            rows.append((f"kestrum tool, --threads {threads} (file to file)", seconds, same))
    if scipy_signal is not None:
        part = x if len(b) <= 1000 else x[: len(x) // 10]
        seconds, y = timed(lambda: scipy_signal.lfilter(b, [1.0], part.astype(np.float64), axis=0), 1)
        scale = len(x) / len(part)
        exact = np.array_equal(np.clip(np.rint(y), -32768, 32767).astype(np.int16), reference[: len(part)])
        rows.append(("scipy lfilter (float64)" + (" *" if scale > 1 else ""), seconds * scale, exact))
        seconds, y = timed(lambda: scipy_signal.oaconvolve(x.astype(np.float64), b[:, None], axes=0)[: len(x)])
        exact = np.array_equal(np.clip(np.rint(y), -32768, 32767).astype(np.int16), reference)
        rows.append(("scipy oaconvolve (float64, FFT)", seconds, exact))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0, help="signal length (default 60)")
    default_cli = os.path.join(os.path.dirname(__file__), "..", "build", "bin", "kestrum")
    parser.add_argument("--cli", default=default_cli if os.path.exists(default_cli) else None,
                        help="the kestrum tool (default build/bin/kestrum if built)")
    args = parser.parse_args()
    rate = 44100
    rng = np.random.default_rng(7)
    x = (rng.standard_normal((int(args.seconds * rate), 2)) * 3000).clip(-32768, 32767).astype(np.int16)
    filters = {
        "1000 taps": kestrum.Filter.from_taps(np.arange(1000), rng.uniform(-1e-3, 1e-3, 1000), "dense"),
        "3 sparse taps": kestrum.Filter.from_taps([0, 2205, 4410], [0.6, 0.3, 0.1], "echo"),
    }
    print(f"{args.seconds:g} s of {rate} Hz stereo int16, {os.cpu_count()} cores")
    if scipy_signal is None:
        print("scipy not found: lfilter and oaconvolve skipped")
    if not args.cli:
        print("kestrum tool not found: its rows skipped")
    print(f"| {'filter':<14}| {'method':<46}| {'seconds':>8} | same as apply |")
    print(f"|{'-' * 15}|{'-' * 47}|{'-' * 10}|---------------|")
    with tempfile.TemporaryDirectory(prefix="kestrum-bench-") as folder:
        for name, filter in filters.items():
            for method, seconds, same in rows_for(name.replace(" ", "-"), filter, x, rate, args.cli, folder):
                print(f"| {name:<14}| {method:<46}| {seconds:8.3f} | {'yes' if same else 'no':<13} |")


if __name__ == "__main__":
    main()
