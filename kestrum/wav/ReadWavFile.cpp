// Opens a WAV source, walks its chunks to the sample data and reads it in
// blocks of WAV_BUFFER_SIZE bytes.
#include "kestrum/wav/ReadWavFile.h"

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <utility>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kestrum/base/Errors.h"
#include "kestrum/base/Stop.h"

namespace kestrum {

namespace {

// The largest chunk that KeepChunks keeps in memory, and the most it keeps
// in all.
constexpr uint64_t kMaxKeptChunk = uint64_t{16} << 20;
constexpr uint64_t kMaxKeptChunks = uint64_t{64} << 20;
// The most entries of a ds64 chunk's table that are read (each names one
// chunk other than the data longer than 4 GiB: a real file has a few).
constexpr uint32_t kMaxDs64Entries = 1024;
// Where a stream's chunks must end: no stream is this long, and a position
// with a chunk's size and pad byte added stays below 2^64.
constexpr uint64_t kStreamLength = uint64_t{INT64_MAX};

// The data size a writer that cannot seek back puts in the header.
constexpr uint32_t kStreamedSize = 0xFFFFFFFF;
// What sox declares for a WAV it writes to a pipe, rounded down to whole frames.
constexpr uint32_t kSoxStreamedSize = 0x7FFFF000;

// Opens Name for reading, or Descriptor when it is 0 or more; "-" is
// standard input.
std::FILE* OpenSource(const std::string& Name, int Descriptor) {
  std::FILE* File = nullptr;
  if (Descriptor >= 0 || Name == "-") {
    const int Fd = dup(Descriptor >= 0 ? Descriptor : STDIN_FILENO);
    if (Fd >= 0 && !(File = fdopen(Fd, "rb"))) close(Fd);
  } else {
    File = std::fopen(Name.c_str(), "rb");
  }
  if (!File) throw EInOutError::FromErrno(errno, "cannot open", Name, "for reading");
  return File;
}

}  // namespace

TReadWavFile::~TReadWavFile() {
  if (DataFile) std::fclose(DataFile);
}

void TReadWavFile::SetActive(bool Value) {
  if (Value == FActive) return;
  FActive = Value;
  if (Value)
    Open();
  else
    Close();
}

void TReadWavFile::Open() {
  if (FState == TFileState::fsClosed && (!IsBlankName(FileName) || Descriptor >= 0)) {
    ReadHeader();
    if (OnHeader) OnHeader();
  } else if (FState == TFileState::fsClosed) {
    FDataLeft = 0;  // nothing open: every fetch gives silence
    return;
  }
  if (StartSample < 0)
    throw EInOutError(0, FileName + ": start frame " + std::to_string(StartSample) +
                             " is negative");
  const uint64_t Skipped = static_cast<uint64_t>(FFrameBytes) * static_cast<uint64_t>(StartSample);
  if (Skipped >= FDataBytes) {
    FDataLeft = 0;  // past the data: every fetch gives silence, nothing to read
    return;
  }
  FDataLeft = FDataBytes - Skipped;
  // A stream whose header has all been read is not waited on for its first
  // frames here: the first read takes them, and the host sets its run up
  // while they come.
  if (FStreamed && BufCount > 0 && FDataStart + Skipped == FBlockStart + static_cast<uint64_t>(BufCount))
    BufPos = BufCount;
  else
    SkipTo(FDataStart + Skipped);
}

void TReadWavFile::ReadHeader() {
  BufCount = -1;  // with BufPos past the end, the first GetByte reads block 0
  BufPos = WAV_BUFFER_SIZE;
  FBlockStart = FFileRead = 0;
  FPastEnd = false;
  FFrameBytes = 0;
  FDataLeft = 0;
  FEndByte = 0;
  FNonFiniteFrame = -1;
  FAtHand = 0;
  FDrained = false;
  Chunks.clear();
  FWarnings.clear();

  DataFile = OpenSource(FileName, Descriptor);
  try {
    struct stat Stat {};
    if (fstat(fileno(DataFile), &Stat) != 0) throw EInOutError::FromErrno(errno, "cannot read", FileName);
    const bool Streamed = FStreamed = !S_ISREG(Stat.st_mode);
    // Our own buffer is the only one: blocks go straight from the system.
    std::setvbuf(DataFile, nullptr, _IONBF, 0);
    const uint64_t FileLength = static_cast<uint64_t>(Stat.st_size);
    FLength = Streamed ? kStreamLength : FileLength;

    const std::string Form = GetChars(4);
    const bool Rf64 = Form == "RF64" || Form == "BW64";
    if ((Form != "RIFF" && !Rf64) || (GetDWord(), GetChars(4) != "WAVE")) {
      if (FPastEnd) Refuse("file ends inside its header");
      Refuse("not a WAV file (no RIFF/WAVE header)");
    }
    const TDs64 Ds64 = Rf64 ? ReadDs64() : TDs64{};
    bool HaveFormat = false;
    uint64_t Kept = 0;  // bytes of the chunks kept
    // Whether KeepChunks keeps a chunk: not those that describe the samples,
    // nor one too large to hold (left out with a warning).
    const auto Keeps = [&](const std::string& Id, uint64_t Size) {
      if (!KeepChunks || Id == "fmt " || Id == "data" || Id == "fact" || Id == "ds64" || Id == "JUNK" ||
          Id == "junk" || Id == "PEAK" || (!KeepOnly.empty() && Id != KeepOnly))
        return false;
      if (Size > kMaxKeptChunk) {
        FWarnings.push_back(FileName + ": the '" + Id + "' chunk (" + std::to_string(Size) +
                            " bytes) is too large to be kept; it is left out");
        return false;
      }
      if ((Kept += Size) > kMaxKeptChunks)
        Refuse("its chunks to keep pass " + std::to_string(kMaxKeptChunks >> 20) +
               " MiB in all, more than is kept in memory; read it without keeping its metadata");
      return true;
    };
    for (;;) {
      CheckStop();  // a file of many small chunks takes long to walk
      const std::string Id = GetChars(4);
      const uint32_t Size32 = GetDWord();
      if (FPastEnd) Refuse(HaveFormat ? "no 'data' chunk" : "no 'fmt ' chunk");
      // In RF64 a size of 0xFFFFFFFF stands for the ds64 chunk's.
      uint64_t Size = Size32;
      if (Rf64 && Size32 == UINT32_MAX) {
        if (Id == "data") {
          Size = Ds64.Data;
        } else {
          const auto Entry = std::find_if(Ds64.Table.begin(), Ds64.Table.end(), [&](const auto& E) { return E.first == Id; });
          if (Entry == Ds64.Table.end())
            Refuse("the size of the '" + Id + "' chunk is in no entry of the 'ds64' chunk's table");
          Size = Entry->second;
        }
      }
      if (Id == "data") {
        if (!HaveFormat) Refuse("no 'fmt ' chunk before the 'data' chunk");
        FDataStart = Position();
        const uint64_t Available = Streamed                 ? UINT64_MAX  // to the end, whenever that comes
                                   : FileLength < FDataStart ? 0
                                                             : FileLength - FDataStart;
        // A stream's writer could not know its size: the data runs to its end.
        const uint64_t FrameBytes = static_cast<uint64_t>(FFrameBytes);
        const bool Open = (!Rf64 && Size == kStreamedSize) || Size == UINT64_MAX ||
                          (Streamed && (Size == 0 || Size / FrameBytes == kSoxStreamedSize / FrameBytes));
        const uint64_t Usable = Open ? Available : std::min<uint64_t>(Size, Available);
        FDataBytes = Usable == UINT64_MAX ? Usable : Usable - Usable % FrameBytes;  // MAX: to the end
        if (!Open && Size / FrameBytes > FDataBytes / FrameBytes)
          FWarnings.push_back(FileName + ": the 'data' chunk declares " + std::to_string(Size / FrameBytes) +
                              " frames but the file holds only " + std::to_string(FDataBytes / FrameBytes) +
                              ": it was cut short, and the run reads what is there");
        // Metadata may follow the samples too (a LIST/INFO written last):
        // a file is read there without moving the reader.
        if (KeepChunks && !Streamed && !Open && Size <= Available)
          KeepChunksAfterData(FDataStart + Size + (Size & 1), Rf64 ? &Ds64 : nullptr, Keeps);
        break;
      }
      if (Id != "fmt " || HaveFormat) CheckFits(Id, Size, Position());  // the first: once its fields are read
      if (Id == "fmt " && !HaveFormat) {
        ReadFormatChunk(Size);
        HaveFormat = true;
      } else if (Id == "fmt ") {
        FWarnings.push_back(FileName + ": a second 'fmt ' chunk is ignored; the first gives the format");
        Skip(Size + (Size & 1));
      } else if (Keeps(Id, Size)) {
        TWavChunk Chunk{Id, std::vector<uint8_t>(Size)};
        GetBytes(Chunk.Data.data(), Size);
        if (Size & 1) GetByte();
        if (FPastEnd) Refuse("the '" + Id + "' chunk runs past the end of the file");
        Chunks.push_back(std::move(Chunk));
      } else {
        Skip(Size + (Size & 1));  // chunks are padded to even sizes
      }
    }
    const uint64_t Frames = FDataBytes / static_cast<uint64_t>(FFrameBytes);
    if (FDataBytes == UINT64_MAX)
      NSamples = -1;
    else if (Frames > INT32_MAX)
      Refuse(std::to_string(Frames) + " frames, more than the 2147483647 a run can handle");
    else
      NSamples = static_cast<int32_t>(Frames);
    FEndByte = SampleFormat() == TSampleFormat::Pcm8 ? 0x80 : 0x00;  // a file that shrinks ends in silence
  } catch (...) {
    std::fclose(DataFile);
    DataFile = nullptr;
    throw;
  }
  FState = TFileState::fsOpen;
}

void TReadWavFile::KeepChunksAfterData(uint64_t Offset, const TDs64* Ds64,
                                       const std::function<bool(const std::string&, uint64_t)>& Keeps) {
  // Bytes at At, or false when the file ends first.
  const auto ReadAt = [&](uint8_t* Dest, uint64_t Count, uint64_t At) {
    while (Count > 0) {
      const ssize_t Got = pread(fileno(DataFile), Dest, Count, static_cast<off_t>(At));
      if (Got < 0 && errno == EINTR) continue;
      if (Got < 0) throw EInOutError::FromErrno(errno, "cannot read", FileName);
      if (Got == 0) return false;
      Dest += Got, At += static_cast<uint64_t>(Got), Count -= static_cast<uint64_t>(Got);
    }
    return true;
  };
  // The samples are what matters: a chunk after them that does not fit the
  // file ends the walk with a warning, never the run. A trailing byte or a
  // cut chunk header is no chunk.
  uint8_t Head[8];
  while (FLength >= 8 && Offset <= FLength - 8 && ReadAt(Head, 8, Offset)) {
    CheckStop();
    const std::string Id(reinterpret_cast<const char*>(Head), 4);
    uint64_t Size = ReadU32LE(Head + 4);
    if (Ds64 && Size == UINT32_MAX) {  // RF64: the size is in the table, if anywhere
      const auto Entry = std::find_if(Ds64->Table.begin(), Ds64->Table.end(), [&](const auto& E) { return E.first == Id; });
      if (Entry != Ds64->Table.end()) Size = Entry->second;
    }
    if (Size > FLength - Offset - 8) {
      FWarnings.push_back(FileName + ": the '" + Id + "' chunk after the data runs past the end of the file; "
                          "it and what follows are left out");
      return;
    }
    if (Keeps(Id, Size)) {
      TWavChunk Chunk{Id, std::vector<uint8_t>(Size)};
      if (!ReadAt(Chunk.Data.data(), Size, Offset + 8)) return;  // the file shrank meanwhile
      Chunks.push_back(std::move(Chunk));
    }
    Offset += 8 + Size + (Size & 1);
  }
}

void TReadWavFile::ReadFormatChunk(uint64_t Size) {
  if (Size < 16)
    Refuse("'fmt ' chunk is " + std::to_string(Size) + " bytes, expected at least 16");
  const uint64_t Start = Position();
  const uint16_t Tag = GetWord();
  const uint16_t NbChannels = GetWord();
  Frequency = GetDWord();
  GetDWord();  // byte rate: derived, not needed
  const uint16_t BlockAlign = GetWord();
  const uint16_t Bits = GetWord();
  uint32_t Read = 16;
  uint16_t Encoding = Tag;  // the plain tag, or the extensible chunk's subformat
  ChannelMask = 0;
  if (Tag == WAV_FORMAT_EXTENSIBLE && Size < 40)
    Refuse("the extensible 'fmt ' chunk is " + std::to_string(Size) +
           " bytes, expected 40: its header is truncated, without the sample format");
  if (Tag == WAV_FORMAT_EXTENSIBLE) {
    GetWord();  // extension size
    GetWord();  // valid bits: a container is read whole whatever they say
    ChannelMask = GetDWord();
    Encoding = GetWord();
    for (uint8_t Expected : WAV_SUBFORMAT_GUID_TAIL)
      if (GetByte() != Expected) Encoding = WAV_FORMAT_EXTENSIBLE;
    Read = 40;
  }
  if (FPastEnd) Refuse("file ends inside its header");
  const char* const kReadable = "; only 8-, 16-, 24- and 32-bit PCM and 32- and 64-bit float can be read";
  if (Encoding != WAV_FORMAT_PCM && Encoding != WAV_FORMAT_FLOAT) {
    std::string Name = Tag == 6 ? " (A-law)" : Tag == 7 ? " (mu-law)" : "";
    if (Tag == WAV_FORMAT_EXTENSIBLE) Name = " (extensible, neither PCM nor float)";
    Refuse("format tag " + std::to_string(Tag) + Name + " is not PCM or float" + kReadable);
  }
  if (Frequency == 0) Refuse("the sample rate is 0 Hz");
  if (NbChannels < 1 || NbChannels > MAX_CHANNELS)
    Refuse(std::to_string(NbChannels) + " channels; from 1 to " + std::to_string(MAX_CHANNELS) + " can be read");
  const bool Float = Encoding == WAV_FORMAT_FLOAT;
  if (Float ? Bits != 32 && Bits != 64 : Bits != 8 && Bits != 16 && Bits != 24 && Bits != 32)
    Refuse(std::to_string(Bits) + " bits per sample" + (Float ? " (floating point)" : "") + kReadable);
  Channels = NbChannels;
  Stereo = Channels == 2;
  Bits16 = Bits == 16 && !Float;
  Bits24 = Bits == 24;
  Bits32 = Bits == 32 && !Float;
  Float32 = Bits == 32 && Float;
  Float64 = Bits == 64;
  FFrameBytes = Channels * BytesPerSample(SampleFormat());
  // 8- and 16-bit mono and stereo files have always been read whatever their
  // block align; other frames must be packed, or every frame would be misread.
  const bool Legacy = (Bits == 8 || Bits16) && Channels <= 2;
  if (!Legacy && BlockAlign != FFrameBytes)
    Refuse("block align " + std::to_string(BlockAlign) + ", expected " + std::to_string(FFrameBytes) + " for " +
           std::to_string(Bits) + "-bit " +
           (Channels == 1 ? "mono" : Channels == 2 ? "stereo" : "samples, " + std::to_string(Channels) + " channels"));
  CheckFits("fmt ", Size, Start);
  Skip(Size - Read + (Size & 1));
}

TReadWavFile::TDs64 TReadWavFile::ReadDs64() {
  const std::string Id = GetChars(4);
  const uint32_t Size = GetDWord();
  if (FPastEnd) Refuse("file ends inside its header");
  if (Id != "ds64")
    Refuse("an RF64 file whose first chunk is '" + Id + "', not 'ds64': its sizes are unknown");
  if (Size < 28) Refuse("the 'ds64' chunk is " + std::to_string(Size) + " bytes, expected at least 28");
  CheckFits(Id, Size, Position());
  TDs64 Ds64;
  const uint64_t Riff = GetQWord();
  Ds64.Data = GetQWord();
  GetQWord();  // the frame count: the data size tells it
  const uint32_t Entries = GetDWord();
  if (uint64_t{Entries} * 12 > Size - 28)
    Refuse("the 'ds64' chunk's table of " + std::to_string(Entries) + " entries does not fit its " +
           std::to_string(Size) + " bytes");
  if (Entries > kMaxDs64Entries)
    Refuse("the 'ds64' chunk's table holds " + std::to_string(Entries) + " entries, more than the " +
           std::to_string(kMaxDs64Entries) + " that are read");
  for (uint32_t I = 0; I < Entries && !FPastEnd; ++I) {
    std::string Chunk = GetChars(4);
    Ds64.Table.emplace_back(std::move(Chunk), GetQWord());
  }
  if (FPastEnd) Refuse("file ends inside its header");
  // A writer that streams cannot come back to fill the ds64 chunk in: a
  // stream's zero sizes mean "to the end", as 0xFFFFFFFF does.
  if (FStreamed && Ds64.Data == 0) Ds64.Data = UINT64_MAX;
  const bool RiffKnown = !(FStreamed && (Riff == 0 || Riff == UINT64_MAX));
  // The data lies inside the RIFF form, after the form type and its ds64.
  if (Ds64.Data != UINT64_MAX && RiffKnown && (Riff < 4 + 8 + uint64_t{Size} || Ds64.Data > Riff - 4 - 8 - Size))
    Refuse("the 'ds64' chunk's sizes do not add up: " + std::to_string(Ds64.Data) + " bytes of data in a RIFF form of " +
           std::to_string(Riff) + " bytes");
  Skip(Size - 28 - uint64_t{Entries} * 12 + (Size & 1));
  return Ds64;
}

void TReadWavFile::GetBytes(uint8_t* Dest, uint64_t Count) {
  while (Count > 0) {
    if (BufPos >= BufCount && BufCount != 0) {
      ReadBlock();
      BufPos = 0;
    }
    if (BufCount == 0) {
      FPastEnd = true;
      return;
    }
    const size_t N = std::min<uint64_t>(Count, static_cast<uint64_t>(BufCount - BufPos));
    std::memcpy(Dest, Buffer + BufPos, N);
    BufPos += static_cast<int32_t>(N);
    Dest += N;
    Count -= N;
  }
}

uint64_t TReadWavFile::GetQWord() {
  const uint64_t Low = GetDWord();
  return Low | uint64_t{GetDWord()} << 32;
}

uint32_t TReadWavFile::GetDWord() {
  const uint32_t Low = GetWord();
  return Low | uint32_t{GetWord()} << 16;
}

std::string TReadWavFile::GetChars(int N) {
  std::string S;
  for (int I = 0; I < N; ++I) S += static_cast<char>(GetByte());
  return S;
}

void TReadWavFile::CheckFits(const std::string& Id, uint64_t Size, uint64_t Start) const {
  if (Size > FLength - std::min(FLength, Start))
    Refuse("the '" + Id + "' chunk's " + std::to_string(Size) + " bytes run past the end of the " +
           (FStreamed ? "stream" : "file"));
}

void TReadWavFile::Skip(uint64_t Bytes) { SkipTo(Position() + Bytes); }

void TReadWavFile::SkipTo(uint64_t Offset) {
  // Blocks before the one holding Offset are read and dropped: the file is
  // only ever read forward. Far ahead (a start frame deep in a large file),
  // the whole blocks between are passed with a seek instead, on the same
  // grid of blocks; a stream cannot seek, and reads them all.
  if (BufCount < 0) ReadBlock();
  constexpr uint64_t kFar = uint64_t{256} * WAV_BUFFER_SIZE;
  if (BufCount != 0 && !FStreamed && Offset > FFileRead + kFar) {
    const uint64_t Target = FFileRead + (Offset - FFileRead) / WAV_BUFFER_SIZE * WAV_BUFFER_SIZE;
    if (fseeko(DataFile, static_cast<off_t>(Target), SEEK_SET) != 0)
      throw EInOutError::FromErrno(errno, "cannot read", FileName);
    FFileRead = Target;
    ReadBlock();
  }
  while (BufCount != 0 && Offset - FBlockStart >= static_cast<uint64_t>(BufCount)) ReadBlock();
  if (BufCount == 0) FPastEnd = true;
  BufPos = BufCount == 0 ? 0 : static_cast<int32_t>(Offset - FBlockStart);
}

void TReadWavFile::ReadBlock() {
  CheckStop();
  FBlockStart = FFileRead;
  const size_t Got = FStreamed ? ReadStream(Buffer, WAV_BUFFER_SIZE) : std::fread(Buffer, 1, WAV_BUFFER_SIZE, DataFile);
  if (Got < WAV_BUFFER_SIZE && std::ferror(DataFile))
    throw EInOutError::FromErrno(errno, "cannot read", FileName);
  BufCount = static_cast<int32_t>(Got);
  FFileRead += Got;
}

// One read of what the stream holds, up to Count bytes, once it holds some:
// 0 only at its end.
size_t TReadWavFile::ReadStream(uint8_t* Dest, size_t Count) {
  const int Fd = fileno(DataFile);
  for (;;) {
    // A poll that found bytes (or the end) stands until they are read: the
    // read cannot wait.
    if (FAtHand > 0)
      CheckStop();
    else
      WaitReady(Fd, POLLIN);
    FAtHand = 0;
    const ssize_t Got = read(Fd, Dest, Count);
    // A read of a pipe, FIFO or socket that took less than it asked for
    // emptied it.
    FDrained = Got > 0 && static_cast<size_t>(Got) < Count;
    if (Got >= 0) return static_cast<size_t>(Got);
    if (errno != EINTR && errno != EAGAIN) throw EInOutError::FromErrno(errno, "cannot read", FileName);
  }
}

bool TReadWavFile::Ready() const {
  if (!FStreamed || FState != TFileState::fsOpen || BufCount == 0 || BufCount - BufPos >= FFrameBytes) return true;
  if (FAtHand == 0) {
    pollfd Poll{fileno(DataFile), POLLIN, 0};
    const int Polled = poll(&Poll, 1, 0);
    if (Polled < 0) return true;  // not known: the read waits as usual
    FAtHand = Polled > 0 ? 1 : -1;
  }
  return FAtHand > 0;
}

int32_t TReadWavFile::ReadArrived(uint8_t* Dest, int32_t Max) {
  const uint64_t Frame = FFrameBytes;
  if (Frame == 0 || Max <= 0) return 0;
  const uint64_t Want = std::min(Frame * static_cast<uint64_t>(Max), FDataLeft - FDataLeft % Frame);
  if (!FStreamed) {
    ReadFrames(Dest, static_cast<int32_t>(Want / Frame));
    return static_cast<int32_t>(Want / Frame);
  }
  const int64_t FirstFrame = NextFrame();
  uint64_t Got = 0;
  while (Got < Want) {
    if (BufPos >= BufCount) {
      if (BufCount == 0) break;  // the stream has ended
      // A read that emptied the stream tells that the next would wait: no
      // poll is needed to learn it, here or when the pipeline asks Ready()
      // (a stale "it would" only hands frames on earlier).
      if (Got >= Frame && FDrained) FAtHand = -1;
      if (Got >= Frame && !Ready()) {  // all that has arrived: its whole frames go now
        // The bytes of a frame not yet complete wait in the buffer, which
        // is empty here, for the rest of the frame.
        const size_t Part = static_cast<size_t>(Got % Frame);
        if (Part > 0) {  // (a BufCount of 0 would mean the end)
          std::memcpy(Buffer, Dest + (Got - Part), Part);
          BufPos = 0;
          BufCount = static_cast<int32_t>(Part);
          FBlockStart = FFileRead - Part;
          Got -= Part;
        }
        break;
      }
      if (Want - Got >= WAV_BUFFER_SIZE) {  // much is wanted: straight into Dest
        const size_t N = ReadStream(Dest + Got, Want - Got);
        FFileRead += N;
        FBlockStart = FFileRead - static_cast<uint64_t>(BufPos);  // the buffer stays empty
        if (N == 0) BufCount = BufPos = 0;
        Got += N;
      } else {
        ReadBlock();
        BufPos = 0;
      }
      continue;
    }
    const size_t N = std::min<uint64_t>(Want - Got, static_cast<uint64_t>(BufCount - BufPos));
    std::memcpy(Dest + Got, Buffer + BufPos, N);
    BufPos += static_cast<int32_t>(N);
    Got += N;
  }
  Got -= Got % Frame;  // a frame cut short by the end
  FDataLeft = Got == 0 ? 0 : FDataLeft - Got;
  if ((Float32 || Float64) && FNonFiniteFrame < 0) FindNonFinite(Dest, Got, FirstFrame);
  return static_cast<int32_t>(Got / Frame);
}

void TReadWavFile::ReadFrames(uint8_t* Dest, int32_t Count) {
  const uint64_t Want = static_cast<uint64_t>(FFrameBytes) * static_cast<uint64_t>(Count < 0 ? 0 : Count);
  const int64_t FirstFrame = NextFrame();
  uint64_t Left = std::min(Want, FDataLeft);
  FDataLeft -= Left;
  uint8_t* Out = Dest;
  while (Left > 0) {
    if (BufPos >= BufCount && BufCount != 0 && Left >= WAV_BUFFER_SIZE && !FStreamed) {
      // The buffer is empty and much is wanted: one read straight into Dest.
      const size_t Got = std::fread(Out, 1, Left, DataFile);
      if (Got < Left && std::ferror(DataFile)) throw EInOutError::FromErrno(errno, "cannot read", FileName);
      FFileRead += Got;
      FBlockStart = FFileRead - static_cast<uint64_t>(BufPos);  // the buffer stays empty, at the new position
      Out += Got;
      Left -= Got;
      if (Left > 0) {  // the file shrank under us: the rest is silence
        BufCount = BufPos = 0;
        FDataLeft = 0;
      }
      continue;
    }
    if (BufPos >= BufCount && BufCount != 0) {
      ReadBlock();
      BufPos = 0;
    }
    if (BufCount == 0) {  // the file shrank under us: the rest is silence
      FDataLeft = 0;
      break;
    }
    const size_t N = std::min<uint64_t>(Left, static_cast<uint64_t>(BufCount - BufPos));
    std::memcpy(Out, Buffer + BufPos, N);
    Out += N;
    BufPos += static_cast<int32_t>(N);
    Left -= N;
  }
  Out -= (Out - Dest) % FFrameBytes;  // a frame that a stream's end cut short is silence
  if ((Float32 || Float64) && FNonFiniteFrame < 0) FindNonFinite(Dest, static_cast<size_t>(Out - Dest), FirstFrame);
  std::memset(Out, SampleFormat() == TSampleFormat::Pcm8 ? 0x80 : 0x00, Want - static_cast<uint64_t>(Out - Dest));
}

bool TReadWavFile::FillFrame() {
  // The bytes held move to the front of the buffer and the stream fills the
  // rest: a stream's reads follow no grid of blocks.
  const int32_t Held = BufCount - BufPos;
  if (BufCount > 0) {
    std::memmove(Buffer, Buffer + BufPos, static_cast<size_t>(Held));
    FBlockStart += static_cast<uint64_t>(BufPos);
    BufPos = 0;
    BufCount = Held;
    while (BufCount < FFrameBytes) {
      CheckStop();
      const size_t Got = ReadStream(Buffer + BufCount, static_cast<size_t>(WAV_BUFFER_SIZE - BufCount));
      if (Got == 0) break;
      BufCount += static_cast<int32_t>(Got);
      FFileRead += Got;
    }
    if (BufCount >= FFrameBytes) return true;
  }
  BufCount = BufPos = 0;  // the end of the stream
  FDataLeft = 0;
  return false;
}

void TReadWavFile::FindNonFinite(const uint8_t* Bytes, size_t Count, int64_t FirstFrame) {
  // A 64-bit float's exponent is in its high word, the second of the two.
  const size_t Step = Float64 ? 8 : 4, High = Float64 ? 4 : 0;
  const uint32_t Exponent = Float64 ? 0x7FF00000 : 0x7F800000;
  for (size_t I = 0; I + Step <= Count; I += Step)
    if ((ReadU32LE(Bytes + I + High) & Exponent) == Exponent) {
      FNonFiniteFrame = FirstFrame + static_cast<int64_t>(I / static_cast<size_t>(FFrameBytes));
      return;
    }
}

std::vector<std::string> TReadWavFile::TakeWarnings() { return std::exchange(FWarnings, {}); }

void TReadWavFile::Close() {
  if (FState != TFileState::fsOpen) return;
  std::FILE* F = DataFile;
  DataFile = nullptr;
  if (std::fclose(F) != 0) {
    FState = TFileState::fsClosed;
    throw EInOutError::FromErrno(errno, "cannot close", FileName);
  }
  FState = TFileState::fsClosed;
}

void TReadWavFile::Refuse(const std::string& Problem) const {
  throw EInOutError(0, FileName + ": " + Problem);
}

}  // namespace kestrum
