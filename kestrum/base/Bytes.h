// Little-endian integers in byte buffers, as file formats store them.
#pragma once

#include <cstdint>

namespace kestrum {

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
inline uint64_t ReadU64LE(const uint8_t* P) { return ReadU32LE(P) | uint64_t{ReadU32LE(P + 4)} << 32; }
inline void WriteU64LE(uint8_t* P, uint64_t V) {
  WriteU32LE(P, static_cast<uint32_t>(V));
  WriteU32LE(P + 4, static_cast<uint32_t>(V >> 32));
}

}  // namespace kestrum
