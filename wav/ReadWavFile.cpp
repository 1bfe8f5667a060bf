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

// The most a stream may hold: a header and the largest data a run can read.
constexpr uint64_t kMaxStreamLength = uint64_t{1} << 33;

// Opens Name for reading; "-" is standard input.
std::FILE* OpenSource(const std::string& Name) {
  std::FILE* File = nullptr;
  if (Name == "-") {
    const int Fd = dup(STDIN_FILENO);
    if (Fd >= 0 && !(File = fdopen(Fd, "rb"))) close(Fd);
  } else {
    File = std::fopen(Name.c_str(), "rb");
  }
  if (!File) throw EInOutError::FromErrno(errno, "cannot open", Name, "for reading");
  return File;
}

// Copies the stream Source to an unnamed temporary file and returns it,
// positioned at its start: only a file tells the real length of the data. A
// stream that does not begin like a WAV file is refused after its first block.
std::FILE* SpoolStream(std::FILE* Source, const std::string& Name) {
  std::FILE* Spool = std::tmpfile();
  if (!Spool) throw EInOutError::FromErrno(errno, "cannot create a temporary file for", Name);
  try {
    static thread_local uint8_t Block[1 << 16];
    uint64_t Length = 0;
    for (;;) {
      WaitReady(fileno(Source), POLLIN);  // a stalled writer cannot hold a stopped run
      const ssize_t Read = read(fileno(Source), Block, sizeof Block);
      if (Read < 0 && errno == EINTR) continue;
      if (Read < 0) throw EInOutError::FromErrno(errno, "cannot read", Name);
      if (Read == 0) break;
      const size_t Got = static_cast<size_t>(Read);
      if (Length == 0 && Got >= 4 && std::memcmp(Block, "RIFF", 4) != 0)
        throw EInOutError(0, Name + ": not a WAV file (no RIFF/WAVE header)");
      Length += Got;
      if (Length > kMaxStreamLength)
        throw EInOutError(0, Name + ": the stream is longer than the 8 GiB a run can handle");
      if (std::fwrite(Block, 1, Got, Spool) != Got)
        throw EInOutError::FromErrno(errno, "cannot write the temporary copy of", Name);
    }
    if (std::fflush(Spool) != 0 || std::fseek(Spool, 0, SEEK_SET) != 0)
      throw EInOutError::FromErrno(errno, "cannot write the temporary copy of", Name);
  } catch (...) {
    std::fclose(Spool);
    throw;
  }
  return Spool;
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
  if (FState == TFileState::fsClosed && !IsBlankName(FileName)) {
    ReadHeader();
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

  DataFile = OpenSource(FileName);
  try {
    struct stat Stat {};
    if (fstat(fileno(DataFile), &Stat) != 0) throw EInOutError::FromErrno(errno, "cannot read", FileName);
    const bool Streamed = !S_ISREG(Stat.st_mode);
    if (Streamed) {
      std::FILE* Spool = SpoolStream(DataFile, FileName);
      std::fclose(DataFile);
      DataFile = Spool;
      if (fstat(fileno(DataFile), &Stat) != 0) throw EInOutError::FromErrno(errno, "cannot read", FileName);
    }
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
        const uint64_t Available = FileLength < FDataStart ? 0 : FileLength - FDataStart;
        // A stream's writer could not know its size: the data runs to its end.
        const bool Open = Size == kStreamedSize ||
                          (Streamed && (Size == 0 || Size / FFrameBytes == kSoxStreamedSize / FFrameBytes));
        const uint64_t Usable = Open ? Available : std::min<uint64_t>(Size, Available);
        FDataBytes = Usable - Usable % FFrameBytes;
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
    if (Frames > INT32_MAX)
      Refuse(std::to_string(Frames) + " frames, more than the 2147483647 a run can handle");
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
  const size_t Got = std::fread(Buffer, 1, WAV_BUFFER_SIZE, DataFile);
  if (Got < WAV_BUFFER_SIZE && std::ferror(DataFile))
    throw EInOutError::FromErrno(errno, "cannot read", FileName);
  BufCount = static_cast<int32_t>(Got);
  FFileRead += Got;
}

void TReadWavFile::ReadFrames(uint8_t* Dest, int32_t Count) {
  const uint64_t Want = uint64_t{FFrameBytes} * static_cast<uint64_t>(Count < 0 ? 0 : Count);
  const int64_t FirstFrame = NextFrame();
  uint64_t Left = std::min(Want, FDataLeft);
  FDataLeft -= Left;
  uint8_t* Out = Dest;
  while (Left > 0) {
    if (BufPos >= BufCount && BufCount != 0 && Left >= WAV_BUFFER_SIZE) {
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
