#!/usr/bin/env bash
# Regenerates the WAV fixtures in tests/data/ with sox and ffmpeg.
#
# Each readable fixture comes with NAME.raw: the exact bytes of its data chunk
# (frames only, no pad byte). The raw bytes are synthesised first and the WAV
# is made by wrapping them, so the pair always agrees; a final check confirms
# that every .raw sits in its .wav at the data chunk's offset.
# Dither is off (sox -D), sox noise uses fixed seeds (-R) and ffmpeg runs
# bit-exact, so reruns reproduce the same bytes with the same tool versions.
set -euo pipefail

out="$(cd "$(dirname "$0")/.." && pwd)/tests/data"
mkdir -p "$out"
cd "$out"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

SOX=(sox -V1 -R -D)
FF=(ffmpeg -hide_banner -loglevel error -nostdin -y)
FFX=(-fflags +bitexact -flags:a +bitexact -map_metadata -1)

# Small RIFF editor: 'insert FILE ID TEXT' adds a chunk just before the data
# chunk, 'append FILE ID TEXT' adds one at the end, 'comment FILE TEXT' inserts
# a LIST/INFO chunk holding an ICMT comment before the data chunk, 'layout FILE'
# lists the chunks, 'check FILE RAW' compares the data chunk with the raw bytes.
# Chunks with an odd size get their pad byte and the RIFF size is fixed up.
riff() {
    python3 - "$@" <<'EOF'
import struct, sys

def chunks(b):
    pos = 12
    while pos + 8 <= len(b):
        cid, size = b[pos:pos + 4].decode('latin-1'), struct.unpack_from('<I', b, pos + 4)[0]
        yield cid, size, pos
        if size == 0xFFFFFFFF:
            return
        pos += 8 + size + (size & 1)

def chunk(cid, body):
    return cid.encode() + struct.pack('<I', len(body)) + body + b'\0' * (len(body) & 1)

cmd, path, args = sys.argv[1], sys.argv[2], sys.argv[3:]
b = bytearray(open(path, 'rb').read())
data = next((c for c in chunks(b) if c[0] == 'data'), None)
if cmd in ('insert', 'append', 'comment'):
    if cmd == 'comment':
        new = chunk('LIST', b'INFO' + chunk('ICMT', args[0].encode() + b'\0'))
    else:
        new = chunk(args[0], args[1].encode())
    at = len(b) if cmd == 'append' else data[2]
    b[at:at] = new
    struct.pack_into('<I', b, 4, len(b) - 8)
    open(path, 'wb').write(b)
elif cmd == 'layout':
    layout = ' '.join(f'{cid}({size if size < 0xFFFFFFFF else hex(size)})@{pos}' for cid, size, pos in chunks(b))
    print(f'{path}: {layout}' + (f'; first sample at {data[2] + 8}' if data else ''))
elif cmd == 'check':
    _, size, pos = data
    n = len(b) - pos - 8 if size == 0xFFFFFFFF else size
    if b[pos + 8:pos + 8 + n] != open(args[0], 'rb').read():
        sys.exit(f'{path}: data chunk differs from {args[0]}')
EOF
}

# sox_raw NAME RATE CHANNELS ENCODING BITS FRAMES SYNTH-ARGS...: raw PCM from sox synth.
sox_raw() {
    local name=$1 rate=$2 ch=$3 enc=$4 bits=$5 frames=$6
    shift 6
    "${SOX[@]}" -r "$rate" -c "$ch" -n -t raw -e "$enc" -b "$bits" "$name.raw" synth "${frames}s" "$@"
}
# sox_wrap NAME RATE CHANNELS ENCODING BITS [OUTPUT-OPTIONS...]: NAME.raw -> NAME.wav.
sox_wrap() {
    "${SOX[@]}" -t raw -r "$2" -c "$3" -e "$4" -b "$5" "$1.raw" "${@:6}" "$1.wav"
}
# ff_raw NAME RATE FRAMES CODEC EXPRS: raw PCM from an ffmpeg aevalsrc expression
# ('|' separates channels).
ff_raw() {
    "${FF[@]}" -f lavfi -i "aevalsrc=exprs=$5:s=$2:d=1" -af "atrim=end_sample=$3" \
        -c:a "pcm_$4" -f "$4" "$1.raw"
}
# ff_wrap NAME RATE CHANNELS CODEC [OUTPUT-OPTIONS...]: NAME.raw -> NAME.wav.
ff_wrap() {
    local name=$1 rate=$2 ch=$3 codec=$4
    shift 4
    "${FF[@]}" -f "$codec" -ar "$rate" -ac "$ch" -i "$name.raw" -c:a "pcm_$codec" "${FFX[@]}" "$@" "$name.wav"
}

