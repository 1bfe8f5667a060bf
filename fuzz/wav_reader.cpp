// Fuzzes the WAV reader: any bytes either open or are refused with an
// EKestrum, and the bulk read gives the same bytes as frame-by-frame fetches
// (for the formats that have fetch operations: mono and stereo up to 24-bit
// PCM and 32-bit float).
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "base/Errors.h"
#include "fuzz/FuzzUtil.h"
#include "wav/ReadWavFile.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const fuzz::TMemFile File(Data, Size);
  // The last byte, when there is one, chooses the start frame.
  const int32_t Start = Size > 0 ? Data[Size - 1] % 8 : 0;
  TReadWavFile Single, Bulk;
  Single.FileName = Bulk.FileName = File.Name();
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
  const int32_t Count = std::min<int32_t>(Single.NSamples - Start + 3, 1 << 16);
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
