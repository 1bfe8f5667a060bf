// Samples as levels: the one decoding of a WAV file's sample bytes, shared
// by the engines and by the reading of impulse responses.
#pragma once

#include <bit>
#include <cstdint>

#include "kestrum/audio/Format.h"
#include "kestrum/base/Bytes.h"

namespace kestrum {

// Levels[i] = the level of channel C (8-bit: byte - 128; wider integers: the
// sample; float: its value) in frame i of Raw, file bytes in Format, for
// i < Frames.
inline void DecodeLevels(const uint8_t* Raw, int32_t Frames, TAudioFormat Format, int C, double* Levels) {
  const int FrameBytes = Format.FrameBytes();
  const uint8_t* const Sample = Raw + C * BytesPerSample(Format.Samples);
  for (int32_t I = 0; I < Frames; ++I) {
    const uint8_t* const P = Sample + I * FrameBytes;
    switch (Format.Samples) {
      case TSampleFormat::Pcm8: Levels[I] = P[0] - 128; break;
      case TSampleFormat::Pcm16: Levels[I] = static_cast<int16_t>(ReadU16LE(P)); break;
      case TSampleFormat::Pcm24: Levels[I] = ReadS24LE(P); break;
      case TSampleFormat::Pcm32: Levels[I] = static_cast<int32_t>(ReadU32LE(P)); break;
      case TSampleFormat::Float32: Levels[I] = std::bit_cast<float>(ReadU32LE(P)); break;
      case TSampleFormat::Float64:
        Levels[I] = std::bit_cast<double>(uint64_t{ReadU32LE(P)} | uint64_t{ReadU32LE(P + 4)} << 32);
        break;
    }
  }
}

}  // namespace kestrum
