// Fuzzes the WAV reader: any bytes either open or are refused with an
// EKestrum, and the bulk read gives the same bytes as frame-by-frame fetches.
#include <algorithm>
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
  for (int32_t I = 0; I < Count; ++I) {
    float A = 0, B = 0;
    if (Reader.Stereo && Reader.Bits16) Reader.ReadStereo16(A, B);
    if (Reader.Stereo && !Reader.Bits16) Reader.ReadStereo8(A, B);
    if (!Reader.Stereo && Reader.Bits16) Reader.ReadMono16(A);
    if (!Reader.Stereo && !Reader.Bits16) Reader.ReadMono8(A);
    for (float V : {A, B}) {
      const auto Word = static_cast<uint16_t>(static_cast<int32_t>(V));
      Out.push_back(static_cast<uint8_t>(Word));
      if (Reader.Bits16) Out.push_back(static_cast<uint8_t>(Word >> 8));
      if (!Reader.Stereo) break;
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
  const std::vector<uint8_t> Fetched = FetchFrames(Single, Count);
  std::vector<uint8_t> Read(Fetched.size());
  Bulk.ReadFrames(Read.data(), Count);
  if (Read != Fetched) std::abort();
  Single.SetActive(false);
  Bulk.SetActive(false);
  return 0;
}
