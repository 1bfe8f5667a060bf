// Opens a WAV source, walks its chunks to the sample data and reads it in
// blocks of WAV_BUFFER_SIZE bytes.
#include "wav/ReadWavFile.h"

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Errors.h"
#include "base/Stop.h"

namespace kestrum {

namespace {

constexpr uint16_t kFormatExtensible = 0xFFFE;
// The subformat GUIDs of an extensible format chunk (PCM, float) after their
// first two bytes, which hold the plain format tag.
constexpr uint8_t kSubformatGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                            0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

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
  const uint64_t Skipped = uint64_t{FFrameBytes} * static_cast<uint64_t>(StartSample);
  if (Skipped >= FDataBytes) {
    FDataLeft = 0;  // past the data: every fetch gives silence, nothing to read
    return;
  }
  FDataLeft = FDataBytes - Skipped;
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
  FWarnings.clear();

  DataFile = OpenSource(FileName, Descriptor);
  try {
    struct stat Stat {};
    if (fstat(fileno(DataFile), &Stat) != 0) throw EInOutError::FromErrno(errno, "cannot read", FileName);
    const bool Streamed = FStreamed = !S_ISREG(Stat.st_mode);
    // Our own buffer is the only one: blocks go straight from the system.
    std::setvbuf(DataFile, nullptr, _IONBF, 0);
    const uint64_t FileLength = static_cast<uint64_t>(Stat.st_size);

    if (GetChars(4) != "RIFF" || (GetDWord(), GetChars(4) != "WAVE")) {
      if (FPastEnd) Refuse("file ends inside its header");
      Refuse("not a WAV file (no RIFF/WAVE header)");
    }
    bool HaveFormat = false;
    for (;;) {
      CheckStop();  // a file of many small chunks takes long to walk
      const std::string Id = GetChars(4);
      const uint32_t Size = GetDWord();
      if (FPastEnd) Refuse(HaveFormat ? "no 'data' chunk" : "no 'fmt ' chunk");
      if (Id == "data") {
        if (!HaveFormat) Refuse("no 'fmt ' chunk before the 'data' chunk");
        FDataStart = Position();
        const uint64_t Available = Streamed                 ? UINT64_MAX  // to the end, whenever that comes
                                   : FileLength < FDataStart ? 0
                                                             : FileLength - FDataStart;
        // A stream's writer could not know its size: the data runs to its end.
        const bool Open = Size == kStreamedSize ||
                          (Streamed && (Size == 0 || Size / FFrameBytes == kSoxStreamedSize / FFrameBytes));
        const uint64_t Usable = Open ? Available : std::min<uint64_t>(Size, Available);
        FDataBytes = Usable == UINT64_MAX ? Usable : Usable - Usable % FFrameBytes;  // MAX: to the end
        if (!Open && Size / FFrameBytes > FDataBytes / FFrameBytes)
          FWarnings.push_back(FileName + ": the 'data' chunk declares " + std::to_string(Size / FFrameBytes) +
                              " frames but the file holds only " + std::to_string(FDataBytes / FFrameBytes) +
                              ": it was cut short, and the run reads what is there");
        break;
      }
      if (Id == "fmt ") {
        ReadFormatChunk(Size);
        HaveFormat = true;
      } else {
        Skip(uint64_t{Size} + (Size & 1));  // chunks are padded to even sizes
      }
    }
    const uint64_t Frames = FDataBytes / FFrameBytes;
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

void TReadWavFile::ReadFormatChunk(uint32_t Size) {
  if (Size < 16)
    Refuse("'fmt ' chunk is " + std::to_string(Size) + " bytes, expected at least 16");
  const uint16_t Tag = GetWord();
  const uint16_t Channels = GetWord();
  Frequency = GetDWord();
  GetDWord();  // byte rate: derived, not needed
  const uint16_t BlockAlign = GetWord();
  const uint16_t Bits = GetWord();
  uint32_t Read = 16;
  uint16_t Encoding = Tag;  // the plain tag, or the extensible chunk's subformat
  if (Tag == kFormatExtensible && Size < 40)
    Refuse("the extensible 'fmt ' chunk is " + std::to_string(Size) +
           " bytes, expected 40: its header is truncated, without the sample format");
  if (Tag == kFormatExtensible) {
    GetWord();   // extension size
    GetWord();   // valid bits: a 24-bit container is read as 24-bit whatever they say
    GetDWord();  // channel mask
    Encoding = GetWord();
    for (uint8_t Expected : kSubformatGuidTail)
      if (GetByte() != Expected) Encoding = kFormatExtensible;
    Read = 40;
  }
  if (FPastEnd) Refuse("file ends inside its header");
  const char* const kReadable = "; only 8-, 16- and 24-bit PCM and 32-bit float can be read";
  if (Encoding != WAV_FORMAT_PCM && Encoding != WAV_FORMAT_FLOAT) {
    std::string Name = Tag == 6 ? " (A-law)" : Tag == 7 ? " (mu-law)" : "";
    if (Tag == kFormatExtensible) Name = " (extensible, neither PCM nor float)";
    Refuse("format tag " + std::to_string(Tag) + Name + " is not PCM or float" + kReadable);
  }
  if (Frequency == 0) Refuse("the sample rate is 0 Hz");
  if (Channels != 1 && Channels != 2)
    Refuse(std::to_string(Channels) + " channels; only mono and stereo can be read");
  const bool Float = Encoding == WAV_FORMAT_FLOAT;
  if (Float ? Bits != 32 : Bits != 8 && Bits != 16 && Bits != 24)
    Refuse(std::to_string(Bits) + " bits per sample" + (Float ? " (floating point)" : Bits == 32 ? " (integer)" : "") +
           kReadable);
  Stereo = Channels == 2;
  Bits16 = Bits == 16 && !Float;
  Bits24 = Bits == 24;
  Float32 = Float;
  FFrameBytes = static_cast<uint8_t>(Channels * BytesPerSample(SampleFormat()));
  // 8- and 16-bit files have always been read whatever their block align;
  // wider samples must be packed, or every frame would be misread.
  if ((Bits24 || Float32) && BlockAlign != FFrameBytes)
    Refuse("block align " + std::to_string(BlockAlign) + ", expected " + std::to_string(FFrameBytes) + " for " +
           std::to_string(Bits) + "-bit " + (Stereo ? "stereo" : "mono"));
  Skip(uint64_t{Size} - Read + (Size & 1));
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

void TReadWavFile::Skip(uint64_t Bytes) { SkipTo(Position() + Bytes); }

void TReadWavFile::SkipTo(uint64_t Offset) {
  // Blocks before the one holding Offset are read and dropped: the file is
  // only ever read forward.
  if (BufCount < 0) ReadBlock();
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
    WaitReady(Fd, POLLIN);
    const ssize_t Got = read(Fd, Dest, Count);
    if (Got >= 0) return static_cast<size_t>(Got);
    if (errno != EINTR && errno != EAGAIN) throw EInOutError::FromErrno(errno, "cannot read", FileName);
  }
}

bool TReadWavFile::Ready() const {
  if (!FStreamed || FState != TFileState::fsOpen || BufCount == 0 || BufCount - BufPos >= FFrameBytes) return true;
  pollfd Poll{fileno(DataFile), POLLIN, 0};
  return poll(&Poll, 1, 0) != 0;
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
      if (Got > 0 && Got % Frame == 0 && !Ready()) break;  // all that has arrived
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
  if (Float32 && FNonFiniteFrame < 0) FindNonFinite(Dest, Got, FirstFrame);
  return static_cast<int32_t>(Got / Frame);
}

void TReadWavFile::ReadFrames(uint8_t* Dest, int32_t Count) {
  const uint64_t Want = uint64_t{FFrameBytes} * static_cast<uint64_t>(Count < 0 ? 0 : Count);
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
  if (Float32 && FNonFiniteFrame < 0) FindNonFinite(Dest, static_cast<size_t>(Out - Dest), FirstFrame);
  std::memset(Out, SampleFormat() == TSampleFormat::Pcm8 ? 0x80 : 0x00, Want - static_cast<uint64_t>(Out - Dest));
}

void TReadWavFile::FindNonFinite(const uint8_t* Bytes, size_t Count, int64_t FirstFrame) {
  for (size_t I = 0; I + 4 <= Count; I += 4)
    if ((ReadU32LE(Bytes + I) & 0x7F800000) == 0x7F800000) {
      FNonFiniteFrame = FirstFrame + static_cast<int64_t>(I / FFrameBytes);
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
