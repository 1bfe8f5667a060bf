// Reads PCM and float frames from a WAV file, strictly forward, through a
// buffer of WAV_BUFFER_SIZE bytes inside the object.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "kestrum/wav/WavHeader.h"

namespace kestrum {

// Use: set FileName and StartSample, SetActive(true), read the format fields,
// fetch frames with the one Read* operation that matches the format, then
// SetActive(false).
//
// FileName "-" is standard input; with Descriptor set, the source is read
// from that descriptor. A source that is not a regular file (a pipe, a FIFO,
// a socket, a terminal) is streamed: read once, forward, as it arrives, each
// read taking what is there (at most WAV_BUFFER_SIZE bytes through the
// buffer), nothing held beyond the buffer. Its data ends at the end of the
// source, or earlier at the header's data size when that is a real size: a
// data size of 0xFFFFFFFF (or, in a stream, 0 or sox's 0x7FFFF000 cut to
// whole frames) means the data runs to the end of the source, and a stream's
// NSamples is then -1: unknown until its end. A stream is never sought: what
// comes before the start frame, or in a chunk passed over, is read and
// dropped.
// Opening and every block read poll CheckStop (kestrum/base/Stop.h); a stream is
// waited on with WaitReady.
//
// RF64 and BW64 files are read too: a ds64 chunk first, whose 64-bit sizes
// stand for the 32-bit fields that hold 0xFFFFFFFF (the data's, beyond
// 4 GiB). Refused: a first chunk other than ds64, a ds64 chunk under 28
// bytes, a table that does not fit the chunk or holds more than 1024
// entries, a data size beyond the RIFF size less the ds64 chunk (a data size
// beyond the file is cut short, as in a WAV file), a 32-bit size of
// 0xFFFFFFFF that no table entry gives. In a stream, whose writer cannot go
// back to fill the ds64 chunk in, zero sizes there mean "to the end".
//
// Opening walks the file's chunks and refuses, with an EInOutError that names
// the file and the problem, anything it cannot read correctly: not RIFF/WAVE,
// no "fmt " or "data" chunk, a chunk before the data that runs past the end
// of the file (a data chunk that does is read as far as it goes, with a
// warning), other than 1 to MAX_CHANNELS (64) channels, a
// format other than 8-, 16-, 24- or 32-bit PCM (tag 1, or the extensible tag
// with the PCM subformat; a container is read whole whatever its valid bits)
// or 32- or 64-bit float (tag 3, or extensible with the float subformat), a
// block align other than the frame size (except for 8- and 16-bit mono and
// stereo, read as they always were), a file that ends inside its header,
// more frames than NSamples holds. Of two "fmt " chunks the first gives the
// format; the second is passed over with a warning.
//
// The Read* fetch operations (8-, 16-, 24-bit and 32-bit float, mono or
// stereo; the bulk ReadFrames gives every format, 32-bit integers and 64-bit
// floats included, as raw bytes) deliver sample values as floats: 8-bit
// bytes read as signed two's complement (0xFF gives -1, 0x80 gives -128),
// 16- and 24-bit samples as signed integers, float samples bit for bit (NaN,
// infinities, negative zero and subnormals included). Past the end of the sample data
// (the data chunk, or the file if it ends first, even when it shrinks after
// opening) they deliver silence: the byte 0x80 (-128) for 8-bit data, 0
// otherwise. They never raise an error except an EInOutError when a block
// cannot be read.
class TReadWavFile {
public:
  TReadWavFile() = default;
  // Releases the file at once, without the checks of closing.
  ~TReadWavFile();
  TReadWavFile(const TReadWavFile&) = delete;
  TReadWavFile& operator=(const TReadWavFile&) = delete;

  std::string FileName;  // used exactly as it is held
  // When 0 or more: the open descriptor to read instead of opening FileName,
  // which then only names the source in messages. It is not closed.
  int Descriptor = -1;
  int32_t StartSample = 0;  // first frame to deliver, from 0; must not be negative
  // Called when opening, once the header is read and before the reader seeks
  // StartSample: the format fields are set, and StartSample may still change
  // (a start given as a time needs the rate).
  std::function<void()> OnHeader;

  // Format of the open source.
  bool Stereo = false;   // exactly two channels
  int Channels = 1;      // channels of a frame, 1 to MAX_CHANNELS
  uint32_t ChannelMask = 0;  // an extensible header's speaker positions; 0 when none
  bool Bits16 = false;   // 16-bit PCM
  bool Bits24 = false;   // 24-bit PCM
  bool Bits32 = false;   // 32-bit PCM
  bool Float32 = false;  // 32-bit float
  bool Float64 = false;  // 64-bit float
  uint32_t Frequency = 0;
  int32_t NSamples = 0;  // frames of sample data in the file; -1: a stream of unknown length

