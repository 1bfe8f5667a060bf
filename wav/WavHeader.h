// The WAV header this system writes, its constants and the little-endian
// byte helpers shared by the reader and the writer.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kestrum {

constexpr int WAV_HEADER_SIZE = 44;
// Size of the reader's and writer's buffers and of the blocks they move.
// Odd on purpose: a 16-bit sample can span two blocks.
constexpr int WAV_BUFFER_SIZE = 4097;

// Whether a reader or writer holds an open file.
enum class TFileState { fsOpen, fsClosed };

// The canonical 44-byte header: RIFF, WAVE, a 16-byte PCM format chunk and the
// data chunk's header. Field order is file order.
struct TWavHeader {
  uint32_t RiffSize = 0;       // file length - 8
  uint16_t FormatTag = 1;      // PCM
  uint16_t Channels = 1;
  uint32_t SampleRate = 0;
  uint32_t ByteRate = 0;       // SampleRate * BlockAlign
  uint16_t BlockAlign = 1;     // bytes per frame
  uint16_t BitsPerSample = 8;
  uint32_t DataSize = 0;       // file length - 44

  // The header for a file of FileLength bytes (header included) in the given
  // format. Sizes wrap to 32 bits; the writer refuses longer files first.
  static TWavHeader ForFormat(bool Stereo, bool Bits16, uint32_t Frequency,
                              uint64_t FileLength);

  std::array<uint8_t, WAV_HEADER_SIZE> Encode() const;
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
inline void WriteU16LE(uint8_t* P, uint16_t V) {
  P[0] = static_cast<uint8_t>(V);
  P[1] = static_cast<uint8_t>(V >> 8);
}
inline void WriteU32LE(uint8_t* P, uint32_t V) {
  WriteU16LE(P, static_cast<uint16_t>(V));
  WriteU16LE(P + 2, static_cast<uint16_t>(V >> 16));
}

}  // namespace kestrum
