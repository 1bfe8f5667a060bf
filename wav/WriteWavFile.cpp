// Creates the target through a temporary file, appends blocks and puts the
// finished file in place.
#include "wav/WriteWavFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Errors.h"
#include "base/Stop.h"

namespace kestrum {

namespace {

// The largest file whose RIFF size (length - 8) fits its 32-bit field.
constexpr uint64_t kMaxFileLength = uint64_t{UINT32_MAX} + 8;
// The sizes a streamed header gives when the length is not known.
constexpr uint32_t kStreamedSize = 0xFFFFFFFF;
// Links followed before a target is taken as a loop, as the system does.
constexpr int kMaxLinks = 40;

// A name beside Target that no other run will pick: the target's own name,
// hidden, with a random suffix; the name is cut so that the whole fits the
// file system's limit.
std::string TempNameFor(const std::string& Target) {
  static thread_local std::mt19937_64 Random{std::random_device{}()};
  const std::filesystem::path Path(Target);
  const std::filesystem::path Folder = Path.parent_path().empty() ? "." : Path.parent_path();
  long NameMax = pathconf(Folder.c_str(), _PC_NAME_MAX);
  if (NameMax <= 0) NameMax = 255;
  char Suffix[24];
  std::snprintf(Suffix, sizeof Suffix, ".%016llx.tmp",
                static_cast<unsigned long long>(Random()));
  std::string Hidden = Path.filename().string();
  const size_t Room = static_cast<size_t>(NameMax) - 1 - std::strlen(Suffix);
  if (Hidden.size() > Room) Hidden.resize(Room);
  Hidden.insert(Hidden.begin(), '.');
  Hidden.append(Suffix);
  return (Path.parent_path() / Hidden).string();
}

// The file Name finally stands for, through any chain of symbolic links;
// the name itself when it is not a link or does not exist.
std::string FollowLinks(const std::string& Name) {
  std::filesystem::path Path(Name);
  for (int Links = 0;; ++Links) {
    struct stat Stat {};
    if (lstat(Path.c_str(), &Stat) != 0 || !S_ISLNK(Stat.st_mode)) return Path.string();
    if (Links == kMaxLinks) throw EInOutError::FromErrno(ELOOP, "cannot follow", Name);
    std::error_code Ec;
    const std::filesystem::path Link = std::filesystem::read_symlink(Path, Ec);
    if (Ec) throw EInOutError::FromErrno(Ec.value(), "cannot follow", Name);
    Path = Link.is_absolute() ? Link : Path.parent_path() / Link;
  }
}

// Writes a folder's entries to the disk, so that a rename in it lasts. Some
// file systems cannot sync a folder; the rename has happened all the same.
void SyncFolder(const std::string& File) {
  const std::filesystem::path Folder = std::filesystem::path(File).parent_path();
  const int Fd = open(Folder.empty() ? "." : Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd < 0) return;
  fsync(Fd);
  close(Fd);
}

}  // namespace

TWriteWavFile::~TWriteWavFile() { Discard(); }

void TWriteWavFile::SetActive(bool Value) {
  if (Value == FActive) return;
  FActive = Value;
  if (Value)
    Open();
  else
    Close();
}

void TWriteWavFile::Open() {
  if (FState == TFileState::fsClosed && !IsBlankName(FileName)) CreateNew();
}

void TWriteWavFile::CreateNew() {
  FLength = 0;
  FReserved = -1;
  FStreaming = false;
  struct stat Existing {};
  const bool Exists = FileName != "-" && stat(FileName.c_str(), &Existing) == 0;
  if (FileName == "-" || (Exists && !S_ISREG(Existing.st_mode))) {
    OpenStream(FileName);
  } else {
    FTarget = FollowLinks(FileName);
    // A target that exists must be one we may write, as if it were opened to
    // be overwritten; it is not touched until Close.
    if (Exists) {
      std::FILE* Old = std::fopen(FTarget.c_str(), "r+b");
      if (!Old) throw EInOutError::FromErrno(errno, "cannot open", FileName, "for writing");
      std::fclose(Old);
    }
    for (int Attempt = 0; !DataFile; ++Attempt) {
      FTempName = TempNameFor(FTarget);
      DataFile = std::fopen(FTempName.c_str(), "wbx");  // x: fail if it exists
      if (!DataFile && (errno != EEXIST || Attempt == 100))
        throw EInOutError::FromErrno(errno, "cannot create", FileName);
    }
    if (Exists) {
      // Owner first: changing it may clear the set-id bits that fchmod restores.
      const int Fd = fileno(DataFile);
      if (fchown(Fd, Existing.st_uid, Existing.st_gid) != 0) (void)!fchown(Fd, static_cast<uid_t>(-1), Existing.st_gid);
      (void)!fchmod(Fd, Existing.st_mode & 07777);
    }
  }
  std::setvbuf(DataFile, nullptr, _IONBF, 0);  // Buffer is the only buffer
  FHeaderSize = 0;
  BufSize = WAV_BUFFER_SIZE;
  BufPos = 0;
  FState = TFileState::fsOpen;
  for (int I = 0; I < WAV_HEADER_SIZE; ++I) WriteByte(0);  // header placeholder
}

void TWriteWavFile::OpenStream(const std::string& Name) {
  const int Fd = Name == "-" ? dup(STDOUT_FILENO) : open(Name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (Fd < 0 || !(DataFile = fdopen(Fd, "wb"))) {
    const int Error = errno;
    if (Fd >= 0) close(Fd);
    CheckStop();  // opening a FIFO waits for its reader: a stop ends the wait
    throw EInOutError::FromErrno(Error, "cannot open", Name, "for writing");
  }
  FStreaming = true;
}

void TWriteWavFile::Reserve(int64_t Frames) {
  const uint64_t Data = FrameBytes() * static_cast<uint64_t>(std::max<int64_t>(Frames, 0));
  if (TWavHeader::ForData(Stereo, SampleFormat(), Frequency, 0).Size() + Data + (Data & 1) > kMaxFileLength)
    throw EGeneralError(FileName + ": the output would exceed the 4 GiB that a WAV "
                                   "header can describe");
  FReserved = Frames;
}

void TWriteWavFile::WriteBlock() {
  const int32_t Count = BufPos;
  BufPos = 0;
  if (FState != TFileState::fsOpen)
    throw EGeneralError("cannot write a sample: no WAV file is open for writing");
  Put(Buffer, static_cast<size_t>(Count));
}

void TWriteWavFile::WriteBytes(const uint8_t* Bytes, size_t Count) {
  while (Count > 0) {
    if (BufPos == 0 && BufSize > 0 && Count >= static_cast<size_t>(BufSize)) {
      // Whole blocks straight to the file, as many as the header's limit
      // allows: the same bytes, and the same block fails, as block by block.
      const uint64_t Room = (kMaxFileLength - std::min(FLength, kMaxFileLength)) / static_cast<uint64_t>(BufSize);
      const size_t N = static_cast<size_t>(std::min<uint64_t>(Count / static_cast<size_t>(BufSize), Room)) *
                       static_cast<size_t>(BufSize);
      if (N > 0) {
        Put(Bytes, N);
        Bytes += N;
        Count -= N;
        continue;
      }
    }
    const size_t N = std::min<size_t>(Count, static_cast<size_t>(BufSize - BufPos));
    if (N == 0) {  // BufSize 0: no file open
      WriteByte(*Bytes);
      return;
    }
    std::memcpy(Buffer + BufPos, Bytes, N);
    BufPos += static_cast<int32_t>(N);
    Bytes += N;
    Count -= N;
    if (BufPos >= BufSize) WriteBlock();
  }
}

void TWriteWavFile::Put(const uint8_t* Bytes, size_t Count) {
  if (FHeaderSize == 0) {
    // The first block starts with the 44 zero bytes CreateNew reserved. The
    // header's size comes from the format now: a float header needs 14 more,
    // which go before them. A stream cannot be rewritten: its header goes
    // first, whole, in place of the placeholder, sized from the frame count
    // declared.
    const TWavHeader Empty = TWavHeader::ForData(Stereo, SampleFormat(), Frequency, 0);
    FHeaderSize = Empty.Size();
    std::vector<uint8_t> Lead(static_cast<size_t>(FHeaderSize - WAV_HEADER_SIZE), 0);
    if (FStreaming && Bytes == Buffer) {
      TWavHeader Header = Empty;
      Header.RiffSize = Header.DataSize = Header.FactFrames = kStreamedSize;
      if (FReserved >= 0) Header = TWavHeader::ForData(Stereo, SampleFormat(), Frequency, FrameBytes() * static_cast<uint64_t>(FReserved));
      const auto Encoded = Header.Encode();
      std::copy(Encoded.begin(), Encoded.begin() + static_cast<std::ptrdiff_t>(Lead.size()), Lead.begin());
      std::copy(Encoded.begin() + static_cast<std::ptrdiff_t>(Lead.size()), Encoded.end(), Buffer);
    }
    Append(Lead.data(), Lead.size());
  }
  Append(Bytes, Count);
}

void TWriteWavFile::Append(const uint8_t* Bytes, size_t Count) {
  if (FLength + Count > kMaxFileLength)
    throw EGeneralError(FileName + ": the output would exceed the 4 GiB that a WAV "
                                   "header can describe");
  if (FStreaming) {
    PutStream(Bytes, Count);
    FLength += Count;
    return;
  }
  if (std::fwrite(Bytes, 1, Count, DataFile) != Count) {
    const int Error = errno;
    CheckStop();  // a stop ends a write that waits for a slow reader
    throw EInOutError::FromErrno(Error, "cannot write", FileName);
  }
  FLength += Count;
}

void TWriteWavFile::PutStream(const uint8_t* Bytes, size_t Count) {
  // No more than PIPE_BUF at a time once the stream is ready: a pipe then
  // takes it without blocking, and a stop request is seen between pieces.
  const int Fd = fileno(DataFile);
  while (Count > 0) {
    WaitReady(Fd, POLLOUT);
    const ssize_t N = write(Fd, Bytes, std::min<size_t>(Count, PIPE_BUF));
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      const int Error = N < 0 ? errno : EIO;
      CheckStop();
      throw EInOutError::FromErrno(Error, "cannot write", FileName);
    }
    Bytes += N;
    Count -= static_cast<size_t>(N);
  }
}

void TWriteWavFile::Flush() {
  if (BufPos > 0) Put(Buffer, static_cast<size_t>(BufPos));
}

void TWriteWavFile::Close() {
  if (FState != TFileState::fsOpen) return;
  try {
    // The header's size is settled by the first block written, else by the
    // format now; until then the buffer starts with a 44-byte placeholder.
    const int HeaderSize = FHeaderSize != 0 ? FHeaderSize : WAV_HEADER_SIZE;
    const uint64_t Data = FLength + static_cast<uint64_t>(BufPos) - static_cast<uint64_t>(HeaderSize);
    if (Data == 0) throw EGeneralError("Le fichier Wav n'a pas été ecrit");
    if (Data % 2 == 1) WriteByte(0);  // RIFF pads odd data with one zero byte
    Flush();
    if (TWavHeader::ForData(Stereo, SampleFormat(), Frequency, 0).Size() != FHeaderSize)
      throw EGeneralError(FileName + ": the sample format changed between float and PCM after frames were written");
    if (FStreaming) {
      std::FILE* F = DataFile;
      DataFile = nullptr;
      if (std::fclose(F) != 0) throw EInOutError::FromErrno(errno, "cannot close", FileName);
    } else {
      FinishReplacement(Data);
    }
  } catch (...) {
    Discard();
    throw;
  }
  BufSize = BufPos = 0;
  FState = TFileState::fsClosed;
}

void TWriteWavFile::FinishReplacement(uint64_t Data) {
  const auto Encoded = TWavHeader::ForData(Stereo, SampleFormat(), Frequency, Data).Encode();
  if (std::fseek(DataFile, 0, SEEK_SET) != 0 ||
      std::fwrite(Encoded.data(), 1, Encoded.size(), DataFile) != Encoded.size())
    throw EInOutError::FromErrno(errno, "cannot write the header of", FileName);
  // On the disk before the rename: a crash then leaves the old file or the
  // new one, never an empty one.
  if (fsync(fileno(DataFile)) != 0) throw EInOutError::FromErrno(errno, "cannot write", FileName);
  std::FILE* F = DataFile;
  DataFile = nullptr;
  if (std::fclose(F) != 0) throw EInOutError::FromErrno(errno, "cannot close", FileName);
  if (std::rename(FTempName.c_str(), FTarget.c_str()) != 0)
    throw EInOutError::FromErrno(errno, "cannot replace", FileName);
  FTempName.clear();
  SyncFolder(FTarget);
}

void TWriteWavFile::Discard() {
  if (DataFile) std::fclose(DataFile);
  DataFile = nullptr;
  if (!FTempName.empty()) std::remove(FTempName.c_str());
  FTempName.clear();
  BufSize = BufPos = 0;
  FState = TFileState::fsClosed;
}

}  // namespace kestrum
