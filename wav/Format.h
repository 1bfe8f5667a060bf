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

// One format of frames, as it travels from a reader through the filter to a
// writer: the sample encoding, the channels of a frame and the frame rate.
struct TAudioFormat {
  TSampleFormat Samples = TSampleFormat::Pcm8;
  int Channels = 1;
  uint32_t Rate = 0;  // frames per second; 0 when unknown (a stream in memory)

  int Bits() const { return 8 * BytesPerSample(Samples); }
  bool Float() const { return Samples == TSampleFormat::Float32; }
  bool Stereo() const { return Channels == 2; }
  int FrameBytes() const { return Channels * BytesPerSample(Samples); }
  bool operator==(const TAudioFormat&) const = default;
};

// The format that hosts name with the flags.
constexpr TAudioFormat FormatOf(ff_channels Channels, ff_bits Bits, uint32_t Rate = 0) {
  return {SampleFormatOf(Bits), Channels == ff_stereo ? 2 : 1, Rate};
}

}  // namespace kestrum
