// Fills and encodes the WAV headers this system writes.
#include "wav/WavHeader.h"

#include <cstring>

namespace kestrum {

TWavHeader TWavHeader::ForData(const TAudioFormat& Format, uint64_t DataBytes) {
  TWavHeader H;
  H.FormatTag = Format.Float() ? WAV_FORMAT_FLOAT : WAV_FORMAT_PCM;
  H.Channels = static_cast<uint16_t>(Format.Channels);
  H.BitsPerSample = static_cast<uint16_t>(Format.Bits());
  H.BlockAlign = static_cast<uint16_t>(Format.FrameBytes());
  H.SampleRate = Format.Rate;
  H.ByteRate = Format.Rate * H.BlockAlign;
  H.FactFrames = static_cast<uint32_t>(DataBytes / H.BlockAlign);
  H.DataSize = static_cast<uint32_t>(DataBytes);
  H.RiffSize = static_cast<uint32_t>(H.Size() - 8 + DataBytes + (DataBytes & 1));
  return H;
}

std::vector<uint8_t> TWavHeader::Encode() const {
  const bool Float = FormatTag == WAV_FORMAT_FLOAT;
  std::vector<uint8_t> B(static_cast<size_t>(Size()));
  std::memcpy(&B[0], "RIFF", 4);
  WriteU32LE(&B[4], RiffSize);
  std::memcpy(&B[8], "WAVEfmt ", 8);
  WriteU32LE(&B[16], Float ? 18 : 16);
  WriteU16LE(&B[20], FormatTag);
  WriteU16LE(&B[22], Channels);
  WriteU32LE(&B[24], SampleRate);
  WriteU32LE(&B[28], ByteRate);
  WriteU16LE(&B[32], BlockAlign);
  WriteU16LE(&B[34], BitsPerSample);
  uint8_t* Data = &B[36];
  if (Float) {  // extension size 0 at 36, then the fact chunk
    std::memcpy(&B[38], "fact", 4);
    WriteU32LE(&B[42], 4);
    WriteU32LE(&B[46], FactFrames);
    Data = &B[50];
  }
  std::memcpy(Data, "data", 4);
  WriteU32LE(Data + 4, DataSize);
  return B;
}

}  // namespace kestrum
