// Filter names read as designs, and designs made into filter values.
#include "kestrum/design/FilterArgument.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

#include "kestrum/base/Errors.h"

namespace kestrum {

namespace {

const std::pair<const char*, TBandKind> kKinds[] = {{"lowpass", TBandKind::Lowpass},
                                                    {"highpass", TBandKind::Highpass},
                                                    {"bandpass", TBandKind::Bandpass},
                                                    {"bandstop", TBandKind::Bandstop}};

std::vector<std::string> Split(const std::string& Text, char Separator) {
  std::vector<std::string> Parts(1);
  for (char C : Text) {
    if (C == Separator)
      Parts.emplace_back();
    else
      Parts.back().push_back(C);
  }
  return Parts;
}

// A decimal number followed by exactly Unit (any case), e.g. "60dB".
std::optional<double> NumberWith(const std::string& Text, const std::string& Unit) {
  if (Text.size() <= Unit.size() || !std::isdigit(static_cast<unsigned char>(Text[0]))) return std::nullopt;
  std::string Tail = Text.substr(Text.size() - Unit.size());
  std::transform(Tail.begin(), Tail.end(), Tail.begin(), [](unsigned char C) { return std::tolower(C); });
  if (Tail != Unit) return std::nullopt;
  size_t End = 0;
  const std::string Number = Text.substr(0, Text.size() - Unit.size());
  const double Value = std::stod(Number, &End);
  if (End != Number.size() || !std::isfinite(Value)) return std::nullopt;
  return Value;
}

}  // namespace

std::optional<double> ParseHz(const std::string& Text) {
  size_t End = 0;
  double Value = 0;
  try {
    Value = std::stod(Text, &End);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  std::string Unit = Text.substr(End);
  std::transform(Unit.begin(), Unit.end(), Unit.begin(), [](unsigned char C) { return std::tolower(C); });
  if (Unit == "k" || Unit == "khz")
    Value *= 1000;
  else if (!Unit.empty() && Unit != "hz")
    return std::nullopt;
  if (!std::isfinite(Value) || Value <= 0 || !std::isdigit(static_cast<unsigned char>(Text[0])))
    return std::nullopt;
  return Value;
}

std::optional<TFilterDesign> ParseFilterDesign(const std::string& Text) {
  const std::vector<std::string> Parts = Split(Text, ':');
  const auto Kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                                 [&](const auto& K) { return Parts[0] == K.first; });
  std::error_code Ec;
  if (Parts.size() < 2 || Kind == std::end(kKinds) || std::filesystem::exists(Text, Ec))
    return std::nullopt;
  const auto Refuse = [&](const std::string& Why) {
    throw EGeneralError("FILTER '" + Text + "': " + Why + "; a designed filter is written " +
                        kDesignForms);
  };
  TFilterDesign Design{Text, {}};
  TDesignRequest& R = Design.Request;
  R.Kind = Kind->second;
  const bool TwoEdges = R.Kind == TBandKind::Bandpass || R.Kind == TBandKind::Bandstop;
  const std::vector<std::string> Edges = Split(Parts[1], '-');
  if (Edges.size() != (TwoEdges ? 2u : 1u))
    Refuse(TwoEdges ? "expected two edges such as 300-3400" : "expected one cutoff such as 3000");
  for (size_t I = 0; I < Edges.size(); ++I) {
    const auto Hz = ParseHz(Edges[I]);
    if (!Hz) Refuse("expected a frequency in Hz, found '" + Edges[I] + "'");
    (I == 0 ? R.Low : R.High) = *Hz;
  }
  R.Attenuation = R.Transition = NAN;  // the defaults of WithDefaults
  for (size_t I = 2; I < Parts.size(); ++I) {
    if (const auto Db = NumberWith(Parts[I], "db"); Db && *Db > 0)
      R.Attenuation = *Db;
    else if (const auto Taps = NumberWith(Parts[I], "taps"); Taps && *Taps == std::floor(*Taps))
      R.Taps = static_cast<int32_t>(std::min(*Taps, 1e6));
    else if (const auto Width = ParseHz(Parts[I]); Width && Parts[I].find_first_of("hHkK") != std::string::npos)
      R.Transition = *Width;
    else
      Refuse("'" + Parts[I] + "' is not an attenuation (60dB), a transition width (200Hz) nor a "
             "tap count (101taps)");
  }
  if (R.Taps > 0 && (R.Transition > 0 || Parts.size() > 3))
    Refuse("a tap count goes alone, without an attenuation or a transition width");
  return Design;
}

TFilter DesignedFilter(const TFilterDesign& Design, uint32_t Rate, std::vector<std::string>& Warnings) {
  const std::string At = "FILTER '" + Design.Text + "' at " + std::to_string(Rate) + " Hz: ";
  TDesignRequest R = Design.Request;
  R.Rate = Rate;
  R = WithDefaults(R);
  if (R.Taps > 0) {
    R.Attenuation = R.Transition = 0;
    R.Window = TWindowKind::Blackman;
  }
  TDesignedTaps Taps;
  try {
    Taps = DesignTaps(R, kMaxDesignTaps);
  } catch (const EGeneralError& E) {
    throw EGeneralError(At + E.what());
  }
  for (const std::string& Warning : Taps.Warnings) Warnings.push_back(At + Warning);
  // What a .fir cannot hold becomes a long filter, which the run puts on the
  // FFT engine.
  TFilter Filter;
  if (Taps.Taps.size() > size_t{FIR_MAX_TAPS})
    Filter = FilterOf(TLongFilter{{std::move(Taps.Taps)}, Rate}, Design.Text, Taps.Comment);
  else
    Filter = FilterOf(ToFirFilter(Taps), Design.Text);
  Filter.Rate = Rate;
  return Filter;
}

TFilter FilterFromArgument(const std::string& Text, uint32_t Rate, const TLongFilterOptions& Options,
                           std::vector<std::string>& Warnings) {
  const std::optional<TFilterDesign> Design = ParseFilterDesign(Text);
  if (!Design) return ReadFilter(Text, Options);
  if (Rate == 0) throw EGeneralError("FILTER '" + Text + "' is a design, which needs a rate to be made at");
  return DesignedFilter(*Design, Rate, Warnings);
}

}  // namespace kestrum
