// Run set-up and the source's description.
#include "cli/Run.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "kestrum/base/Errors.h"
#include "kestrum/base/OutputFile.h"
#include "kestrum/design/Design.h"
#include "kestrum/filter/FirFile.h"
#include "kestrum/filter/LongFilter.h"
#include "kestrum/wav/ReadWavFile.h"
#include "kestrum/wav/TargetRule.h"
#include "kestrum/wav/WavHeader.h"

namespace kestrum {

bool CanReadTwice(const std::string& Source) {
  std::error_code Ec;
  return Source != "-" && std::filesystem::is_regular_file(Source, Ec);
}

TSourceFormat ReadSourceFormat(const std::string& Source, const std::string& StreamRefusal) {
  std::error_code Ec;
  if (Source == "-" || (std::filesystem::exists(Source, Ec) && !CanReadTwice(Source)))
    throw EUsageError(StreamRefusal);
  TReadWavFile Reader;
  Reader.FileName = Source;
  Reader.SetActive(true);
  const TSourceFormat Format{Reader.Frequency, Reader.NSamples};
  Reader.SetActive(false);
  return Format;
}

std::string RateRefusal(const TOptions& Options) {
  if (NeedsRate(Options))
    return "a time in --start or --count needs the source's rate before the run: give frames "
           "when SOURCE is '-' or a pipe";
  return "";
}

TFilter DesignAt(const TOptions& Options, uint32_t Rate, std::vector<std::string>& Warnings) {
  try {
    TFilter Designed = DesignedFilter(*Options.Design, Rate, Warnings);
    CheckFilterUse(Options, Designed);
    return Designed;
  } catch (const EGeneralError& E) {
    throw EUsageError(E.what());
  }
}

TFilter ReadFilterOf(const TOptions& Options) {
  TFilter Filter = ReadFilter(Options.Filter(), Options.Long);
  CheckFilterUse(Options, Filter);
  return Filter;
}

void CheckFilterUse(const TOptions& Options, const TFilter& Filter) {
  try {
    CheckEngine(Options.Engine, Filter.IsLong(), Filter.Name);
  } catch (const EGeneralError& E) {
    throw EUsageError(E.what());
  }
  if (Options.Align == kAlignDelay) {
    try {
      GroupDelay(Filter);
    } catch (const EGeneralError& E) {
      throw EUsageError("--align: " + std::string(E.what()) + " (--align=FRAMES)");
    }
  }
  if (!Options.Design && !Options.Scaling.empty() && !Filter.IsLong())
    throw EUsageError(Options.Scaling + " applies to a WAV FILTER, an impulse response; '" + Filter.Name +
                      "' is not one");
}

void SetUpRun(TKestrum& Kestrum, const TOptions& Options, const std::string& Source,
              const std::string& Target, const TFilter* Filter, uint32_t Frequency, int Threads) {
  // Times without a rate are settled by the run, once it has read the header.
  const auto [Start, End] = NeedsRate(Options) && Frequency == 0 ? std::pair(0, 0) : FrameRange(Options, Frequency);
  Kestrum.SourceFile = Source;
  Kestrum.CibleFile = Target;
  Kestrum.FirFile = Options.Filter();
  if (Filter) Kestrum.Filter = *Filter;
  Kestrum.SetStartPos(Start);
  Kestrum.SetEndPos(End);
  Kestrum.Engine = Options.Engine;
  Kestrum.Threads = Threads;
  Kestrum.Clip = Options.Clip;
  Kestrum.KeepMetadata = Options.KeepMetadata;
  Kestrum.TargetBits = Options.TargetBits;
  Kestrum.TargetEncoding = Options.TargetEncoding;
  Kestrum.Dither = Options.Dither;
  Kestrum.DitherSeed = Options.DitherSeed;
  Kestrum.FilterOptions = Options.Long;
  Kestrum.Align = Options.Align;
}

int32_t FramesToFilter(const TOptions& Options, const TSourceFormat& Format) {
  const auto [Start, End] = FrameRange(Options, Format.Frequency);
  return End != Start ? End - Start : Format.NSamples;
}

std::string OverflowWarning(const TOverflowCount& Count, bool Clip) {
  const std::string Text = DescribeOverflow(Count, Clip);
  return Text.empty() || Clip ? Text : Text + ", as --wrap asks";
}

namespace {

// No default: a new sample format must say how it is named.
const char* BitsName(ff_bits Bits) {
  switch (Bits) {
    case ff_8bits:
      return "8-bit";
    case ff_16bits:
      return "16-bit";
    case ff_24bits:
      return "24-bit";
    case ff_32bitsFloat:
      return "32-bit float";
    case ff_32bits:
      return "32-bit";
    case ff_64bitsFloat:
      return "64-bit float";
  }
  return "?";
}

}  // namespace

namespace {

// "0:02.500", "1:02:03.500": NSamples frames at Frequency Hz (not 0).
std::string FormatDuration(int32_t NSamples, uint32_t Frequency) {
  const int64_t Ms = (int64_t{NSamples} * 1000 + Frequency / 2) / Frequency;
  char Duration[48];
  if (Ms >= 3'600'000)
    std::snprintf(Duration, sizeof Duration, "%" PRId64 ":%02d:%02d.%03d", Ms / 3'600'000,
                  int(Ms / 60'000 % 60), int(Ms / 1000 % 60), int(Ms % 1000));
  else
    std::snprintf(Duration, sizeof Duration, "%d:%02d.%03d", int(Ms / 60'000), int(Ms / 1000 % 60),
                  int(Ms % 1000));
  return Duration;
}

}  // namespace

std::string StartPastEndWarning(const TOptions& Options, uint32_t Frequency, int32_t NSamples) {
  const int32_t Start = FrameRange(Options, Frequency).first;
  if (Start == 0 || NSamples < 0 || Start < NSamples) return "";  // < 0: a stream's unknown length
  const std::string End = Options.Start.IsTime && Frequency > 0 ? FormatDuration(NSamples, Frequency)
                                                                 : std::to_string(NSamples) + " frames";
  return "--start " + Options.Start.Text + " is past the source's end (" + End + "): the output is silence";
}

std::string DescribeSource(const std::string& Name, ff_bits Bits, int Channels, uint32_t Frequency,
                           int32_t NSamples, bool Streamed) {
  std::string Line = "Source: " + Name + ": " + std::to_string(Channels) + (Channels == 1 ? " channel" : " channels") +
                     ", " + std::to_string(Frequency) + " Hz, " + BitsName(Bits) + ", ";
  if (NSamples < 0) return Line + "length unknown until the stream ends";
  if (Streamed) Line += "up to ";
  if (Frequency > 0) Line += FormatDuration(NSamples, Frequency) + " ";
  return Line + "(" + std::to_string(NSamples) + " frames)";
}

}  // namespace kestrum

namespace kestrum {

std::string TargetRefusal(const TOptions& Options, const std::string& Source, const std::string& Target) {
  std::vector<TTargetInput> Inputs{{Source, "the source"}};
  if (!Options.Design) Inputs.push_back({Options.Filter(), "the filter"});
  const TTargetProblem Problem = TargetProblem(Target, TTargetContent::Wav, Inputs, Options.Force);
  const std::string Extension = LowerExtension(Target);
  switch (Problem.Refusal) {
    case TTargetRefusal::None:
      return "";
    case TTargetRefusal::Input:
      return "TARGET " + Problem.Message;
    case TTargetRefusal::Name:
      if (Extension == ".fir")
        return "TARGET " + Problem.Message + ": the order is SOURCE TARGET FILTER (--force writes it anyway)";
      return "TARGET '" + Target + "': kestrum writes WAV only; for " + Extension.substr(1) +
             ", pipe it through ffmpeg or sox, e.g. kestrum SOURCE - FILTER | sox -t wav - " + "out" + Extension +
             " (--force writes WAV under this name)";
    case TTargetRefusal::Existing:
      return "TARGET " + Problem.Message + " (--force does)";
  }
  return "";
}

void CheckTarget(const TOptions& Options, const std::string& Target) {
  std::error_code Ec;
  if (!Options.Design && Options.Filter() != "-" && !std::filesystem::exists(Options.Filter(), Ec) &&
      (LowerExtension(Target) == ".fir" ||
       TargetProblem(Target, TTargetContent::Wav).Message.find("a filter file") != std::string::npos))
    throw EUsageError("FILTER '" + Options.Filter() + "' does not exist and TARGET '" + Target +
                      "' looks like a filter: the order is SOURCE TARGET FILTER");
  if (const std::string Refusal = TargetRefusal(Options, Options.Files[0], Target); !Refusal.empty())
    throw EUsageError(Refusal);
}

}  // namespace kestrum
