#!/usr/bin/env bash
# Writes the seed inputs of fuzz/corpus/ from the fixtures in tests/data and
# the filters in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p fuzz/corpus/wav_reader fuzz/corpus/fir_file fuzz/corpus/whole_run
for f in tests/data/*.wav; do cp "$f" "fuzz/corpus/wav_reader/seed-$(basename "$f")"; done
for f in examples/*.fir; do cp "$f" "fuzz/corpus/fir_file/seed-$(basename "$f")"; done
# whole_run: two bytes of filter length (little-endian), the filter, the WAV.
for fir in identity smooth3 echo lowpass; do
  for wav in sox_u8_mono ffmpeg_u8_stereo ffmpeg_s16_mono sox_s16_stereo_list \
             streamed_s16_mono odd_u8_mono_trailing s24_mono sox_s24_stereo float32_mono \
             ffmpeg_f32_stereo sox_s16_6ch ffmpeg_s24_8ch ffmpeg_f32_6ch ffmpeg_rf64_s16_stereo s32_mono \
             f64_mono; do
    python3 - "examples/$fir.fir" "tests/data/$wav.wav" \
      "fuzz/corpus/whole_run/seed-$fir-$wav" <<'PY'
import sys
fir = open(sys.argv[1], 'rb').read()
wav = open(sys.argv[2], 'rb').read()
open(sys.argv[3], 'wb').write(len(fir).to_bytes(2, 'little') + fir + wav)
PY
  done
done
# wav_reader: RF64 and BW64 with ds64 tables, streams (an input whose last
# byte has its high bit set is read from a pipe), a chunk whose size wraps
# a position, two format chunks.
python3 - fuzz/corpus/wav_reader <<'PY'
import struct, sys
d = sys.argv[1] + '/'
def chunk(i, size, body=b''): return i + struct.pack('<I', size) + body
def rf64(form, riff, data_size, frames, table):
    ds = struct.pack('<QQQI', riff, data_size, frames, len(table)) + b''.join(i + struct.pack('<Q', s) for i, s in table)
    return chunk(form, 0xFFFFFFFF, b'WAVE') + chunk(b'ds64', len(ds), ds)
mono = chunk(b'fmt ', 16, struct.pack('<HHIIHH', 1, 1, 8000, 16000, 2, 16))
fmt = chunk(b'fmt ', 16, struct.pack('<HHIIHH', 1, 2, 8000, 32000, 4, 16))
data = bytes(range(64))
seeds = {
    # the LIST chunk's size, 2^64 - 8, takes the walk back to its own header
    'rf64-chunk-wraps-to-its-header': rf64(b'RF64', 100, 8, 0, [(b'LIST', 2**64 - 8)]) + chunk(b'LIST', 0xFFFFFFFF)
        + mono + chunk(b'data', 0xFFFFFFFF, struct.pack('<4h', 1, -2, 3, -4)),
    'rf64-ds64-table': rf64(b'RF64', 200, 64, 16, [(b'LIST', 6)]) + chunk(b'LIST', 0xFFFFFFFF, b'INFO\0\0') + fmt
        + chunk(b'data', 0xFFFFFFFF, data) + b'\x01',
    'bw64-stream-unfilled-ds64': rf64(b'BW64', 0, 0, 0, []) + fmt + chunk(b'data', 0xFFFFFFFF, data) + b'\x80',
    'wav-stream-sox-size': chunk(b'RIFF', 0xFFFFFFFF, b'WAVE') + fmt + chunk(b'LIST', 8, b'INFOabcd')
        + chunk(b'data', 0x7FFFF000, data) + b'\x83',
    'wav-two-fmt-chunks': chunk(b'RIFF', 0, b'WAVE') + fmt + chunk(b'fmt ', 16, struct.pack('<HHIIHH', 1, 1, 44100, 44100, 1, 8))
        + chunk(b'data', 64, data),
}
for name, wav in seeds.items():
    open(d + name, 'wb').write(wav)
PY
