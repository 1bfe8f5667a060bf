// Fuzzes the filter-file reader: any text is read or refused with an
// EKestrum whose message is one printable line; no undefined behaviour.
#include <string>

#include "kestrum/base/Errors.h"
#include "kestrum/filter/FirFile.h"
#include "fuzz/FuzzUtil.h"

using namespace kestrum;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TFirFilter Filter;
  try {
    TFirFileReader Reader =
        TFirFileReader::FromText(std::string(reinterpret_cast<const char*>(Data), Size), "f.fir");
    Reader.ReadHead(Filter);
    Reader.ReadTaps(Filter);
  } catch (const EKestrum& E) {
    fuzz::CheckMessage(E.what());
    return 0;
  }
  if (Filter.NbTaps > FIR_MAX_TAPS) std::abort();
  for (int32_t I = 0; I < Filter.NbTaps; ++I)
    if (!(Filter.Coefs[I] == Filter.Coefs[I])) std::abort();  // never NaN
  return 0;
}