  // When set before opening, the chunks before the data other than those
  // that describe the samples ("fmt ", "fact", "ds64", "JUNK", "PEAK") are
  // kept in Chunks, in file order (metadata such as bext, iXML, LIST); one
  // beyond 16 MiB is left out with a warning, and a file whose chunks to
  // keep pass 64 MiB in all is refused. In a regular file whose data size is
  // known, the chunks after the data are kept the same way (after the others);
  // a stream's are not read.
  bool KeepChunks = false;
  // With KeepChunks, the one identifier to keep ("LIST"); "" keeps them all.
  std::string KeepOnly;
  std::vector<TWavChunk> Chunks;

  bool Active() const { return FActive; }
  // Setting the value it already has does nothing. True opens the file (when
  // FileName is not blank), reads its header and places the reader at
  // StartSample; a blank FileName opens nothing, and every fetch then gives
  // silence. False closes the file. Failures raise EInOutError; a failed open
  // leaves Active true and State fsClosed.
  void SetActive(bool Value);

  TFileState State() const { return FState; }
  int FrameBytes() const { return FFrameBytes; }
  // The file offset of the first frame of the open source.
  uint64_t DataStart() const { return FDataStart; }
  TSampleFormat SampleFormat() const { return SampleFormatOf(Bits16, Bits24, Float32, Bits32, Float64); }
  // The format of the open source, as the fields above give it.
  TAudioFormat Format() const { return {SampleFormat(), Channels, Frequency, ChannelMask}; }

  void ReadMono8(float& Sample) { Sample = HaveFrame() ? GetLevel8() : kSilence8; }
  void ReadStereo8(float& First, float& Second) { ReadPair<&TReadWavFile::GetLevel8>(First, Second, kSilence8); }
  void ReadMono16(float& Sample) { Sample = HaveFrame() ? GetLevel16() : 0.0f; }
  void ReadStereo16(float& First, float& Second) { ReadPair<&TReadWavFile::GetLevel16>(First, Second, 0.0f); }
  void ReadMono24(float& Sample) { Sample = HaveFrame() ? GetLevel24() : 0.0f; }
  void ReadStereo24(float& First, float& Second) { ReadPair<&TReadWavFile::GetLevel24>(First, Second, 0.0f); }
  void ReadMonoFloat(float& Sample) { Sample = HaveFrame() ? GetFloat() : 0.0f; }
  void ReadStereoFloat(float& First, float& Second) { ReadPair<&TReadWavFile::GetFloat>(First, Second, 0.0f); }

  // Copies the raw bytes of the next Count frames into Dest (Count *
  // FrameBytes() bytes, file order), with silence past the end of the data:
  // the same frames the Read* operations would deliver, in bulk.
  void ReadFrames(uint8_t* Dest, int32_t Count);
  // The same frames, those at hand: from 1 to Max, waiting for the first
  // only (a stream's frames as they arrive; a file's all there); 0 at the
  // end of the data. A frame that a stream's end cuts short is dropped; a
  // frame whose bytes have only partly arrived waits for the rest, and the
  // whole frames before it are returned first.
  int32_t ReadArrived(uint8_t* Dest, int32_t Max);
  // Whether ReadArrived would return without waiting. A stream's answer
  // holds until its next read, so that asking again costs nothing: a "no"
  // that data has since overtaken only hands frames on earlier.
  bool Ready() const;
  // Whether the open source is streamed rather than a file.
  bool Streamed() const { return FStreamed; }

  // The first frame of the file, among those delivered so far, holding a
  // float sample that is not a finite number (NaN or an infinity); -1 when
  // none did.
  int64_t NonFiniteFrame() const { return FNonFiniteFrame; }

  // What opening found odd but readable, one line each naming the file (a
  // data chunk that the file cuts short), not taken yet.
  std::vector<std::string> TakeWarnings();

private:
  static constexpr float kSilence8 = -128.0f;  // the byte 0x80 read as signed

