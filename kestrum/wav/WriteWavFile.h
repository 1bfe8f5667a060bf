// Writes PCM and float frames to a new WAV file through a buffer of WAV_BUFFER_SIZE
// bytes, and completes its header when the file is closed.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kestrum/base/OutputFile.h"
#include "kestrum/wav/WavHeader.h"

namespace kestrum {

// Use: set FileName, SetActive(true), set the format fields (any time before
// Close), append frames, Close.
//
// A regular target is replaced atomically through a TReplaceFile
// (kestrum/base/OutputFile.h): the frames go to a temporary file beside it, which is
// renamed over it only once its header is written. Until then an existing
// target stays exactly as it was, and a writer that is destroyed without
// Close, or whose Close fails, removes its temporary file. So a source that
// is also the target stays readable to the end of a run. Symbolic links are
// followed, and the result keeps the mode and owner of the file it replaces.
//
// A target that exists and is not a regular file (a FIFO, a device, a
// terminal, a pipe), "-", standard output, and a name of an open descriptor
// (/dev/stdout, /dev/fd/N: written through it, kestrum/base/OutputFile.h) are
// streamed instead: header
// first, its sizes computed from Reserve's frame count (0xFFFFFFFF without
// one, and then no limit of 4 GiB), then the frames, with no temporary file.
// A failed run leaves such a stream cut short. A stream that is a regular
// file written at its descriptor's offset (standard output sent to a file,
// not appended to) gets its header completed at Close as a replaced file
// does, and holes for silence when nothing lay past that offset.
class TWriteWavFile {
public:
  TWriteWavFile() = default;
  // Releases the file at once and removes the unfinished temporary file; the
  // target is left untouched.
  ~TWriteWavFile();
  TWriteWavFile(const TWriteWavFile&) = delete;
  TWriteWavFile& operator=(const TWriteWavFile&) = delete;

  std::string FileName;  // used exactly as it is held

  // Format written into the header at Close. The header's size (44 bytes,
  // 58 for float, 68 or 80 when extensible) is settled when the first block
  // reaches the file, so the format may change until then but not its
  // header's layout afterwards. A format whose byte rate (Frequency times
  // the frame's bytes) does not fit the header's 32 bits is refused then, or
  // at Close, with an EGeneralError naming the file.
  bool Stereo = false;
  int Channels = 0;          // channels of a frame, 1 to MAX_CHANNELS; 0: 2 when Stereo, else 1
  uint32_t ChannelMask = 0;  // speaker positions; not 0 (or Channels > 2) asks for an extensible header
  bool Bits16 = false;   // 16-bit PCM
  bool Bits24 = false;   // 24-bit PCM
  bool Bits32 = false;   // 32-bit PCM
  bool Float32 = false;  // 32-bit float
  bool Float64 = false;  // 64-bit float
  uint32_t Frequency = 0;
  int32_t NSamples = 0;  // copied from a reader for its owner; never read here
  // Chunks written, in this order, between the format chunk and the data
  // chunk (metadata carried from a source); set before the first frame.
  std::vector<TWavChunk> Chunks;

  bool Active() const { return FActive; }
  // Setting the value it already has does nothing. True creates the file
  // (when FileName is not blank) and reserves its 44-byte header; false runs
  // Close. A failed create raises EInOutError and leaves Active true and
  // State fsClosed; an existing target that may not be written is refused.
  void SetActive(bool Value);

  TFileState State() const { return FState; }
  TSampleFormat SampleFormat() const { return SampleFormatOf(Bits16, Bits24, Float32, Bits32, Float64); }
  TAudioFormat Format() const {
    return {SampleFormat(), Channels > 0 ? Channels : Stereo ? 2 : 1, Frequency, ChannelMask};
  }
  // Sets the format fields from Format: Writer.SetFormat(Reader.Format())
  // writes frames as the reader reads them.
  void SetFormat(const TAudioFormat& Format) {
    Stereo = Format.Stereo();
    Channels = Format.Channels;
    ChannelMask = Format.ChannelMask;
    Bits16 = Format.Samples == TSampleFormat::Pcm16;
    Bits24 = Format.Samples == TSampleFormat::Pcm24;
    Bits32 = Format.Samples == TSampleFormat::Pcm32;
    Float32 = Format.Samples == TSampleFormat::Float32;
    Float64 = Format.Samples == TSampleFormat::Float64;
    Frequency = Format.Rate;
  }

  // Whether the open target is streamed rather than replaced.
  bool Streaming() const { return FStreaming; }

  // Declares, before the first frame, that Frames frames will be written, in
  // the format set. A file that this count takes past the 32-bit sizes of a
  // WAV header (4 GiB) is written as RF64, with a ds64 chunk after "WAVE";
  // any other keeps the plain header. A streamed header takes its sizes from
  // this count.
  void Reserve(int64_t Frames);
  // Declares, instead, that the length is not known: a regular file then
  // keeps a 36-byte JUNK chunk after "WAVE", which becomes a ds64 chunk
  // should the file pass 4 GiB; a stream gets sizes of 0xFFFFFFFF (a stream
  // into a file: the JUNK chunk too). Without either declaration a file past
  // 4 GiB is refused (EGeneralError); a stream flows on.
  void ReserveUnknownLength();

  // Writes the buffered bytes, a zero pad byte after data of odd size, and
  // the header, then puts the file in place.
  // Does nothing when no file is open. With no frame written it raises
  // EGeneralError "Le fichier Wav n'a pas été ecrit"; file failures raise
  // EInOutError. After a failure no file of the writer's is left behind and
  // the writer is closed.
  void Close();

