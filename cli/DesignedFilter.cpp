// Filter names read as designs, and their designs kept in memory files.
#include "cli/DesignedFilter.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <filesystem>

#include "kestrum/base/Errors.h"
#include "cli/Options.h"
#include "cli/Words.h"
#include "kestrum/wav/WriteWavFile.h"

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

std::optional<TFilterDesign> ParseFilterDesign(const std::string& Text) {
  const std::vector<std::string> Parts = Split(Text, ':');
  const auto Kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                                 [&](const auto& K) { return Parts[0] == K.first; });
  std::error_code Ec;
  if (Parts.size() < 2 || Kind == std::end(kKinds) || std::filesystem::exists(Text, Ec))
    return std::nullopt;
  const auto Refuse = [&](const std::string& Why) {
    throw EUsageError("FILTER '" + Text + "': " + Why + "; a designed filter is written " +
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

TDesignedFilterFile::TDesignedFilterFile(const TFilterDesign& Design, uint32_t Rate)
    : FName(Design.Text), FRate(Rate) {
  TDesignRequest R = Design.Request;
  R.Rate = Rate;
  R = WithDefaults(R);
  if (R.Taps > 0) {
    R.Attenuation = R.Transition = 0;
    R.Window = TWindowKind::Blackman;
  }
  // What a .fir cannot hold becomes a long filter, a WAV impulse response
  // of the taps in double, which the run puts on the FFT engine.
  TDesignedTaps Taps;
  try {
    Taps = DesignTaps(R, kMaxDesignTaps);
  } catch (const EGeneralError& E) {
    throw EUsageError("FILTER '" + Design.Text + "' at " + std::to_string(Rate) + " Hz: " + E.what());
  }
  FComment = Taps.Comment;
  FLong = Taps.Taps.size() > size_t{FIR_MAX_TAPS};
  for (const std::string& Warning : Taps.Warnings)
    FWarnings.push_back("FILTER '" + Design.Text + "' at " + std::to_string(Rate) + " Hz: " + Warning);
  FFd = memfd_create("kestrum-filter", MFD_CLOEXEC);
  if (FFd < 0) throw EInOutError::FromErrno(errno, "cannot hold", "the designed filter", "in memory");
  FPath = "/proc/self/fd/" + std::to_string(FFd);
  try {
    if (FLong) {
      TWriteWavFile Writer;
      Writer.FileName = FPath;
      Writer.SetActive(true);
      Writer.SetFormat({TSampleFormat::Float64, 1, Rate});
      Writer.Reserve(static_cast<int64_t>(Taps.Taps.size()));
      for (const double Tap : Taps.Taps) {
        const uint64_t Bits = std::bit_cast<uint64_t>(Tap);
        Writer.WriteFloat(std::bit_cast<float>(static_cast<uint32_t>(Bits)));
        Writer.WriteFloat(std::bit_cast<float>(static_cast<uint32_t>(Bits >> 32)));
      }
      Writer.Close();
    } else {
      const std::string Text = FormatFirFile(ToFirFilter(Taps));
      for (size_t Done = 0; Done < Text.size();) {
        const ssize_t Count = write(FFd, Text.data() + Done, Text.size() - Done);
        if (Count < 0 && errno == EINTR) continue;
        if (Count < 0) throw EInOutError::FromErrno(errno, "cannot hold", "the designed filter", "in memory");
        Done += static_cast<size_t>(Count);
      }
    }
  } catch (...) {
    close(FFd);
    throw;
  }
}

TDesignedFilterFile::~TDesignedFilterFile() {
  if (FFd >= 0) close(FFd);
}

std::string TDesignedFilterFile::LogLine() const {
  return "Filter: " + FName + ", designed at " + std::to_string(FRate) + " Hz";
}

}  // namespace kestrum
