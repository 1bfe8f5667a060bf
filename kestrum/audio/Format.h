// The sample formats that are read, filtered and written, and the flags that
// hosts use to name them.
#pragma once

#include <cstdint>

namespace kestrum {

// The sample encodings that can be read and written: unsigned 8-bit, signed
// 16-, 24- and 32-bit PCM, 32- and 64-bit IEEE float.
enum class TSampleFormat : uint8_t { Pcm8, Pcm16, Pcm24, Float32, Pcm32, Float64 };

constexpr int BytesPerSample(TSampleFormat Format) {
  switch (Format) {
    case TSampleFormat::Pcm8: return 1;
    case TSampleFormat::Pcm16: return 2;
    case TSampleFormat::Pcm24: return 3;
    case TSampleFormat::Float64: return 8;
    default: return 4;
  }
}

constexpr bool IsFloat(TSampleFormat Format) {
  return Format == TSampleFormat::Float32 || Format == TSampleFormat::Float64;
}

// The format that a reader's or writer's Bits16, Bits24, Bits32, Float32 and
// Float64 flags name; the wider flag wins (float over integer), none set is
// 8-bit.
constexpr TSampleFormat SampleFormatOf(bool Bits16, bool Bits24, bool Float32, bool Bits32 = false,
                                       bool Float64 = false) {
  return Float64   ? TSampleFormat::Float64
         : Float32 ? TSampleFormat::Float32
         : Bits32  ? TSampleFormat::Pcm32
         : Bits24  ? TSampleFormat::Pcm24
         : Bits16  ? TSampleFormat::Pcm16
                   : TSampleFormat::Pcm8;
}

enum ff_bits : uint8_t { ff_8bits = 0, ff_16bits = 1, ff_24bits = 2, ff_32bitsFloat = 3, ff_32bits = 4, ff_64bitsFloat = 5 };

// The ff_bits value of a sample format, and back.
constexpr ff_bits NbBitsOf(TSampleFormat Format) {
  switch (Format) {
    case TSampleFormat::Pcm8: return ff_8bits;
    case TSampleFormat::Pcm16: return ff_16bits;
    case TSampleFormat::Pcm24: return ff_24bits;
    case TSampleFormat::Pcm32: return ff_32bits;
    case TSampleFormat::Float64: return ff_64bitsFloat;
    default: return ff_32bitsFloat;
  }
}
constexpr TSampleFormat SampleFormatOf(ff_bits Bits) {
  switch (Bits) {
    case ff_8bits: return TSampleFormat::Pcm8;
    case ff_16bits: return TSampleFormat::Pcm16;
    case ff_24bits: return TSampleFormat::Pcm24;
    case ff_32bits: return TSampleFormat::Pcm32;
    case ff_64bitsFloat: return TSampleFormat::Float64;
    default: return TSampleFormat::Float32;
  }
}

// The name of a sample format in the library's hosts (the Python package):
// "pcm8", "pcm16", "pcm24", "pcm32", "float32", "float64".
constexpr const char* SampleFormatName(TSampleFormat Format) {
  switch (Format) {
    case TSampleFormat::Pcm8: return "pcm8";
    case TSampleFormat::Pcm16: return "pcm16";
    case TSampleFormat::Pcm24: return "pcm24";
    case TSampleFormat::Pcm32: return "pcm32";
    case TSampleFormat::Float32: return "float32";
    case TSampleFormat::Float64: return "float64";
  }
  return "?";
}

// Mono, stereo, or more: a host that is told ff_multichannel reads the count
// from the format (TKestrum::SourceFormat, TAudioFormat::Channels).
enum ff_channels : uint8_t { ff_mono = 0, ff_stereo = 1, ff_multichannel = 2 };

// The most channels a frame may have.
constexpr int MAX_CHANNELS = 64;

// One format of frames, as it travels from a reader through the filter to a
// writer: the sample encoding, the channels of a frame, the frame rate and
// the speakers the channels feed.
struct TAudioFormat {
  TSampleFormat Samples = TSampleFormat::Pcm8;
  int Channels = 1;   // 1 to MAX_CHANNELS
  uint32_t Rate = 0;  // frames per second; 0 when unknown (a stream in memory)
  // The channel mask of an extensible header (a bit per speaker position,
  // first channel at the lowest bit set); 0 when none is given.
  uint32_t ChannelMask = 0;

