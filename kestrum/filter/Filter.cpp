// Reading a filter of either kind once.
#include "kestrum/filter/Filter.h"

#include "kestrum/base/Errors.h"
#include "kestrum/wav/WavHeader.h"

namespace kestrum {

size_t TFilter::Length() const {
  if (IsLong()) return Long().Length();
  return Fir().NbTaps > 0 ? static_cast<size_t>(Fir().NbTaps) : 0;
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
  Filter.Taps = std::move(Long);
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
