// The WAV headers this system writes, its constants, and
// the little-endian byte helpers shared by the reader and the writer.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrum/audio/Format.h"
#include "kestrum/base/Bytes.h"

namespace kestrum {

// Whether Head, the first bytes of a file, opens a WAV file: "RIFF", "RF64"
// or "BW64", a size, then "WAVE". Fewer than 12 bytes do not.
bool IsWavHead(const std::string& Head);

constexpr int WAV_HEADER_SIZE = 44;        // PCM: RIFF, a 16-byte format chunk, data
constexpr int WAV_FLOAT_HEADER_SIZE = 58;  // float: an 18-byte format chunk and a fact chunk
// Extensible (more than two channels, or a channel mask): a 40-byte format
// chunk, and for float a fact chunk.
constexpr int WAV_EXTENSIBLE_HEADER_SIZE = 68;
constexpr int WAV_EXTENSIBLE_FLOAT_HEADER_SIZE = 80;
// Size of the reader's and writer's buffers and of the blocks they move.
// Odd on purpose: a 16-bit sample can span two blocks.
constexpr int WAV_BUFFER_SIZE = 4097;

constexpr uint16_t WAV_FORMAT_PCM = 1;
constexpr uint16_t WAV_FORMAT_FLOAT = 3;
constexpr uint16_t WAV_FORMAT_EXTENSIBLE = 0xFFFE;
// The subformat GUIDs of an extensible format chunk (PCM, float) after their
// first two bytes, which hold the plain format tag.
constexpr uint8_t WAV_SUBFORMAT_GUID_TAIL[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The layouts of a header: plain RIFF; RIFF with a 36-byte JUNK chunk after
// "WAVE", kept for a ds64 chunk should the file outgrow 4 GiB; RF64 (EBU
// Tech 3306, the layout of BW64 too), whose ds64 chunk there holds the 64-bit
// sizes that the 32-bit fields, then 0xFFFFFFFF, cannot.
enum class TWavLayout : uint8_t { Plain, Junk, Rf64 };
constexpr int WAV_DS64_CHUNK_SIZE = 36;  // a ds64 (or its JUNK placeholder) without a table, header included

// Whether a reader or writer holds an open file.
enum class TFileState { fsOpen, fsClosed };

// A chunk of a WAV file beside those that describe the samples: its
// four-character identifier and its content (without the pad byte).
struct TWavChunk {
  std::string Id;
  std::vector<uint8_t> Data;
  bool operator==(const TWavChunk&) const = default;
};

// The chunks' bytes as a file holds them, each padded to an even size.
std::vector<uint8_t> EncodeChunks(const std::vector<TWavChunk>& Chunks);

// A LIST chunk of type INFO holding Text as its comment (ICMT), ended by a NUL.
TWavChunk InfoCommentChunk(const std::string& Text);

// The comment (ICMT) of the first LIST INFO chunk among Chunks that holds a
// non-empty one, without the NULs that end it; "" when none does.
std::string InfoComment(const std::vector<TWavChunk>& Chunks);

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
  TWavLayout Layout = TWavLayout::Plain;
  uint64_t RiffSize64 = 0, DataSize64 = 0, Frames64 = 0;  // RF64: the ds64 chunk's sizes
  std::vector<uint8_t> Extra;  // chunks written between the format (or fact) chunk and the data chunk
  bool Float = false;          // float samples: a fact chunk follows the format chunk
  bool Extensible = false;     // format tag 0xFFFE, with the channel mask and the subformat
  uint32_t ChannelMask = 0;    // extensible only

  // The header for DataBytes bytes of frames in the given format: the
  // canonical 44 bytes for PCM; for float, format tag 3 in an 18-byte format
  // chunk and a fact chunk, 58 bytes. A format of more than two channels, or
  // with a channel mask, gets the extensible format chunk (tag 0xFFFE, 40
  // bytes, the mask and the PCM or float subformat): 68 bytes, 80 with the
  // fact chunk of float. Odd-sized data is followed by a pad
  // byte, as RIFF requires, which the RIFF size counts. In the Plain and
  // Junk layouts sizes wrap to 32 bits; the writer refuses longer files
  // first, or writes them as Rf64. A format whose byte rate (rate times
  // frame size) does not fit its 32-bit field raises EGeneralError.
  // Layout Junk adds a JUNK chunk of 36 bytes after "WAVE"; Rf64 puts the
  // sizes in a ds64 chunk there and 0xFFFFFFFF in the 32-bit fields.
  // Extra: encoded chunks that go before the data chunk.
  static TWavHeader ForData(const TAudioFormat& Format, uint64_t DataBytes,
                            TWavLayout Layout = TWavLayout::Plain, std::vector<uint8_t> Extra = {});

  // Whether the file outgrows the 32-bit sizes of a RIFF header: only the
  // Rf64 layout describes it.
  bool NeedsRf64() const { return RiffSize64 > UINT32_MAX; }

  int Size() const {
    return (Extensible ? (Float ? WAV_EXTENSIBLE_FLOAT_HEADER_SIZE : WAV_EXTENSIBLE_HEADER_SIZE)
                       : (Float ? WAV_FLOAT_HEADER_SIZE : WAV_HEADER_SIZE)) +
           (Layout == TWavLayout::Plain ? 0 : WAV_DS64_CHUNK_SIZE) + static_cast<int>(Extra.size());
  }
  std::vector<uint8_t> Encode() const;
};

// Whether a file name holds nothing but blanks and control characters: such
// a name opens no file.
inline bool IsBlankName(const std::string& Name) {
  for (unsigned char C : Name)
    if (C > 32) return false;
  return true;
}

}  // namespace kestrum
