// The WAV headers this system writes, its constants, and
// the little-endian byte helpers shared by the reader and the writer.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "wav/Format.h"

namespace kestrum {

constexpr int WAV_HEADER_SIZE = 44;        // PCM: RIFF, a 16-byte format chunk, data
constexpr int WAV_FLOAT_HEADER_SIZE = 58;  // float: an 18-byte format chunk and a fact chunk
// Size of the reader's and writer's buffers and of the blocks they move.
// Odd on purpose: a 16-bit sample can span two blocks.
constexpr int WAV_BUFFER_SIZE = 4097;

constexpr uint16_t WAV_FORMAT_PCM = 1;
constexpr uint16_t WAV_FORMAT_FLOAT = 3;

// Whether a reader or writer holds an open file.
enum class TFileState { fsOpen, fsClosed };

// The header of a file this system writes. Field order is file order.
struct TWavHeader {
  uint32_t RiffSize = 0;       // file length - 8, pad byte included
  uint16_t FormatTag = WAV_FORMAT_PCM;
  uint16_t Channels = 1;
  uint32_t SampleRate = 0;
  uint32_t ByteRate = 0;       // SampleRate * BlockAlign
  uint16_t BlockAlign = 1;     // bytes per frame
  uint16_t BitsPerSample = 8;
  uint32_t FactFrames = 0;     // float only: the frames in the data
  uint32_t DataSize = 0;       // bytes of frames, pad byte excluded

  // The header for DataBytes bytes of frames in the given format: the
  // canonical 44 bytes for PCM; for float, format tag 3 in an 18-byte format
  // chunk and a fact chunk, 58 bytes. Odd-sized data is followed by a pad
  // byte, as RIFF requires, which the RIFF size counts. Sizes wrap to 32
  // bits; the writer refuses longer files first.
  static TWavHeader ForData(const TAudioFormat& Format, uint64_t DataBytes);

  int Size() const { return FormatTag == WAV_FORMAT_FLOAT ? WAV_FLOAT_HEADER_SIZE : WAV_HEADER_SIZE; }
  std::vector<uint8_t> Encode() const;
};

// Whether a file name holds nothing but blanks and control characters: such
// a name opens no file.
inline bool IsBlankName(const std::string& Name) {
  for (unsigned char C : Name)
    if (C > 32) return false;
  return true;
}

inline uint16_t ReadU16LE(const uint8_t* P) { return static_cast<uint16_t>(P[0] | P[1] << 8); }
inline uint32_t ReadU32LE(const uint8_t* P) {
  return static_cast<uint32_t>(P[0]) | static_cast<uint32_t>(P[1]) << 8 |
         static_cast<uint32_t>(P[2]) << 16 | static_cast<uint32_t>(P[3]) << 24;
}
// A signed 24-bit sample, low byte first.
inline int32_t ReadS24LE(const uint8_t* P) {
  return static_cast<int32_t>((static_cast<uint32_t>(P[0]) | static_cast<uint32_t>(P[1]) << 8 |
                               static_cast<uint32_t>(P[2]) << 16) << 8) >> 8;
}
inline void WriteU16LE(uint8_t* P, uint16_t V) {
  P[0] = static_cast<uint8_t>(V);
  P[1] = static_cast<uint8_t>(V >> 8);
}
inline void WriteU32LE(uint8_t* P, uint32_t V) {
  WriteU16LE(P, static_cast<uint16_t>(V));
  WriteU16LE(P + 2, static_cast<uint16_t>(V >> 16));
}

}  // namespace kestrum
