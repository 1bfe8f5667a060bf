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