# 16-bit stereo, left a clipped sine, right a full-scale square (hits -32768
# and 32767). sox writes no LIST chunk for --comment, so LIST/INFO is inserted.
sox_raw sox_s16_stereo_list 44100 2 signed 16 1000 sine 440 square 300 gain 0.1
sox_wrap sox_s16_stereo_list 44100 2 signed 16
riff comment sox_s16_stereo_list.wav "Kestrum test"

# 8-bit mono, a sawtooth spanning every byte value 0..255.
sox_raw sox_u8_mono 8000 1 unsigned 8 800 sawtooth 40 gain 0.1
sox_wrap sox_u8_mono 8000 1 unsigned 8

# 16-bit mono chirp; the title makes ffmpeg write a LIST/INFO chunk before data.
ff_raw ffmpeg_s16_mono 22050 1500 s16le '0.8*sin(2*PI*(200+3000*t)*t)'
ff_wrap ffmpeg_s16_mono 22050 1 s16le -metadata title="Kestrum fixture"

# 8-bit stereo, different tones left and right.
ff_raw ffmpeg_u8_stereo 11025 1200 u8 '0.9*sin(2*PI*500*t)|0.5*sin(2*PI*1300*t)+0.4*sin(2*PI*170*t)'
ff_wrap ffmpeg_u8_stereo 11025 2 u8

# ffmpeg writes WAVE_FORMAT_EXTENSIBLE for rates above 48 kHz, even for
# 16-bit stereo: 40-byte fmt, tag 0xFFFE, PCM subformat, channel mask 3.
ff_raw extensible_s16_stereo 96000 2000 s16le '0.7*sin(2*PI*1000*t)|-0.7*sin(2*PI*1500*t)'
ff_wrap extensible_s16_stereo 96000 2 s16le

# Unknown odd-sized chunk after the data chunk.
sox_raw trailing_chunk_s16_mono 16000 1 signed 16 700 sine 800 gain -6
sox_wrap trailing_chunk_s16_mono 16000 1 signed 16
riff append trailing_chunk_s16_mono.wav "id3 " "not audio"

# Odd-sized data chunk (501 frames of 8 bits) followed by its pad byte and a
# trailing chunk: a reader must stop at the data size.
sox_raw odd_u8_mono_trailing 8000 1 unsigned 8 501 triangle 300
sox_wrap odd_u8_mono_trailing 8000 1 unsigned 8
riff append odd_u8_mono_trailing.wav note trailing

# Unknown odd-sized chunk (with pad byte) between fmt and data.
sox_raw odd_chunk_s16_mono 8000 1 signed 16 400 sine 300 gain -3
sox_wrap odd_chunk_s16_mono 8000 1 signed 16
riff insert odd_chunk_s16_mono.wav note "odd-sized chunk"

# Streaming writer: ffmpeg writing to a pipe leaves RIFF and data sizes at
# 0xFFFFFFFF. The frames run to the end of the file.
ff_raw streamed_s16_mono 8000 160 s16le '0.5*sin(2*PI*440*t)'
"${FF[@]}" -f s16le -ar 8000 -ac 1 -i streamed_s16_mono.raw -c:a pcm_s16le "${FFX[@]}" \
    -f wav - | cat > streamed_s16_mono.wav

# 24-bit mono, plain header: sox's default .wav would write 24 bits as
# extensible, -t wavpcm keeps tag 1. An odd frame count gives an odd data size.
sox_raw s24_mono 8000 1 signed 24 101 sine 440
sox_wrap s24_mono 8000 1 signed 24 -t wavpcm

# 24-bit stereo, extensible (sox's default for more than 16 bits); the square
# reaches -8388608 and 8388607.
sox_raw sox_s24_stereo 48000 2 signed 24 700 sine 1000 square 300 gain 0.1
sox_wrap sox_s24_stereo 48000 2 signed 24

