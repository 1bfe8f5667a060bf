// Reading a filter of either kind once.
#include "kestrum/filter/Filter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "kestrum/base/Errors.h"
#include "kestrum/wav/WavHeader.h"

namespace kestrum {

size_t TFilter::Length() const {
  if (IsLong()) return Long().Length();
  return Fir().NbTaps > 0 ? static_cast<size_t>(Fir().NbTaps) : 0;
}

namespace {

// The middle of Taps' span twice over (first + last tap not 0) when they are
// symmetric or antisymmetric about it, within float precision; -1 when they
// are not, or are all 0.
int64_t TwiceMiddle(const std::vector<double>& Taps) {
  size_t First = 0, Last = Taps.size();
  double Peak = 0;
  for (const double Tap : Taps) Peak = std::max(Peak, std::fabs(Tap));
  if (Peak == 0) return -1;
  while (Taps[First] == 0) ++First;
  while (Taps[Last - 1] == 0) --Last;
  const double Tolerance = Peak * 1e-6;
  bool Symmetric = true, Antisymmetric = true;
  for (size_t I = First, J = Last - 1; I <= J && (Symmetric || Antisymmetric); ++I, --J) {
    Symmetric = Symmetric && std::fabs(Taps[I] - Taps[J]) <= Tolerance;
    Antisymmetric = Antisymmetric && std::fabs(Taps[I] + Taps[J]) <= Tolerance;
    if (J == 0) break;
  }
  return Symmetric || Antisymmetric ? static_cast<int64_t>(First + Last - 1) : -1;
}

}  // namespace

int64_t GroupDelay(const TFilter& Filter) {
  const TLongFilter Line = Filter.IsLong() ? TLongFilter() : LongFilterOf(Filter.Fir());
  const TLongFilter& Long = Filter.IsLong() ? Filter.Long() : Line;
  const std::string Advice = ": give the frames to drop instead";
  int64_t Twice = -1;
  for (const std::vector<double>& Taps : Long.Channels) {
    const int64_t Channel = TwiceMiddle(Taps);
    if (Channel < 0)
      throw EGeneralError(Filter.Name + " is not linear-phase (its taps are neither symmetric nor antisymmetric), "
                          "so it has no one delay to remove" + Advice);
    if (Twice >= 0 && Channel != Twice)
      throw EGeneralError(Filter.Name + ": its channels have different delays" + Advice);
    Twice = Channel;
  }
  if (Twice % 2 != 0) {
    char Delay[32];
    std::snprintf(Delay, sizeof Delay, "%.1f", Twice / 2.0);
    throw EGeneralError(Filter.Name + " delays by " + Delay + " frames, not a whole frame, as a linear-phase filter of an even " +
                        "length does" + Advice);
  }
  return Twice / 2;
}

std::string ImpulseComment(const TLongFilter& Long) {
  return "impulse response, " + std::to_string(Long.Channels.size()) +
         (Long.Channels.size() == 1 ? " channel, " : " channels, ") + std::to_string(Long.Rate) + " Hz";
}

TFilter FilterOf(TFirFilter Fir, std::string Name) {
  TFilter Filter;
  Filter.Name = std::move(Name);
  Filter.Comment = Fir.FilterComment;
  Filter.Taps = std::move(Fir);
  return Filter;
}

TFilter FilterOf(TLongFilter Long, std::string Name, std::string Comment) {
  TFilter Filter;
  Filter.Name = std::move(Name);
  Filter.Comment = std::move(Comment);
  Filter.Rate = Long.Rate;
  Filter.Taps = std::make_shared<const TLongFilter>(std::move(Long));
  return Filter;
}

TFilter ReadFilter(const std::string& FileName, const TLongFilterOptions& Options,
                   const std::function<void(const TFilter& Head)>& OnHead) {
  if (IsBlankName(FileName)) throw EGeneralError("no filter file name given");
  TFilterFile File(FileName);
  if (File.IsWav()) {
    std::string Comment;
    TLongFilter Long = File.ReadLong(Options, &Comment);
    if (Comment.empty()) Comment = ImpulseComment(Long);
    TFilter Filter = FilterOf(std::move(Long), FileName, std::move(Comment));
    if (OnHead) OnHead(Filter);
    return Filter;
  }
  TFirFilter Fir;
  TFirFileReader Reader = File.FirReader();
  Reader.ReadHead(Fir);
  TFilter Filter = FilterOf(std::move(Fir), FileName);
  Filter.HeadWarnings = Reader.TakeWarnings();
  if (OnHead) OnHead(Filter);
  Reader.ReadTaps(std::get<TFirFilter>(Filter.Taps));
  Filter.TapWarnings = Reader.TakeWarnings();
  return Filter;
}

}  // namespace kestrum
