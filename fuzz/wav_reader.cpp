// Fuzzes the WAV reader: any bytes either open or are refused with an
// EKestrum, and the bulk read gives the same bytes as frame-by-frame fetches
// (for the formats that have fetch operations: mono and stereo up to 24-bit
// PCM and 32-bit float). An input whose last byte has its high bit set is
// read as a stream, from a pipe, the others as a file.
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "kestrum/base/Errors.h"
#include "fuzz/FuzzUtil.h"
#include "kestrum/wav/ReadWavFile.h"

using namespace kestrum;

namespace {

// The raw bytes of Count frames fetched one at a time.
std::vector<uint8_t> FetchFrames(TReadWavFile& Reader, int32_t Count) {
  std::vector<uint8_t> Out;
  const bool Stereo = Reader.Stereo;
  const TSampleFormat Format = Reader.SampleFormat();
  for (int32_t I = 0; I < Count; ++I) {
    float V[2] = {0, 0};
    switch (Format) {
      case TSampleFormat::Pcm8: Stereo ? Reader.ReadStereo8(V[0], V[1]) : Reader.ReadMono8(V[0]); break;
      case TSampleFormat::Pcm16: Stereo ? Reader.ReadStereo16(V[0], V[1]) : Reader.ReadMono16(V[0]); break;
      case TSampleFormat::Pcm24: Stereo ? Reader.ReadStereo24(V[0], V[1]) : Reader.ReadMono24(V[0]); break;
      case TSampleFormat::Float32: Stereo ? Reader.ReadStereoFloat(V[0], V[1]) : Reader.ReadMonoFloat(V[0]); break;
      default: std::abort();  // no fetch operation: not called
    }
    for (int C = 0; C < (Stereo ? 2 : 1); ++C) {
      const uint32_t Bits = Format == TSampleFormat::Float32 ? std::bit_cast<uint32_t>(V[C])
                                                               : static_cast<uint32_t>(static_cast<int32_t>(V[C]));
      for (int B = 0; B < BytesPerSample(Format); ++B) Out.push_back(static_cast<uint8_t>(Bits >> 8 * B));
    }
  }
  return Out;
}

// A pipe that holds the given bytes and then ends: the read end, to be
// closed by the caller. An input fits the pipe's buffer (-max_len=16384).
int PipeOf(const uint8_t* Data, size_t Size) {
  int Fds[2];
  if (pipe(Fds) != 0) std::abort();
  fcntl(Fds[1], F_SETPIPE_SZ, 1 << 16);
  for (size_t Done = 0; Done < Size;) {
    const ssize_t N = write(Fds[1], Data + Done, Size - Done);
    if (N <= 0) std::abort();
    Done += static_cast<size_t>(N);
  }
  close(Fds[1]);
  return Fds[0];
}

// Closes a descriptor when it goes.
struct TFd {
  int Fd;
  ~TFd() {
    if (Fd >= 0) close(Fd);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const fuzz::TMemFile File(Data, Size);
  // The last byte, when there is one, chooses the start frame.
  const int32_t Start = Size > 0 ? Data[Size - 1] % 8 : 0;
  const bool Streamed = Size > 0 && Size <= (1 << 16) && (Data[Size - 1] & 0x80) != 0;
  const TFd SinglePipe{Streamed ? PipeOf(Data, Size) : -1}, BulkPipe{Streamed ? PipeOf(Data, Size) : -1};
  TReadWavFile Single, Bulk;
  Single.FileName = Bulk.FileName = File.Name();
  Single.Descriptor = SinglePipe.Fd;
  Bulk.Descriptor = BulkPipe.Fd;
  Single.StartSample = Bulk.StartSample = Start;
  try {
    Single.SetActive(true);
  } catch (const EKestrum& E) {
    fuzz::CheckMessage(E.what());
    return 0;
  }
  Bulk.SetActive(true);  // the same bytes must open again
  if (Bulk.NSamples != Single.NSamples || Bulk.FrameBytes() != Single.FrameBytes()) std::abort();
  // A little past the end of the data, capped so that each input stays quick.
  // (A stream of unknown length holds at most one frame per input byte.)
  const int64_t Frames = Single.NSamples < 0 ? static_cast<int64_t>(Size) : Single.NSamples;
  const int32_t Count = static_cast<int32_t>(std::min<int64_t>(Frames - Start + 3, 1 << 16));
  if (Count <= 0) return 0;
  std::vector<uint8_t> Read(static_cast<size_t>(Count) * static_cast<size_t>(Single.FrameBytes()));
  if (Single.Channels > 2 || Single.Bits32 || Single.Float64) {  // read in bulk only
    Bulk.ReadFrames(Read.data(), Count);
    return 0;
  }
  const std::vector<uint8_t> Fetched = FetchFrames(Single, Count);
  Bulk.ReadFrames(Read.data(), Count);
  if (Read != Fetched) std::abort();
  Single.SetActive(false);
  Bulk.SetActive(false);
  return 0;
}
