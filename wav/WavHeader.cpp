// Fills and encodes the WAV headers this system writes.
#include "wav/WavHeader.h"

#include <cstring>

namespace kestrum {

TWavHeader TWavHeader::ForData(const TAudioFormat& Format, uint64_t DataBytes) {
  TWavHeader H;
  H.Float = Format.Float();
  H.Extensible = Format.Channels > 2 || Format.ChannelMask != 0;
  H.ChannelMask = Format.ChannelMask;
  H.FormatTag = H.Extensible ? WAV_FORMAT_EXTENSIBLE : H.Float ? WAV_FORMAT_FLOAT : WAV_FORMAT_PCM;
  H.Channels = static_cast<uint16_t>(Format.Channels);
  H.BitsPerSample = static_cast<uint16_t>(Format.Bits());
  H.BlockAlign = static_cast<uint16_t>(Format.FrameBytes());
  H.SampleRate = Format.Rate;
  H.ByteRate = Format.Rate * H.BlockAlign;
  H.FactFrames = static_cast<uint32_t>(DataBytes / H.BlockAlign);
  H.DataSize = static_cast<uint32_t>(DataBytes);
  H.RiffSize = static_cast<uint32_t>(static_cast<uint64_t>(H.Size()) - 8 + DataBytes + (DataBytes & 1));
  return H;
}

std::vector<uint8_t> TWavHeader::Encode() const {
  std::vector<uint8_t> B(static_cast<size_t>(Size()));
  const uint32_t FormatSize = Extensible ? 40 : Float ? 18 : 16;
  std::memcpy(&B[0], "RIFF", 4);
  WriteU32LE(&B[4], RiffSize);
  std::memcpy(&B[8], "WAVEfmt ", 8);
  WriteU32LE(&B[16], FormatSize);
  WriteU16LE(&B[20], FormatTag);
  WriteU16LE(&B[22], Channels);
  WriteU32LE(&B[24], SampleRate);
  WriteU32LE(&B[28], ByteRate);
  WriteU16LE(&B[32], BlockAlign);
  WriteU16LE(&B[34], BitsPerSample);
  if (Extensible) {
    WriteU16LE(&B[36], 22);             // extension size
    WriteU16LE(&B[38], BitsPerSample);  // valid bits: every bit of the container
    WriteU32LE(&B[40], ChannelMask);
    WriteU16LE(&B[44], Float ? WAV_FORMAT_FLOAT : WAV_FORMAT_PCM);
    std::memcpy(&B[46], WAV_SUBFORMAT_GUID_TAIL, sizeof WAV_SUBFORMAT_GUID_TAIL);
  }
  uint8_t* Next = &B[20 + FormatSize];  // extension size 0 of a plain float chunk included
  if (Float) {
    std::memcpy(Next, "fact", 4);
    WriteU32LE(Next + 4, 4);
    WriteU32LE(Next + 8, FactFrames);
    Next += 12;
  }
  std::memcpy(Next, "data", 4);
  WriteU32LE(Next + 4, DataSize);
  return B;
}

}  // namespace kestrum