# 24-bit mono, extensible (ffmpeg's choice for more than 16 bits).
ff_raw ffmpeg_s24_mono 44100 900 s24le '0.9*sin(2*PI*(100+5000*t)*t)'
ff_wrap ffmpeg_s24_mono 44100 1 s24le

# Float mono and stereo, plain tag 3 with an 18-byte fmt and a fact chunk.
sox_raw float32_mono 8000 1 floating-point 32 100 sine 440
sox_wrap float32_mono 8000 1 floating-point 32
sox_raw sox_f32_stereo 22050 2 floating-point 32 500 sine 700 pinknoise
sox_wrap sox_f32_stereo 22050 2 floating-point 32

# Float stereo, extensible with the float subformat; levels beyond 1.0.
ff_raw ffmpeg_f32_stereo 32000 800 f32le '1.5*sin(2*PI*440*t)|-0.25*sin(2*PI*60*t)'
ff_wrap ffmpeg_f32_stereo 32000 2 f32le

# More than two channels: sox and ffmpeg write extensible headers with the
# mask of the layout they assume (5.1: 0x3F, 7.1: 0x63F).
sox_raw sox_s16_6ch 48000 6 signed 16 300 sine 100 sine 200 sine 300 sine 400 square 500 sine 600 gain -1
sox_wrap sox_s16_6ch 48000 6 signed 16
ff_raw ffmpeg_s24_8ch 48000 400 s24le \
    '0.9*sin(2*PI*100*t)|0.8*sin(2*PI*200*t)|0.7*sin(2*PI*300*t)|0.6*sin(2*PI*400*t)|0.5*sin(2*PI*500*t)|0.4*sin(2*PI*600*t)|0.3*sin(2*PI*700*t)|-0.9*sin(2*PI*800*t)'
ff_wrap ffmpeg_s24_8ch 48000 8 s24le
ff_raw ffmpeg_f32_6ch 44100 350 f32le \
    '0.9*sin(2*PI*100*t)|0.8*sin(2*PI*200*t)|1.2*sin(2*PI*300*t)|0.6*sin(2*PI*400*t)|0.5*sin(2*PI*500*t)|0.4*sin(2*PI*600*t)'
ff_wrap ffmpeg_f32_6ch 44100 6 f32le

# RF64 as ffmpeg writes it when asked: a ds64 chunk after WAVE, sizes of
# 0xFFFFFFFF in the RIFF and data fields.
ff_raw ffmpeg_rf64_s16_stereo 8000 500 s16le '0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t)'
ff_wrap ffmpeg_rf64_s16_stereo 8000 2 s16le -rf64 always

# Broadcast-wave metadata: ffmpeg's bext (time reference 48000) and LIST/INFO,
# and an iXML chunk inserted before the data.
ff_raw ffmpeg_bext_s16_stereo 48000 600 s16le '0.5*sin(2*PI*440*t)|0.5*sin(2*PI*550*t)'
ff_wrap ffmpeg_bext_s16_stereo 48000 2 s16le -write_bext 1 -metadata time_reference=48000 \
    -metadata description="Scene 12 take 3" -metadata originator=Kestrum -metadata title="Field take"
riff insert ffmpeg_bext_s16_stereo.wav iXML "<BWFXML><PROJECT>Kestrum</PROJECT></BWFXML>"

# 32-bit integers, 64-bit floats and three channels, read in bulk only (no
# .raw needed).
"${SOX[@]}" -r 8000 -c 1 -n -e signed -b 32 s32_mono.wav synth 100s sine 440
"${SOX[@]}" -r 8000 -c 1 -n -e floating-point -b 64 f64_mono.wav synth 100s sine 440
"${SOX[@]}" -r 8000 -c 3 -n -e signed -b 16 mono_3ch_s16.wav synth 100s sine 440 sine 550 sine 660

# Formats the tool refuses (no .raw needed).
"${SOX[@]}" -r 8000 -c 1 -n -e a-law alaw_mono.wav synth 100s sine 440
printf 'This is a text file, not a RIFF WAVE file.\n' > not_a_wav.wav
head -c 30 sox_u8_mono.wav > truncated_header.wav

for raw in *.raw; do
    riff check "${raw%.raw}.wav" "$raw"
done
for wav in *.wav; do
    if [ "$(head -c 4 "$wav")" = RIFF ]; then riff layout "$wav"; fi
done
