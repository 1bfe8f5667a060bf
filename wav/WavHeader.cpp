// Fills and encodes the canonical WAV header.
#include "wav/WavHeader.h"

#include <cstring>

namespace kestrum {

TWavHeader TWavHeader::ForFormat(bool Stereo, bool Bits16, uint32_t Frequency,
                                 uint64_t FileLength) {
  TWavHeader H;
  H.Channels = Stereo ? 2 : 1;
  H.BitsPerSample = Bits16 ? 16 : 8;
  H.BlockAlign = static_cast<uint16_t>(H.Channels * (Bits16 ? 2 : 1));
  H.SampleRate = Frequency;
  H.ByteRate = Frequency * H.BlockAlign;
  H.RiffSize = static_cast<uint32_t>(FileLength - 8);
  H.DataSize = static_cast<uint32_t>(FileLength - WAV_HEADER_SIZE);
  return H;
}

std::array<uint8_t, WAV_HEADER_SIZE> TWavHeader::Encode() const {
  std::array<uint8_t, WAV_HEADER_SIZE> B{};
  std::memcpy(&B[0], "RIFF", 4);
  WriteU32LE(&B[4], RiffSize);
  std::memcpy(&B[8], "WAVEfmt ", 8);
  WriteU32LE(&B[16], 16);
  WriteU16LE(&B[20], FormatTag);
  WriteU16LE(&B[22], Channels);
  WriteU32LE(&B[24], SampleRate);
  WriteU32LE(&B[28], ByteRate);
  WriteU16LE(&B[32], BlockAlign);
  WriteU16LE(&B[34], BitsPerSample);
  std::memcpy(&B[36], "data", 4);
  WriteU32LE(&B[40], DataSize);
  return B;
}

}  // namespace kestrum