  // Takes one frame off the remaining data; false once the data is exhausted.
  bool HaveFrame() {
    if (FDataLeft < static_cast<uint64_t>(FFrameBytes) || FDataLeft == 0) return false;
    if (FStreamed && BufCount - BufPos < FFrameBytes && !FillFrame()) return false;
    FDataLeft -= static_cast<uint64_t>(FFrameBytes);
    return true;
  }
  // One frame of two samples, each from Get, or silence past the data.
  template <float (TReadWavFile::*Get)()>
  void ReadPair(float& First, float& Second, float Silence) {
    if (HaveFrame()) {
      First = (this->*Get)();
      Second = (this->*Get)();
    } else {
      First = Second = Silence;
    }
  }
  uint8_t GetByte() {
    if (BufPos >= BufCount && BufCount != 0) {
      ReadBlock();
      BufPos = 0;
    }
    if (BufCount != 0) return Buffer[BufPos++];
    FPastEnd = true;  // at the end of the file: nothing is delivered
    return FEndByte;
  }
  uint16_t GetWord() {
    uint8_t Low = GetByte();
    return static_cast<uint16_t>(Low | GetByte() << 8);
  }
  // The next sample's value, as a float.
  float GetLevel8() { return static_cast<int8_t>(GetByte()); }
  float GetLevel16() { return static_cast<int16_t>(GetWord()); }
  float GetLevel24() {
    const uint8_t B[3] = {GetByte(), GetByte(), GetByte()};
    return static_cast<float>(ReadS24LE(B));
  }
  float GetFloat() {
    const uint32_t Bits = GetDWord();
    if ((Bits & 0x7F800000) == 0x7F800000 && FNonFiniteFrame < 0) FNonFiniteFrame = NextFrame() - 1;
    return std::bit_cast<float>(Bits);
  }
  // The frame of the file that the next fetch delivers.
  int64_t NextFrame() const {
    return FFrameBytes == 0 ? 0 : static_cast<int64_t>((FDataBytes - FDataLeft) / FFrameBytes);
  }
  // A stream's next frame, whole in the buffer; false, and the data ends,
  // when the stream ends first (a frame cut short is dropped, as in bulk).
  bool FillFrame();
  void FindNonFinite(const uint8_t* Bytes, size_t Count, int64_t FirstFrame);
  uint32_t GetDWord();
  uint64_t GetQWord();
  // Count bytes as GetByte gives them, in one go.
  void GetBytes(uint8_t* Dest, uint64_t Count);
  // What an RF64 file's ds64 chunk says: the data's size, and the sizes of
  // other chunks too long for their own 32-bit field.
  struct TDs64 {
    uint64_t Data = 0;
    std::vector<std::pair<std::string, uint64_t>> Table;
  };
  TDs64 ReadDs64();
  // Keeps, as Keeps says, the chunks of a regular file from Offset, past its
  // data, to its end, read where they lie: the reader's place is unmoved.
  // Ds64: an RF64 file's table of sizes, else null.
  void KeepChunksAfterData(uint64_t Offset, const TDs64* Ds64,
                           const std::function<bool(const std::string&, uint64_t)>& Keeps);
  std::string GetChars(int N);

  void Open();
  void ReadHeader();
  void ReadFormatChunk(uint64_t Size);
  // Refuses the chunk Id of Size bytes from the offset Start when it runs
  // past the end of the file (of any stream that can be, for a stream).
  void CheckFits(const std::string& Id, uint64_t Size, uint64_t Start) const;
  void Skip(uint64_t Bytes);
  void SkipTo(uint64_t Offset);
  void Close();
  void ReadBlock();
  size_t ReadStream(uint8_t* Dest, size_t Count);
  uint64_t Position() const { return FBlockStart + static_cast<uint64_t>(BufPos); }
  [[noreturn]] void Refuse(const std::string& Problem) const;

  std::FILE* DataFile = nullptr;
  int32_t BufPos = 0;    // index in Buffer of the next byte to deliver
  int32_t BufCount = 0;  // valid bytes in Buffer; 0 once a read met the end
  uint8_t Buffer[WAV_BUFFER_SIZE] = {};
  TFileState FState = TFileState::fsClosed;
  bool FActive = false;
  int FFrameBytes = 0;

  uint64_t FLength = 0;      // the file's length at opening; for a stream, the most it can be
  uint64_t FBlockStart = 0;  // file offset of Buffer[0]
  uint64_t FFileRead = 0;    // bytes read from the file so far
  uint64_t FDataStart = 0;   // file offset of the first frame
  uint64_t FDataBytes = 0;   // usable sample bytes: whole frames in the file
  uint64_t FDataLeft = 0;    // sample bytes left to deliver
  bool FPastEnd = false;     // a GetByte found the end of the file
  bool FStreamed = false;    // the source is not a regular file
  // What a stream's last poll found, until the next read: 1 bytes or the
  // end (a read would not wait), -1 nothing (it would), 0 not known.
  mutable int FAtHand = 0;
  bool FDrained = false;  // the last read of a stream took less than it asked for
  uint8_t FEndByte = 0;      // what GetByte gives there: silence once in the data
  int64_t FNonFiniteFrame = -1;
  std::vector<std::string> FWarnings;
};

}  // namespace kestrum