  int Bits() const { return 8 * BytesPerSample(Samples); }
  bool Float() const { return IsFloat(Samples); }
  bool Stereo() const { return Channels == 2; }
  int FrameBytes() const { return Channels * BytesPerSample(Samples); }
  ff_channels ChannelsFlag() const { return Channels == 1 ? ff_mono : Channels == 2 ? ff_stereo : ff_multichannel; }
  bool operator==(const TAudioFormat&) const = default;
};

// The format that hosts name with the flags.
constexpr TAudioFormat FormatOf(ff_channels Channels, ff_bits Bits, uint32_t Rate = 0) {
  return {SampleFormatOf(Bits), Channels == ff_stereo ? 2 : 1, Rate};
}

// How a target's samples are encoded, as a user names it; Source keeps the
// source's.
enum class TEncoding : uint8_t { Source, Signed, Unsigned, Float };

// Whether Bits (0: the source's) and Encoding name a sample format WAV has:
// 8-bit unsigned, 16-, 24- and 32-bit signed, 32- and 64-bit float.
constexpr bool ValidTarget(int Bits, TEncoding Encoding) {
  switch (Encoding) {
    case TEncoding::Source: return Bits == 0 || Bits == 8 || Bits == 16 || Bits == 24 || Bits == 32 || Bits == 64;
    case TEncoding::Unsigned: return Bits == 0 || Bits == 8;
    case TEncoding::Signed: return Bits == 0 || Bits == 16 || Bits == 24 || Bits == 32;
    case TEncoding::Float: return Bits == 0 || Bits == 32 || Bits == 64;
  }
  return false;
}

// The target's sample format for a Source, given a ValidTarget width and
// encoding: what is not given is the source's, or where the source's does
// not fit what is given, the nearest (32 bits for signed from float, 16 from
// 8-bit; 32-bit float for float from integers); a width alone keeps integer
// or float where it can.
constexpr TSampleFormat TargetSampleFormat(TSampleFormat Source, int Bits, TEncoding Encoding) {
  using F = TSampleFormat;
  const bool SourceFloat = IsFloat(Source);
  if (Encoding == TEncoding::Source) {
    if (Bits == 0) return Source;
    if (Bits == 32) return SourceFloat ? F::Float32 : F::Pcm32;
    Encoding = Bits == 8 ? TEncoding::Unsigned : Bits == 64 ? TEncoding::Float : TEncoding::Signed;
  }
  switch (Encoding) {
    case TEncoding::Unsigned: return F::Pcm8;
    case TEncoding::Float:
      if (Bits == 0) return SourceFloat ? Source : F::Float32;
      return Bits == 64 ? F::Float64 : F::Float32;
    default:
      if (Bits == 0) return Source == F::Pcm8 ? F::Pcm16 : SourceFloat ? F::Pcm32 : Source;
      return Bits == 16 ? F::Pcm16 : Bits == 24 ? F::Pcm24 : F::Pcm32;
  }
}

// The exponent of a format's full scale: an integer level of Bits bits spans
// -2^(Bits-1) to 2^(Bits-1), a float sample -1 to 1. A level L of format A is
// the level L * 2^(FullScaleExponent(B) - FullScaleExponent(A)) of format B.
constexpr int FullScaleExponent(TSampleFormat Format) { return IsFloat(Format) ? 0 : 8 * BytesPerSample(Format) - 1; }

}  // namespace kestrum
