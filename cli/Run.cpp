// Run set-up and the source's description.
#include "cli/Run.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include "wav/ReadWavFile.h"

namespace kestrum {

bool CanReadTwice(const std::string& Source) {
  std::error_code Ec;
  return Source != "-" && std::filesystem::is_regular_file(Source, Ec);
}

TSourceFormat ReadSourceFormat(const std::string& Source) {
  std::error_code Ec;
  if (Source == "-" || (std::filesystem::exists(Source, Ec) && !CanReadTwice(Source)))
    throw EUsageError("a time in --start or --count needs the source's rate before the run: "
                      "give frames when SOURCE is '-' or a pipe");
  TReadWavFile Reader;
  Reader.FileName = Source;
  Reader.SetActive(true);
  const TSourceFormat Format{Reader.Frequency, Reader.NSamples};
  Reader.SetActive(false);
  return Format;
}

void SetUpRun(TKestrum& Kestrum, const TOptions& Options, const std::string& Source,
              const std::string& Target, uint32_t Frequency, int Threads) {
  const auto [Start, End] = FrameRange(Options, Frequency);
  Kestrum.SourceFile = Source;
  Kestrum.CibleFile = Target;
  Kestrum.FirFile = Options.Filter();
  Kestrum.SetStartPos(Start);
  Kestrum.SetEndPos(End);
  Kestrum.Kernel = Options.Kernel;
  Kestrum.Threads = Threads;
  Kestrum.Clip = Options.Clip;
}

int32_t FramesToFilter(const TOptions& Options, const TSourceFormat& Format) {
  const auto [Start, End] = FrameRange(Options, Format.Frequency);
  return End != Start ? End - Start : Format.NSamples;
}

std::string OverflowWarning(const TOverflowCount& Count, bool Clip) {
  if (Count.Overflowed == 0) return "";
  const double Peak = Count.PeakFullScale();
  char PeakText[32];  // huge peaks, which only clipping lets through, in exponent form
  std::snprintf(PeakText, sizeof PeakText, Peak < 1e6 ? "%.2f" : "%.3g", Peak);
  return std::to_string(Count.Overflowed) + " of " + std::to_string(Count.Samples) +
         " samples exceeded " +
         (Count.Float ? "full scale (-1 to 1)" : "the " + std::to_string(Count.Bits) + "-bit range") +
         " and " + (Clip ? "were clipped" : Count.Float ? "were kept as they are" : "wrapped around") +
         " (peak " + PeakText + " x full scale)" + (Clip ? "" : "; --clip saturates them");
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
  if (Start == 0 || Start < NSamples) return "";
  const std::string End = Options.Start.IsTime && Frequency > 0 ? FormatDuration(NSamples, Frequency)
                                                                 : std::to_string(NSamples) + " frames";
  return "--start " + Options.Start.Text + " is past the source's end (" + End + "): the output is silence";
}

std::string DescribeSource(const std::string& Name, ff_bits Bits, ff_channels Channels,
                           uint32_t Frequency, int32_t NSamples) {
  std::string Line = "Source: " + Name + ": " + (Channels == ff_stereo ? "2 channels" : "1 channel") +
                     ", " + std::to_string(Frequency) + " Hz, " + BitsName(Bits) + ", ";
  if (Frequency > 0) Line += FormatDuration(NSamples, Frequency) + " ";
  return Line + "(" + std::to_string(NSamples) + " frames)";
}

}  // namespace kestrum
