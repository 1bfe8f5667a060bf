// Reading an impulse response as a long filter.
#include "kestrum/filter/LongFilter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "kestrum/audio/Levels.h"
#include "kestrum/base/Errors.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/base/Stop.h"
#include "kestrum/wav/ReadWavFile.h"
#include "kestrum/wav/WavHeader.h"

namespace kestrum {

size_t TLongFilter::Length() const {
  size_t Length = 0;
  for (const auto& Taps : Channels) Length = std::max(Length, Taps.size());
  return Length;
}

namespace {

// Reads up to Count bytes of Fd into Dest, fewer only at its end; a stop
// ends a wait for a slow writer.
size_t ReadSome(int Fd, char* Dest, size_t Count, const std::string& Name) {
  size_t Done = 0;
  while (Done < Count) {
    CheckStop();
    const ssize_t Got = read(Fd, Dest + Done, Count - Done);
    if (Got == 0) break;
    if (Got < 0) {
      const int Error = errno;
      CheckStop();
      // On Linux a directory opens fine and fails here, with EISDIR.
      if (Error != EINTR) throw EInOutError::FromErrno(Error, "cannot read", Name);
      continue;
    }
    Done += static_cast<size_t>(Got);
  }
  return Done;
}

void WriteAll(int Fd, const char* Bytes, size_t Count, const std::string& Name) {
  while (Count > 0) {
    const ssize_t Put = write(Fd, Bytes, Count);
    if (Put < 0 && errno == EINTR) continue;
    if (Put < 0) throw EInOutError::FromErrno(errno, "cannot hold", Name, "in memory");
    Bytes += Put;
    Count -= static_cast<size_t>(Put);
  }
}

}  // namespace

TFilterFile::TFilterFile(std::string FileName) : FName(std::move(FileName)) {
  FFd = open(FName.c_str(), O_RDONLY | O_CLOEXEC);
  if (FFd < 0) {
    const int Error = errno;
    CheckStop();  // opening a FIFO waits for its writer: a stop ends the wait
    throw EInOutError::FromErrno(Error, "cannot open", FName, "for reading");
  }
  struct stat Stat {};
  FRegular = fstat(FFd, &Stat) == 0 && S_ISREG(Stat.st_mode);
  try {
    FHead.resize(12);
    FHead.resize(ReadSome(FFd, FHead.data(), FHead.size(), FName));
  } catch (...) {
    close(FFd);
    throw;
  }
  FIsWav = IsWavHead(FHead);
}

TFilterFile::~TFilterFile() {
  if (FFd >= 0) close(FFd);
  if (FMemory >= 0) close(FMemory);
}

TFirFileReader TFilterFile::FirReader() {
  std::FILE* const File = FFd < 0 ? nullptr : fdopen(FFd, "rb");
  if (!File) throw EInOutError::FromErrno(FFd < 0 ? EBADF : errno, "cannot read", FName);
  FFd = -1;
  return TFirFileReader::FromOpenFile(File, FName, std::move(FHead));
}

void TFilterFile::OpenWav(TReadWavFile& Reader) {
  if (FFd < 0) throw EInOutError::FromErrno(EBADF, "cannot read", FName);
  if (FRegular) {
    if (lseek(FFd, 0, SEEK_SET) != 0) throw EInOutError::FromErrno(errno, "cannot read", FName);
  } else if (FMemory < 0) {
    // The WAV reader reads a stream once, forward, and its data only to a
    // length the header gives: a filter needs its length, so it is read whole.
    const int Memory = memfd_create("kestrum-filter", MFD_CLOEXEC);
    if (Memory < 0) throw EInOutError::FromErrno(errno, "cannot hold", FName, "in memory");
    FMemory = Memory;
    WriteAll(FMemory, FHead.data(), FHead.size(), FName);
    uint64_t Total = FHead.size();
    std::vector<char> Block(size_t{1} << 16);
    // Only a WAV file is worth reading on: the reader refuses another at its head.
    while (FIsWav) {
      const size_t Got = ReadSome(FFd, Block.data(), Block.size(), FName);
      if (Got == 0) break;
      Total += Got;
      if (Total > kMaxStreamedWavBytes)
        throw EGeneralError(FName + ": more than " + std::to_string(kMaxStreamedWavBytes >> 20) +
                            " MiB, beyond any impulse response of at most " + std::to_string(kMaxLongTaps) +
                            " taps");
      WriteAll(FMemory, Block.data(), Got, FName);
    }
    if (lseek(FMemory, 0, SEEK_SET) != 0) throw EInOutError::FromErrno(errno, "cannot read", FName);
  }
  Reader.FileName = FName;
  Reader.Descriptor = FRegular ? FFd : FMemory;
  Reader.SetActive(true);
}

namespace {

void Scale(TLongFilter& Filter, const TLongFilterOptions& Options, const std::string& FileName) {
  double Norm = 0.0;
  for (const auto& Taps : Filter.Channels) {
    double Channel = 0.0;
    for (const double Tap : Taps)
      Channel = Options.Normalize == TNormalize::Peak ? std::max(Channel, std::fabs(Tap)) : Channel + Tap * Tap;
    Norm = std::max(Norm, Options.Normalize == TNormalize::Energy ? std::sqrt(Channel) : Channel);
  }
  double Factor = std::pow(10.0, Options.GainDb / 20.0);
  if (Options.Normalize != TNormalize::None) {
    if (Norm == 0.0) throw EGeneralError(FileName + ": the impulse response is silent and cannot be normalised");
    Factor /= Norm;
  }
  if (Factor == 1.0) return;
  for (auto& Taps : Filter.Channels)
    for (size_t I = 0; I < Taps.size(); ++I) {
      const double Tap = Taps[I] * Factor;
      // The exact sum holds taps in single precision.
      if (!(std::fabs(Tap) <= FLT_MAX)) {
        char Gain[32];
        std::snprintf(Gain, sizeof Gain, "%g", Options.GainDb);
        throw EGeneralError(FileName + ": a gain of " + Gain + " dB takes tap " + std::to_string(I) +
                            " beyond single precision's range");
      }
      Taps[I] = Tap;
    }
}

}  // namespace

TLongFilter ReadLongFilter(const std::string& FileName, const TLongFilterOptions& Options) {
  return TFilterFile(FileName).ReadLong(Options);
}

TLongFilter TFilterFile::ReadLong(const TLongFilterOptions& Options, std::string* Comment) {
  const TDefaultFloatEnv Env;
  const std::string& FileName = FName;
  TReadWavFile Reader;
  Reader.KeepChunks = Comment != nullptr;
  Reader.KeepOnly = "LIST";
  OpenWav(Reader);
  if (Comment) *Comment = InfoComment(Reader.Chunks);
  const TAudioFormat Format = Reader.Format();
  CheckImpulseChannel(FileName, Format.Channels, Options.Channel, true);
  if (Reader.NSamples <= 0) throw EGeneralError(FileName + ": the impulse response holds no samples");
  if (static_cast<size_t>(Reader.NSamples) > kMaxLongTaps)
    throw EGeneralError(FileName + ": " + std::to_string(Reader.NSamples) + " samples, and a filter holds at most " +
                        std::to_string(kMaxLongTaps) + " taps");
  const size_t Length = static_cast<size_t>(Reader.NSamples);
  TLongFilter Filter;
  Filter.Rate = Format.Rate;
  const int First = Options.Channel == 0 ? 0 : Options.Channel - 1;
  const int Count = Options.Channel == 0 ? Format.Channels : 1;
  // Each channel's taps sized in place (no zeroed model to copy), and the
  // file read through a small buffer: fresh memory is slow to touch.
  Filter.Channels.resize(static_cast<size_t>(Count));
  for (std::vector<double>& Taps : Filter.Channels) Taps.resize(Length);
  // Levels as the kernels load them, then as fractions of full scale.
  const double FullScale = Format.Float() ? 1.0 : std::ldexp(1.0, Format.Bits() - 1);
  constexpr int32_t kChunk = 4096;
  std::vector<uint8_t> Raw(size_t{kChunk} * static_cast<size_t>(Format.FrameBytes()));
  for (int32_t Done = 0; Done < Reader.NSamples; Done += kChunk) {
    const int32_t Frames = std::min(kChunk, Reader.NSamples - Done);
    Reader.ReadFrames(Raw.data(), Frames);
    for (int C = 0; C < Count; ++C) {
      double* const Taps = Filter.Channels[size_t(C)].data() + Done;
      DecodeLevels(Raw.data(), Frames, Format, First + C, Taps);
      for (int32_t I = 0; I < Frames; ++I) {
        if (!std::isfinite(Taps[I])) ThrowNonFiniteTap(FileName, Done + I, Taps[I]);
        Taps[I] /= FullScale;
      }
    }
  }
  Reader.SetActive(false);
  Scale(Filter, Options, FileName);
  return Filter;
}

TLongFilter LongFilterOf(const TFirFilter& Filter) {
  const TDefaultFloatEnv Env;
  TLongFilter Long;
  std::vector<double>& Taps = Long.Channels.emplace_back();
  for (int32_t I = 0; I < Filter.NbTaps; ++I) {
    const size_t Delay = static_cast<size_t>(EffectiveDelay(Filter.Delays[size_t(I)]));
    if (Taps.size() <= Delay) Taps.resize(Delay + 1, 0.0);
    Taps[Delay] += Filter.Coefs[size_t(I)];
  }
  if (Taps.empty()) Taps.push_back(0.0);
  return Long;
}

void CheckChannels(const TLongFilter& Filter, int Channels, const std::string& FileName) {
  const size_t Have = Filter.Channels.size();
  if (Have == 1 || Have == static_cast<size_t>(Channels)) return;
  throw EGeneralError(FileName + " has " + std::to_string(Have) + " channels and the source " +
                      std::to_string(Channels) + ": a filter needs one channel, or one per source channel " +
                      "(--filter-channel picks one)");
}

}  // namespace kestrum
