// The sample formats that are read, filtered and written, and the flags that
// hosts use to name them.
#pragma once

#include <cstdint>

namespace kestrum {

// The sample encodings that can be read and written: unsigned 8-bit, signed
// 16- and 24-bit PCM, 32-bit IEEE float.
enum class TSampleFormat : uint8_t { Pcm8, Pcm16, Pcm24, Float32 };

constexpr int BytesPerSample(TSampleFormat Format) {
  return Format == TSampleFormat::Pcm8 ? 1 : Format == TSampleFormat::Pcm16 ? 2 : Format == TSampleFormat::Pcm24 ? 3 : 4;
}

// The format that a reader's or writer's Bits16, Bits24 and Float32 flags
// name; the wider flag wins, none set is 8-bit.
constexpr TSampleFormat SampleFormatOf(bool Bits16, bool Bits24, bool Float32) {
  return Float32 ? TSampleFormat::Float32
         : Bits24 ? TSampleFormat::Pcm24
         : Bits16 ? TSampleFormat::Pcm16
                  : TSampleFormat::Pcm8;
}

enum ff_bits : uint8_t { ff_8bits = 0, ff_16bits = 1, ff_24bits = 2, ff_32bitsFloat = 3 };

// The ff_bits value of a sample format, and back.
constexpr ff_bits NbBitsOf(TSampleFormat Format) {
  return Format == TSampleFormat::Pcm8    ? ff_8bits
         : Format == TSampleFormat::Pcm16 ? ff_16bits
         : Format == TSampleFormat::Pcm24 ? ff_24bits
                                          : ff_32bitsFloat;
}
constexpr TSampleFormat SampleFormatOf(ff_bits Bits) {
  return Bits == ff_8bits    ? TSampleFormat::Pcm8
         : Bits == ff_16bits ? TSampleFormat::Pcm16
         : Bits == ff_24bits ? TSampleFormat::Pcm24
                             : TSampleFormat::Float32;
}

enum ff_channels : uint8_t { ff_mono = 0, ff_stereo = 1 };

}  // namespace kestrum
