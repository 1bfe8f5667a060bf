// Fuzzes whole runs: the reference and the fast kernel must write the same
// bytes, or fail with the same message. Input: two bytes giving the length
// of the filter text (little-endian, taken modulo what is there), the
// filter text, then the source WAV.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "kestrum/base/Errors.h"
#include "kestrum/component/Kestrum.h"
#include "fuzz/FuzzUtil.h"

using namespace kestrum;

namespace {

struct TOutcome {
  std::string Bytes;  // the target's content after a success
  std::string Error;  // the message after a failure
  bool operator==(const TOutcome&) const = default;
};

TOutcome RunOnce(TEngine Kind, const std::string& Source, const std::string& Fir,
                 const std::string& Target) {
  TKestrum Kestrum(nullptr);
  Kestrum.SourceFile = Source;
  Kestrum.FirFile = Fir;
  Kestrum.CibleFile = Target;
  Kestrum.Engine = Kind;
  Kestrum.Threads = 2;
  TOutcome Outcome;
  try {
    Kestrum.Execute();
    std::ifstream In(Target, std::ios::binary);
    Outcome.Bytes.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    std::filesystem::remove(Target);
  } catch (const EKestrum& E) {
    fuzz::CheckMessage(E.what());
    Outcome.Error = E.what();
  }
  return Outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 2) return 0;
  const size_t FirLength = (Data[0] | Data[1] << 8) % (Size - 1);
  const fuzz::TMemFile Fir(Data + 2, FirLength);
  const fuzz::TMemFile Source(Data + 2 + FirLength, Size - 2 - FirLength);
  static const std::string Folder = [] {
    char Template[] = "/tmp/kestrum-fuzz-XXXXXX";
    if (!mkdtemp(Template)) std::abort();
    return std::string(Template);
  }();
  const std::string Target = Folder + "/out.wav";
  const TOutcome Reference = RunOnce(TEngine::Reference, Source.Name(), Fir.Name(), Target);
  const TOutcome Fast = RunOnce(TEngine::Fast, Source.Name(), Fir.Name(), Target);
  if (!(Reference == Fast)) std::abort();
  return 0;
}
