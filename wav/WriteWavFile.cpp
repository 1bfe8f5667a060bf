// Creates the target through a temporary file, appends blocks and puts the
// finished file in place.
#include "wav/WriteWavFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>

#include "base/Errors.h"

namespace kestrum {

namespace {

// The largest file whose RIFF size (length - 8) fits its 32-bit field.
constexpr uint64_t kMaxFileLength = uint64_t{UINT32_MAX} + 8;

// A name beside Target that no other run will pick: the target's own name,
// hidden, with a random suffix.
std::string TempNameFor(const std::string& Target) {
  static thread_local std::mt19937_64 Random{std::random_device{}()};
  const std::filesystem::path Path(Target);
  char Suffix[24];
  std::snprintf(Suffix, sizeof Suffix, ".%016llx.tmp",
                static_cast<unsigned long long>(Random()));
  std::string Hidden = Path.filename().string();
  Hidden.insert(Hidden.begin(), '.');
  Hidden.append(Suffix);
  return (Path.parent_path() / Hidden).string();
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
  // A target that exists must be one we may write, as if it were opened to
  // be overwritten; it is not touched until Close.
  std::error_code Ec;
  if (std::filesystem::exists(FileName, Ec)) {
    std::FILE* Existing = std::fopen(FileName.c_str(), "r+b");
    if (!Existing) throw EInOutError::FromErrno(errno, "cannot open", FileName, "for writing");
    std::fclose(Existing);
  }
  for (int Attempt = 0; !DataFile; ++Attempt) {
    FTempName = TempNameFor(FileName);
    DataFile = std::fopen(FTempName.c_str(), "wbx");  // x: fail if it exists
    if (!DataFile && (errno != EEXIST || Attempt == 100))
      throw EInOutError::FromErrno(errno, "cannot create", FileName);
  }
  std::setvbuf(DataFile, nullptr, _IONBF, 0);  // Buffer is the only buffer
  FLength = 0;
  FHeaderSize = 0;
  BufSize = WAV_BUFFER_SIZE;
  BufPos = 0;
  FState = TFileState::fsOpen;
  for (int I = 0; I < WAV_HEADER_SIZE; ++I) WriteByte(0);  // header placeholder
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
    // The first block starts with the 44 zero bytes CreateNew reserved; a
    // float header needs more, which go before them.
    FHeaderSize = TWavHeader::ForData(Stereo, SampleFormat(), Frequency, 0).Size();
    const uint8_t Zeros[WAV_FLOAT_HEADER_SIZE - WAV_HEADER_SIZE] = {};
    Append(Zeros, static_cast<size_t>(FHeaderSize - WAV_HEADER_SIZE));
  }
  Append(Bytes, Count);
}

void TWriteWavFile::Append(const uint8_t* Bytes, size_t Count) {
  if (FLength + Count > kMaxFileLength)
    throw EGeneralError(FileName + ": the output would exceed the 4 GiB that a WAV "
                                   "header can describe");
  if (std::fwrite(Bytes, 1, Count, DataFile) != Count)
    throw EInOutError::FromErrno(errno, "cannot write", FileName);
  FLength += Count;
}

void TWriteWavFile::Flush() {
  if (BufPos > 0) Put(Buffer, static_cast<size_t>(BufPos));
}

void TWriteWavFile::Close() {
  if (FState != TFileState::fsOpen) return;
  try {
    Flush();
    const uint64_t DataBytes = FLength - static_cast<uint64_t>(FHeaderSize);
    if (DataBytes == 0) throw EGeneralError("Le fichier Wav n'a pas été ecrit");
    const TWavHeader Format = TWavHeader::ForData(Stereo, SampleFormat(), Frequency, DataBytes);
    if (Format.Size() != FHeaderSize)
      throw EGeneralError(FileName + ": the sample format changed between float and PCM after frames were written");
    if (DataBytes % 2 == 1) {  // RIFF pads odd data with one zero byte
      const uint8_t Pad = 0;
      Append(&Pad, 1);
    }
    const auto Header = Format.Encode();
    if (std::fseek(DataFile, 0, SEEK_SET) != 0 ||
        std::fwrite(Header.data(), 1, Header.size(), DataFile) != Header.size())
      throw EInOutError::FromErrno(errno, "cannot write the header of", FileName);
    std::FILE* F = DataFile;
    DataFile = nullptr;
    if (std::fclose(F) != 0) throw EInOutError::FromErrno(errno, "cannot close", FileName);
    if (std::rename(FTempName.c_str(), FileName.c_str()) != 0)
      throw EInOutError::FromErrno(errno, "cannot replace", FileName);
    FTempName.clear();
  } catch (...) {
    Discard();
    throw;
  }
  BufSize = BufPos = 0;
  FState = TFileState::fsClosed;
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