  // Append one frame, storing only the low 8, 16 or 24 bits of integers
  // (values wrap, they are not clipped), low byte first; floats are stored
  // bit for bit. Appending while no file
  // is open raises EGeneralError. A file that would outgrow the 32-bit sizes
  // of its header raises EGeneralError instead of growing, unless Reserve or
  // ReserveUnknownLength let it become RF64, or it is a stream of unknown
  // length. Blocks of zeros reach a file as holes.
  void WriteByte(int32_t Value) {
    Buffer[BufPos++] = static_cast<uint8_t>(Value);
    if (BufPos >= BufSize) WriteBlock();
  }
  void WriteBytePair(int32_t First, int32_t Second) {
    WriteByte(First);
    WriteByte(Second);
  }
  void WriteWord(int32_t Value) {
    WriteByte(Value);
    WriteByte(Value >> 8);
  }
  void WriteWordPair(int32_t First, int32_t Second) {
    WriteWord(First);
    WriteWord(Second);
  }
  void WriteInt24(int32_t Value) {
    WriteWord(Value);
    WriteByte(Value >> 16);
  }
  void WriteInt24Pair(int32_t First, int32_t Second) {
    WriteInt24(First);
    WriteInt24(Second);
  }
  void WriteFloat(float Value) {
    const uint32_t Bits = std::bit_cast<uint32_t>(Value);
    WriteWord(static_cast<int32_t>(Bits & 0xFFFF));
    WriteWord(static_cast<int32_t>(Bits >> 16));
  }
  void WriteFloatPair(float First, float Second) {
    WriteFloat(First);
    WriteFloat(Second);
  }

  // Appends Count raw bytes, file order: the same as as many WriteByte calls.
  void WriteBytes(const uint8_t* Bytes, size_t Count);

  // A streamed target: writes out the bytes held in the buffer now, header
  // first if it has not gone yet, so that the stream's reader has every frame
  // appended so far. A replaced file: nothing, it is written in whole blocks.
  void SendBuffered();
  // A streamed target, once a stop was asked for: writes out the buffered
  // bytes when the stream takes them within a second, ignoring the stop, so
  // that it ends after the last whole frame appended (unless the stop cut a
  // write to a stalled reader short), then closes it without error. A
  // replaced file: nothing.
  void EndStream() noexcept;

private:
  void Open();
  void CreateNew();
  void WriteBlock();
  void Flush();
  void Put(const uint8_t* Bytes, size_t Count);
  void Append(const uint8_t* Bytes, size_t Count);
  void PutStream(const uint8_t* Bytes, size_t Count);
  void Discard();
  void OpenStream(const std::string& Name);
  void FinishReplacement(uint64_t Data);
  // Whether the file may pass 4 GiB: an RF64 or JUNK header, or a stream
  // whose length was never declared (its sizes say "unknown").
  bool Unbounded() const { return FLayout != TWavLayout::Plain || (FStreaming && FReserved < 0); }
  // The header for Data bytes of frames, in the layout settled, a JUNK chunk
  // becoming ds64 past 4 GiB.
  std::vector<uint8_t> FinalHeader(uint64_t Data) const;
  // A patchable stream: writes its header with the sizes of Data bytes over
  // the one it began with; returns 0 or the errno of the failed write.
  int PatchStreamHeader(uint64_t Data) const;
  // A sparse stream: moves the descriptor past the frames written and sets
  // the file's length to cover them; returns 0 or the errno of the failure.
  int SettleStreamEnd();
  uint64_t FrameBytes() const { return static_cast<uint64_t>(Format().FrameBytes()); }
  // The header for Data bytes of frames; a format no header can describe
  // raises EGeneralError naming the file.
  TWavHeader HeaderFor(uint64_t Data, TWavLayout Layout) const;

  std::FILE* DataFile = nullptr;
  int32_t BufPos = 0;   // bytes held in Buffer
  int32_t BufSize = 0;  // WAV_BUFFER_SIZE while a file is open, 0 otherwise
  uint8_t Buffer[WAV_BUFFER_SIZE] = {};
  TFileState FState = TFileState::fsClosed;
  bool FActive = false;

  TReplaceFile FReplacement;  // where the frames go until Close succeeds
  uint64_t FLength = 0;       // bytes written to the file so far
  int FHeaderSize = 0;         // bytes reserved for the header; 0 until the first block is written
  bool FStreaming = false;
  int64_t FReserved = -1;  // frames declared by Reserve, -1 when unknown
  bool FUnknownLength = false;  // ReserveUnknownLength was called
  TWavLayout FLayout = TWavLayout::Plain;  // settled with the header's size
  uint64_t FBlock = 4096;  // the file system's block of a file target, the unit of a hole
  // A stream that is a regular file, at an offset that may be written again
  // (not appending): its header is completed at the end, at FStreamStart.
  bool FPatchable = false;
  int64_t FStreamStart = 0;
  // A patchable stream into a file with nothing past FStreamStart: written
  // at its offsets with holes, as a replaced file is.
  bool FSparseStream = false;
  bool FNoWait = false;  // a stream's writes are first tried without waiting (see WriteWhenReady)
  std::vector<uint8_t> FCutFrame;  // the unwritten rest of the frame a stopped stream write ended in
};

}  // namespace kestrum
