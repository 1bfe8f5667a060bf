// The words for what a run's stores met.
#include "kestrum/kernel/Overflow.h"

#include <cstdio>

namespace kestrum {

std::string DescribeOverflow(const TOverflowCount& Count, bool Clip) {
  if (Count.Overflowed == 0) return "";
  const double Peak = Count.PeakFullScale();
  char PeakText[32];  // huge peaks, which only clipping lets through, in exponent form
  std::snprintf(PeakText, sizeof PeakText, Peak < 1.01 ? "%.4f" : Peak < 1e6 ? "%.2f" : "%.3g", Peak);
  return std::to_string(Count.Overflowed) + " of " + std::to_string(Count.Samples) + " samples exceeded " +
         (Count.Float ? "full scale (-1 to 1)" : "the " + std::to_string(Count.Bits) + "-bit range") + " and " +
         (Clip ? "were clipped" : Count.Float ? "were kept as they are" : "wrapped around") + " (peak " + PeakText +
         " x full scale)";
}

}  // namespace kestrum
