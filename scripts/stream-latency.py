#!/usr/bin/env python3
"""Measures how late filtered audio leaves kestrum when its source is live.

A producer writes a WAV header that says "unknown length", then noise at the
audio's own pace, for SECONDS seconds (default 5), into `kestrum - - FILTER`;
a reader takes the output as it comes. By default the pieces are 10 ms of
44.1 kHz stereo 16-bit frames, written after the header; with --piece BYTES
the whole stream, header included, is cut into pieces of that many bytes,
which then need not end on a frame. Prints how long after the producer wrote
the first frame its filtered copy came out, then, for every piece, how long
after it was written its last whole frame came out: the median and the worst;
then the CPU time of that run beside that of a file run over the same frames.

    scripts/stream-latency.py [FILTER] [SECONDS]    # default examples/lowpass.fir, 5
    scripts/stream-latency.py --rate 48000 --bits 24 --piece 4104 --kernel reference
"""
import argparse
import os
import random
import resource
import struct
import subprocess
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
KESTRUM = os.environ.get("KESTRUM", os.path.join(HERE, "..", "build", "bin", "kestrum"))

parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
parser.add_argument("filter", nargs="?", default=os.path.join(HERE, "..", "examples", "lowpass.fir"))
parser.add_argument("seconds", nargs="?", type=float, default=5.0)
parser.add_argument("--rate", type=int, default=44100)
parser.add_argument("--bits", type=int, default=16, choices=(8, 16, 24, 32))
parser.add_argument("--channels", type=int, default=2)
parser.add_argument("--piece", type=int, default=0, help="bytes per piece of the whole stream (default: 10 ms of frames)")
parser.add_argument("--kernel", default="fast")
args = parser.parse_args()

frame = args.channels * args.bits // 8
header = (b"RIFF" + struct.pack("<I", 0xFFFFFFFF) + b"WAVEfmt " +
          struct.pack("<IHHIIHH", 16, 1, args.channels, args.rate, args.rate * frame, frame, args.bits) +
          b"data" + struct.pack("<I", 0xFFFFFFFF))
total = int(args.seconds * args.rate) * frame
stream = header + random.Random(1).randbytes(total)
if args.piece > 0:
    cuts = list(range(args.piece, len(stream), args.piece)) + [len(stream)]
else:  # the header, then 10 ms of frames at a time
    step = args.rate // 100 * frame
    cuts = list(range(len(header), len(stream), step))[1:] + [len(stream)]
bytes_per_second = args.rate * frame

run = subprocess.Popen([KESTRUM, "-q", "--kernel", args.kernel, "-", "-", args.filter],
                       stdin=subprocess.PIPE, stdout=subprocess.PIPE)
written = []  # (time, whole frames' data bytes written so far)


def produce():
    if args.piece <= 0:
        run.stdin.write(header)
        run.stdin.flush()
    start, sent = time.monotonic(), 0 if args.piece > 0 else len(header)
    for cut in cuts:
        # Each piece leaves when the audio it completes is due.
        time.sleep(max(0.0, start + (cut - len(header)) / bytes_per_second - time.monotonic()))
        data = max(0, cut - len(header))
        written.append((time.monotonic(), data - data % frame))  # before: the output may come at once
        run.stdin.write(stream[sent:cut])
        run.stdin.flush()
        sent = cut
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
        first = next(t for t, d in written if d > 0)
        first = now - first
    # Every piece whose last whole frame is now out: how long it took.
    while len(latencies) < len(written) and written[len(latencies)][1] <= data:
        latencies.append(now - written[len(latencies)][0])
producer.join()
run.wait()
latencies.sort()
piece = f"{args.piece}-byte" if args.piece > 0 else "10 ms"
print(f"{args.seconds:g} s of {args.rate} Hz {args.bits}-bit, {args.channels} channels, at real time in {piece} "
      f"pieces through {os.path.basename(args.filter)} ({args.kernel} kernel):")
print(f"  first filtered byte {first * 1000:.1f} ms after the first frame was written")
print(f"  each piece's last whole frame out after: median {latencies[len(latencies) // 2] * 1000:.1f} ms, "
      f"worst {latencies[-1] * 1000:.1f} ms ({len(latencies)} pieces)")


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


live_cpu = children_cpu()
# The same frames as a file of known length, filtered as fast as it goes.
with tempfile.TemporaryDirectory() as work:
    data = stream[len(header):]
    source = os.path.join(work, "in.wav")
    with open(source, "wb") as f:
        f.write(header[:4] + struct.pack("<I", 36 + len(data)) + header[8:40] + struct.pack("<I", len(data)) + data)
    subprocess.run([KESTRUM, "-q", "--kernel", args.kernel, source, os.path.join(work, "out.wav"), args.filter],
                   check=True)
file_cpu = children_cpu() - live_cpu
print(f"  CPU {live_cpu:.3f} s; a file run over the same frames {file_cpu:.3f} s ({live_cpu / file_cpu:.2f}x)")
