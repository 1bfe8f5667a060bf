#!/usr/bin/env python3
"""Measures how late filtered audio leaves kestrum when its source is live.

A producer writes a WAV header that says "unknown length", then 10 ms of
44.1 kHz stereo 16-bit noise every 10 ms, for SECONDS seconds (default 5),
into `kestrum - - FILTER`; a reader takes the output as it comes. Prints, for
the first frame and for every frame after, how long after the producer wrote
it its filtered copy came out: first-byte latency, then the median and the
worst.

    scripts/stream-latency.py [FILTER] [SECONDS]    # default examples/lowpass.fir, 5
"""
import os
import random
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
KESTRUM = os.environ.get("KESTRUM", os.path.join(HERE, "..", "build", "bin", "kestrum"))
FILTER = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "examples", "lowpass.fir")
SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0
RATE, CHANNELS, FRAME = 44100, 2, 4
PIECE = RATE // 100 * FRAME  # 10 ms of frames, in bytes

header = (b"RIFF" + struct.pack("<I", 0xFFFFFFFF) + b"WAVEfmt " +
          struct.pack("<IHHIIHH", 16, 1, CHANNELS, RATE, RATE * FRAME, FRAME, 16) +
          b"data" + struct.pack("<I", 0xFFFFFFFF))
run = subprocess.Popen([KESTRUM, "-q", "-", "-", FILTER], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
written = []  # (time, data bytes written so far)


def produce():
    rng = random.Random(1)
    run.stdin.write(header)
    run.stdin.flush()
    start = time.monotonic()
    for k in range(int(SECONDS * 100)):
        time.sleep(max(0.0, start + k / 100 - time.monotonic()))
        piece = rng.randbytes(PIECE)
        written.append((time.monotonic(), (k + 1) * PIECE))  # before: the output may come at once
        run.stdin.write(piece)
        run.stdin.flush()
    run.stdin.close()


producer = threading.Thread(target=produce)
producer.start()
latencies, got, first = [], 0, None
fd = run.stdout.fileno()
while chunk := os.read(fd, 1 << 16):
    now = time.monotonic()
    got += len(chunk)
    data = got - 44
    if data > 0 and first is None:
        first = now - written[0][0] if written else 0.0
    # Every piece whose last frame is now out: how long it took.
    while len(latencies) < len(written) and written[len(latencies)][1] <= data:
        latencies.append(now - written[len(latencies)][0])
producer.join()
run.wait()
latencies.sort()
print(f"{SECONDS:g} s of 44.1 kHz stereo at real time through {os.path.basename(FILTER)}:")
print(f"  first filtered byte {first * 1000:.1f} ms after the first frame was written")
print(f"  each 10 ms piece out after: median {latencies[len(latencies) // 2] * 1000:.1f} ms, "
      f"worst {latencies[-1] * 1000:.1f} ms ({len(latencies)} pieces)")
