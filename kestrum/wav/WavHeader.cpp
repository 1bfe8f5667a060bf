// Fills and encodes the WAV headers this system writes.
#include "kestrum/wav/WavHeader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "kestrum/base/Errors.h"

namespace kestrum {

bool IsWavHead(const std::string& Head) {
  if (Head.size() < 12 || Head.compare(8, 4, "WAVE") != 0) return false;
  const std::string Form = Head.substr(0, 4);
  return Form == "RIFF" || Form == "RF64" || Form == "BW64";
}

std::vector<uint8_t> EncodeChunks(const std::vector<TWavChunk>& Chunks) {
  std::vector<uint8_t> B;
  for (const TWavChunk& Chunk : Chunks) {
    uint8_t Head[8] = {};
    std::memcpy(Head, Chunk.Id.data(), std::min<size_t>(Chunk.Id.size(), 4));
    WriteU32LE(Head + 4, static_cast<uint32_t>(Chunk.Data.size()));
    B.insert(B.end(), Head, Head + 8);
    B.insert(B.end(), Chunk.Data.begin(), Chunk.Data.end());
    if (Chunk.Data.size() % 2) B.push_back(0);
  }
  return B;
}

TWavChunk InfoCommentChunk(const std::string& Text) {
  TWavChunk Comment{"ICMT", std::vector<uint8_t>(Text.begin(), Text.end())};
  Comment.Data.push_back(0);
  const std::vector<uint8_t> Items = EncodeChunks({Comment});
  TWavChunk List{"LIST", std::vector<uint8_t>(4 + Items.size())};
  std::memcpy(List.Data.data(), "INFO", 4);
  std::copy(Items.begin(), Items.end(), List.Data.begin() + 4);
  return List;
}

std::string InfoComment(const std::vector<TWavChunk>& Chunks) {
  for (const TWavChunk& Chunk : Chunks) {
    const std::vector<uint8_t>& D = Chunk.Data;
    if (Chunk.Id != "LIST" || D.size() < 4 || std::memcmp(D.data(), "INFO", 4) != 0) continue;
    // Items: an identifier, a size, the text, a pad byte to an even size.
    for (size_t At = 4; D.size() - At >= 8;) {
      const uint32_t Size = ReadU32LE(&D[At + 4]);
      const size_t Length = std::min<size_t>(Size, D.size() - At - 8);
      if (std::memcmp(&D[At], "ICMT", 4) == 0) {
        std::string Text(D.begin() + At + 8, D.begin() + At + 8 + Length);
        while (!Text.empty() && Text.back() == '\0') Text.pop_back();
        if (!Text.empty()) return Text;
      }
      if (Length < Size) break;
      At += 8 + Length + (Length & 1);
      if (At > D.size()) break;
    }
  }
  return "";
}

TWavHeader TWavHeader::ForData(const TAudioFormat& Format, uint64_t DataBytes, TWavLayout Layout,
                               std::vector<uint8_t> Extra) {
  TWavHeader H;
  H.Layout = Layout;
  H.Extra = std::move(Extra);
  H.Float = Format.Float();
  H.Extensible = Format.Channels > 2 || Format.ChannelMask != 0;
  H.ChannelMask = Format.ChannelMask;
  H.FormatTag = H.Extensible ? WAV_FORMAT_EXTENSIBLE : H.Float ? WAV_FORMAT_FLOAT : WAV_FORMAT_PCM;
  H.Channels = static_cast<uint16_t>(Format.Channels);
  H.BitsPerSample = static_cast<uint16_t>(Format.Bits());
  H.BlockAlign = static_cast<uint16_t>(Format.FrameBytes());
  H.SampleRate = Format.Rate;
  const uint64_t ByteRate = uint64_t{Format.Rate} * H.BlockAlign;
  if (ByteRate > UINT32_MAX)
    throw EGeneralError("a WAV header cannot hold the byte rate of " + std::to_string(Format.Rate) + " Hz with " +
                        std::to_string(H.BlockAlign) + "-byte frames: " + std::to_string(ByteRate) +
                        " bytes a second, more than 4294967295");
  H.ByteRate = static_cast<uint32_t>(ByteRate);
  H.Frames64 = DataBytes / H.BlockAlign;
  H.DataSize64 = DataBytes;
  H.RiffSize64 = static_cast<uint64_t>(H.Size()) - 8 + DataBytes + (DataBytes & 1);
  const bool Rf64 = Layout == TWavLayout::Rf64;
  H.FactFrames = Rf64 ? UINT32_MAX : static_cast<uint32_t>(H.Frames64);
  H.DataSize = Rf64 ? UINT32_MAX : static_cast<uint32_t>(DataBytes);
  H.RiffSize = Rf64 ? UINT32_MAX : static_cast<uint32_t>(H.RiffSize64);
  return H;
}

std::vector<uint8_t> TWavHeader::Encode() const {
  std::vector<uint8_t> B(static_cast<size_t>(Size()));
  const uint32_t FormatSize = Extensible ? 40 : Float ? 18 : 16;
  std::memcpy(&B[0], Layout == TWavLayout::Rf64 ? "RF64" : "RIFF", 4);
  WriteU32LE(&B[4], RiffSize);
  std::memcpy(&B[8], "WAVE", 4);
  uint8_t* F = &B[12];  // the format chunk, after a ds64 chunk or its placeholder
  if (Layout != TWavLayout::Plain) {
    std::memcpy(F, Layout == TWavLayout::Rf64 ? "ds64" : "JUNK", 4);
    WriteU32LE(F + 4, WAV_DS64_CHUNK_SIZE - 8);
    if (Layout == TWavLayout::Rf64) {  // no table: no other chunk is that long
      WriteU64LE(F + 8, RiffSize64);
      WriteU64LE(F + 16, DataSize64);
      WriteU64LE(F + 24, Frames64);
    }
    F += WAV_DS64_CHUNK_SIZE;
  }
  std::memcpy(F, "fmt ", 4);
  WriteU32LE(F + 4, FormatSize);
  WriteU16LE(F + 8, FormatTag);
  WriteU16LE(F + 10, Channels);
  WriteU32LE(F + 12, SampleRate);
  WriteU32LE(F + 16, ByteRate);
  WriteU16LE(F + 20, BlockAlign);
  WriteU16LE(F + 22, BitsPerSample);
  if (Extensible) {
    WriteU16LE(F + 24, 22);             // extension size
    WriteU16LE(F + 26, BitsPerSample);  // valid bits: every bit of the container
    WriteU32LE(F + 28, ChannelMask);
    WriteU16LE(F + 32, Float ? WAV_FORMAT_FLOAT : WAV_FORMAT_PCM);
    std::memcpy(F + 34, WAV_SUBFORMAT_GUID_TAIL, sizeof WAV_SUBFORMAT_GUID_TAIL);
  }
  uint8_t* Next = F + 8 + FormatSize;  // extension size 0 of a plain float chunk included
  if (Float) {
    std::memcpy(Next, "fact", 4);
    WriteU32LE(Next + 4, 4);
    WriteU32LE(Next + 8, FactFrames);
    Next += 12;
  }
  std::copy(Extra.begin(), Extra.end(), Next);
  Next += Extra.size();
  std::memcpy(Next, "data", 4);
  WriteU32LE(Next + 4, DataSize);
  return B;
}

}  // namespace kestrum
