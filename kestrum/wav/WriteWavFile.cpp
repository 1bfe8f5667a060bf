// Creates the target through a temporary file, appends blocks and puts the
// finished file in place.
#include "kestrum/wav/WriteWavFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kestrum/base/Errors.h"
#include "kestrum/base/OutputFile.h"
#include "kestrum/base/Stop.h"

namespace kestrum {

namespace {

// The largest file whose RIFF size (length - 8) fits its 32-bit field.
constexpr uint64_t kMaxFileLength = uint64_t{UINT32_MAX} + 8;
// The sizes a streamed header gives when the length is not known.
constexpr uint32_t kStreamedSize = 0xFFFFFFFF;

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
  FUnknownLength = FPatchable = FSparseStream = FNoWait = false;
  FLayout = TWavLayout::Plain;
  FStreaming = false;
  if (IsStreamTarget(FileName)) {
    OpenStream(FileName);
    FStreaming = true;
  } else {
    FReplacement.Open(FileName);
    DataFile = FReplacement.File();
    FBlock = FileBlockSize(fileno(DataFile));
  }
  std::setvbuf(DataFile, nullptr, _IONBF, 0);  // Buffer is the only buffer
  FHeaderSize = 0;
  BufSize = WAV_BUFFER_SIZE;
  BufPos = 0;
  FState = TFileState::fsOpen;
  for (int I = 0; I < WAV_HEADER_SIZE; ++I) WriteByte(0);  // header placeholder
}

void TWriteWavFile::OpenStream(const std::string& Name) {
  const int Fd = kestrum::OpenStream(Name);
  if (!(DataFile = fdopen(Fd, "wb"))) {
    const int Error = errno;
    close(Fd);
    throw EInOutError::FromErrno(Error, "cannot open", Name, "for writing");
  }
  // Standard output sent to a file (not appended to): its header can be
  // completed at the end, as a replaced file's is.
  struct stat Stat {};
  const int Flags = fcntl(Fd, F_GETFL);
  const bool Regular = fstat(Fd, &Stat) == 0 && S_ISREG(Stat.st_mode);
  FPatchable = Regular && Flags >= 0 && (Flags & O_APPEND) == 0 && lseek(Fd, 0, SEEK_CUR) >= 0;
  FNoWait = !Regular;  // a pipe with room takes a block in one call
  if (FPatchable) FBlock = FileBlockSize(Fd);
}

void TWriteWavFile::Reserve(int64_t Frames) { FReserved = std::max<int64_t>(Frames, 0); }

void TWriteWavFile::ReserveUnknownLength() { FUnknownLength = true; }

TWavHeader TWriteWavFile::HeaderFor(uint64_t Data, TWavLayout Layout) const {
  try {
    return TWavHeader::ForData(Format(), Data, Layout, EncodeChunks(Chunks));
  } catch (const EGeneralError& E) {
    throw EGeneralError(FileName + ": " + E.what());
  }
}

void TWriteWavFile::WriteBlock() {
  const int32_t Count = BufPos;
  BufPos = 0;
  if (FState != TFileState::fsOpen)
    throw EGeneralError("cannot write a sample: no WAV file is open for writing");
  Put(Buffer, static_cast<size_t>(Count));
}

void TWriteWavFile::WriteBytes(const uint8_t* Bytes, size_t Count) {
  // Bytes always points at the first byte not yet handed to the file or the
  // buffer, so that a stopped stream can finish its last frame from there.
  try {
    while (Count > 0) {
      if (BufPos == 0 && BufSize > 0 && Count >= static_cast<size_t>(BufSize)) {
        // Whole blocks straight to the file, as many as the header's limit
        // allows: the same bytes, and the same block fails, as block by block.
        const uint64_t Room = Unbounded()
                                  ? UINT64_MAX
                                  : (kMaxFileLength - std::min(FLength, kMaxFileLength)) / static_cast<uint64_t>(BufSize);
        const size_t N = static_cast<size_t>(std::min<uint64_t>(Count / static_cast<size_t>(BufSize), Room)) *
                         static_cast<size_t>(BufSize);
        if (N > 0) {
          const uint8_t* const Blocks = Bytes;
          Bytes += N;
          Count -= N;
          Put(Blocks, N);
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
  } catch (...) {
    // A stream write cut inside a frame whose end lies past the block it was
    // writing (PutStream kept only the block's part): the rest of that frame
    // is at the start of the bytes not handed over yet.
    const uint64_t Header = static_cast<uint64_t>(FHeaderSize);
    if (FStreaming && FHeaderSize != 0 && FLength > Header) {
      const size_t Rest = static_cast<size_t>((FrameBytes() - (FLength - Header) % FrameBytes()) % FrameBytes());
      if (!FCutFrame.empty() && FCutFrame.size() < Rest)
        FCutFrame.insert(FCutFrame.end(), Bytes, Bytes + std::min(Rest - FCutFrame.size(), Count));
    }
    throw;
  }
}

void TWriteWavFile::Put(const uint8_t* Bytes, size_t Count) {
  if (FHeaderSize == 0) {
    // The first block starts with the 44 zero bytes CreateNew reserved. The
    // header's size comes from the format now: a float or extensible header
    // needs more, which go before them. A stream cannot be rewritten: its header goes
    // first, whole, in place of the placeholder, sized from the frame count
    // declared.
    // The layout too: RF64 for a declared length past 4 GiB, a JUNK chunk
    // kept for a ds64 when the length is not known, else plain.
    const uint64_t Reserved = FrameBytes() * static_cast<uint64_t>(std::max<int64_t>(FReserved, 0));
    FLayout = FReserved >= 0 && HeaderFor(Reserved, TWavLayout::Plain).NeedsRf64() ? TWavLayout::Rf64
              : FUnknownLength && FReserved < 0 && (!FStreaming || FPatchable) ? TWavLayout::Junk
                                                                     : TWavLayout::Plain;
    const TWavHeader Empty = HeaderFor(0, FLayout);
    if (FPatchable) {
      // Written at its offsets, with holes for silence, when nothing lies
      // past the start that a hole would leave in place.
      struct stat Stat {};
      FStreamStart = lseek(fileno(DataFile), 0, SEEK_CUR);
      FSparseStream = FStreamStart >= 0 && fstat(fileno(DataFile), &Stat) == 0 && Stat.st_size <= FStreamStart;
    }
    FHeaderSize = Empty.Size();
    std::vector<uint8_t> Lead(static_cast<size_t>(FHeaderSize - WAV_HEADER_SIZE), 0);
    if (FStreaming && Bytes == Buffer) {
      TWavHeader Header = Empty;
      Header.RiffSize = Header.DataSize = Header.FactFrames = kStreamedSize;
      if (FReserved >= 0) Header = HeaderFor(Reserved, FLayout);
      const auto Encoded = Header.Encode();
      std::copy(Encoded.begin(), Encoded.begin() + static_cast<std::ptrdiff_t>(Lead.size()), Lead.begin());
      std::copy(Encoded.begin() + static_cast<std::ptrdiff_t>(Lead.size()), Encoded.end(), Buffer);
    }
    Append(Lead.data(), Lead.size());
  }
  Append(Bytes, Count);
}

void TWriteWavFile::Append(const uint8_t* Bytes, size_t Count) {
  if (!Unbounded() && FLength + Count > kMaxFileLength)
    throw EGeneralError(FileName + ": the output would exceed the 4 GiB that a WAV "
                                   "header can describe (declare its length to write RF64)");
  if (FStreaming && !FSparseStream) {
    PutStream(Bytes, Count);  // counts what it writes, as it goes
    return;
  }
  // Blocks of zero bytes (silence) become holes in the file: the same bytes
  // when read, no disk space, no time. FinishReplacement (or SettleStreamEnd)
  // sets the length.
  const uint64_t Start = FSparseStream ? static_cast<uint64_t>(FStreamStart) : 0;
  if (const int Error = WriteSparse(fileno(DataFile), Bytes, Count, Start + FLength, FBlock)) {
    CheckStop();
    throw EInOutError::FromErrno(Error, "cannot write", FileName);
  }
  FLength += Count;
}

void TWriteWavFile::PutStream(const uint8_t* Bytes, size_t Count) {
  // One write per block once the stream is ready. A stop signal cuts a write
  // that waits for a slow reader short (no SA_RESTART), and the next
  // WriteWhenReady sees the request.
  const int Fd = fileno(DataFile);
  FCutFrame.clear();
  try {
    while (Count > 0) {
      const ssize_t N = WriteWhenReady(Fd, Bytes, Count, FNoWait);
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0) {
        const int Error = N < 0 ? errno : EIO;
        CheckStop();
        throw EInOutError::FromErrno(Error, "cannot write", FileName);
      }
      Bytes += N;
      Count -= static_cast<size_t>(N);
      FLength += static_cast<uint64_t>(N);
    }
  } catch (...) {
    // Cut short inside a frame: its rest is kept for EndStream.
    const uint64_t Header = static_cast<uint64_t>(FHeaderSize);
    if (FHeaderSize != 0 && FLength > Header && (FLength - Header) % FrameBytes() != 0) {
      const size_t Rest = static_cast<size_t>(FrameBytes() - (FLength - Header) % FrameBytes());
      FCutFrame.assign(Bytes, Bytes + std::min(Rest, Count));
    }
    throw;
  }
}

void TWriteWavFile::SendBuffered() {
  if (!FStreaming || FState != TFileState::fsOpen || BufPos == 0) return;
  WriteBlock();
}

void TWriteWavFile::EndStream() noexcept {
  if (!FStreaming || FState != TFileState::fsOpen || !DataFile) return;
  // The header goes first if no block has: the stream then says "unknown
  // length", which a cut stream is.
  if (FHeaderSize == 0 && BufPos > 0) {
    FReserved = -1;
    try {
      Put(Buffer, 0);
    } catch (...) {
    }
  }
  // After a write that the stop cut short, the rest of its frame and nothing
  // more (the rest of that write is lost); else the buffer, when it lines up.
  const uint64_t Total = FLength + static_cast<uint64_t>(BufPos), Header = static_cast<uint64_t>(FHeaderSize);
  const bool Aligned = FHeaderSize != 0 && Total >= Header && (Total - Header) % FrameBytes() == 0;
  const uint8_t* Bytes = FCutFrame.empty() ? Buffer : FCutFrame.data();
  size_t Count = !FCutFrame.empty() ? FCutFrame.size() : Aligned ? static_cast<size_t>(BufPos) : 0;
  const int Fd = fileno(DataFile);
  if (FSparseStream && SettleStreamEnd() != 0) Count = 0;
  uint64_t Sent = FLength;
  while (Count > 0) {
    pollfd Poll{Fd, POLLOUT, 0};
    if (poll(&Poll, 1, 1000) <= 0 || (Poll.revents & POLLOUT) == 0) break;
    const ssize_t N = write(Fd, Bytes, std::min<size_t>(Count, PIPE_BUF));
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) break;
    Bytes += N;
    Count -= static_cast<size_t>(N);
    Sent += static_cast<uint64_t>(N);
  }
  FLength = Sent;  // where a sparse stream's descriptor is left
  // A file gets the sizes of the whole frames it holds (of an even size:
  // a pad byte would be missing).
  if (FPatchable && FHeaderSize != 0 && Sent > Header && (Sent - Header) % FrameBytes() == 0 &&
      (Sent - Header) % 2 == 0) {
    try {
      (void)PatchStreamHeader(Sent - Header);
    } catch (...) {
    }
  }
  Discard();
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
    if (HeaderFor(0, FLayout).Size() != FHeaderSize)
      throw EGeneralError(FileName + ": the header's layout (float or PCM, plain or extensible) changed after frames "
                                     "were written");
    if (FStreaming) {
      if (FSparseStream)
        if (const int Error = SettleStreamEnd()) throw EInOutError::FromErrno(Error, "cannot write", FileName);
      if (FPatchable)
        if (const int Error = PatchStreamHeader(Data))
          throw EInOutError::FromErrno(Error, "cannot write the header of", FileName);
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

std::vector<uint8_t> TWriteWavFile::FinalHeader(uint64_t Data) const {
  // A file that outgrew 4 GiB turns its JUNK placeholder into a ds64 chunk.
  const TWavLayout Layout =
      FLayout == TWavLayout::Junk && HeaderFor(Data, FLayout).NeedsRf64() ? TWavLayout::Rf64 : FLayout;
  return HeaderFor(Data, Layout).Encode();
}

void TWriteWavFile::FinishReplacement(uint64_t Data) {
  const auto Encoded = FinalHeader(Data);
  const int Fd = fileno(DataFile);
  // The length covers the zeros left out at the end (a hole).
  if (ftruncate(Fd, static_cast<off_t>(FLength)) != 0) throw EInOutError::FromErrno(errno, "cannot write", FileName);
  if (const int Error = WriteSparse(Fd, Encoded.data(), Encoded.size(), 0, FBlock))
    throw EInOutError::FromErrno(Error, "cannot write the header of", FileName);
  DataFile = nullptr;
  FReplacement.Commit();
}

int TWriteWavFile::PatchStreamHeader(uint64_t Data) const {
  // A plain header without a declared length past 4 GiB keeps its sizes of
  // "unknown length": its fields cannot hold the true ones.
  if (FLayout == TWavLayout::Plain && HeaderFor(Data, FLayout).RiffSize64 > UINT32_MAX) return 0;
  const auto Encoded = FinalHeader(Data);
  return WriteSparse(fileno(DataFile), Encoded.data(), Encoded.size(), static_cast<uint64_t>(FStreamStart),
                     UINT64_MAX);
}

int TWriteWavFile::SettleStreamEnd() {
  // The descriptor's offset goes past the frames, where a shell's next
  // command writes, and the file's length past a hole at their end.
  const off_t End = static_cast<off_t>(static_cast<uint64_t>(FStreamStart) + FLength);
  struct stat Stat {};
  if (lseek(fileno(DataFile), End, SEEK_SET) < 0 || fstat(fileno(DataFile), &Stat) != 0) return errno;
  if (Stat.st_size < End && ftruncate(fileno(DataFile), End) != 0) return errno;
  return 0;
}

void TWriteWavFile::Discard() {
  if (FSparseStream && DataFile) (void)SettleStreamEnd();
  FSparseStream = false;
  if (FStreaming && DataFile) std::fclose(DataFile);
  DataFile = nullptr;
  FReplacement.Discard();
  BufSize = BufPos = 0;
  FState = TFileState::fsClosed;
}

}  // namespace kestrum
