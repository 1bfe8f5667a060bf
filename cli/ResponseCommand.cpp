// "kestrum response": the summary, table and plot of a filter's response.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <optional>

#include "kestrum/base/Errors.h"
#include "cli/Commands.h"
#include "cli/Words.h"
#include "kestrum/design/Response.h"
#include "kestrum/design/FilterArgument.h"
#include "kestrum/wav/TargetRule.h"

namespace kestrum {

namespace {

struct TResponseOptions {
  std::string Filter, Csv, Svg;
  double Rate = 0;
  int32_t Points = 512;
  bool PointsGiven = false;
  int Channel = 1;  // of a WAV filter
  bool Force = false;
};

// Refuses (CLI::ValidationError) a table or plot file that would replace
// the filter, and unless --force, a WAV file or another binary one
// (kestrum/wav/TargetRule.h).
void CheckOutput(const std::string& Option, const std::string& Output, const TResponseOptions& O) {
  const TTargetProblem Problem = TargetProblem(Output, TTargetContent::Text, {{O.Filter, "the filter"}}, O.Force);
  if (Problem)
    throw CLI::ValidationError(Option + " " + Problem.Message +
                               (Problem.Refusal == TTargetRefusal::Input ? "" : " (--force does)"));
}

// A .fir filter's taps as the kernel applies them, or a long filter's
// channel as the FFT engine does; a design is made at --rate, and a WAV
// filter's rate is the default rate.
TResponse ReadResponse(TResponseOptions& O, std::string& Title) {
  std::optional<TFilterDesign> Design;
  try {
    Design = ParseFilterDesign(O.Filter);
  } catch (const EGeneralError& E) {
    throw CLI::ValidationError(E.what());
  }
  std::vector<std::string> Warnings;
  TFilter Filter;
  if (Design) {
    if (O.Rate == 0) throw CLI::RequiredError("--rate");
    try {
      Filter = DesignedFilter(*Design, static_cast<uint32_t>(std::lround(O.Rate)), Warnings);
    } catch (const EGeneralError& E) {
      throw CLI::ValidationError(E.what());
    }
  } else {
    Filter = ReadFilter(O.Filter, {O.Channel, 0.0, TNormalize::None});
    // The rate the filter records: a WAV filter's own, or the one a designed
    // .fir's comment names ("... at 48000 Hz").
    if (O.Rate == 0) O.Rate = Filter.Rate != 0 ? Filter.Rate : DesignedRate(Filter.Comment);
    if (O.Rate == 0) throw CLI::RequiredError("--rate");
    Warnings = Filter.HeadWarnings;
    Warnings.insert(Warnings.end(), Filter.TapWarnings.begin(), Filter.TapWarnings.end());
  }
  for (const std::string& Warning : Warnings)
    std::fprintf(stderr, "kestrum: warning: %s\n", EscapeControl(Warning).c_str());
  if (!Filter.IsLong()) {
    Title = Filter.Comment;
    return TResponse(Filter.Fir(), O.Rate);
  }
  Title = Design ? Filter.Comment
                 : "Impulse response " + O.Filter + (O.Channel > 1 ? ", channel " + std::to_string(O.Channel) : "");
  return TResponse(Filter.Long().Channels[0], O.Rate);
}

int Respond(TResponseOptions& O) {
  std::string Title;
  const TResponse Response = ReadResponse(O, Title);
  // Everything is computed before anything is written.
  const std::string Summary = FormatSummary(Summarize(Response), O.Rate);
  const std::string Csv = O.Csv.empty() ? "" : ResponseCsv(Response, O.Points);
  char At[48];
  std::snprintf(At, sizeof At, "; response at %g Hz", O.Rate);
  const std::string Svg = O.Svg.empty() ? ""
                                         : ResponseSvg(Response, Title + At,
                                                       O.PointsGiven ? O.Points : kPlotPoints);
  if (!O.Svg.empty()) WriteOutput(O.Svg, Svg);
  if (!O.Csv.empty()) WriteOutput(O.Csv, Csv);
  // With the table on stdout, the summary goes where a person reads it.
  const bool TableOnStdout = (!O.Csv.empty() && SameOutput(O.Csv, "-")) || (!O.Svg.empty() && SameOutput(O.Svg, "-"));
  if (TableOnStdout)
    std::fputs(Summary.c_str(), stderr);
  else
    WriteOutput("-", Summary);  // a failed write fails the command
  return 0;
}

}  // namespace

int RunResponseCommand(int Argc, char** Argv) {
  CLI::App App(
      "Prints a summary of FILTER's response at a sample rate, as the kernel applies it\n"
      "(coefficients rounded to float, delays modulo 16384), and writes its magnitude,\n"
      "phase and group delay as CSV and as an SVG plot. A WAV impulse response's\n"
      "samples are taps at delays 0, 1, 2, ..., in double precision.",
      "kestrum response");
  TResponseOptions O;
  App.add_option("FILTER", O.Filter, ".fir filter file, a WAV impulse response, or a design\n"
                                     "such as lowpass:3000 (made at --rate)")->required()->type_name("");
  App.add_option("--rate", O.Rate, "Sample rate in Hz; by default the rate the filter records\n"
                                   "(a WAV filter's, a designed .fir's); needed for a design")
      ->transform(HzValidator("the rate", "44100 or 44.1k", 4294967295.0))
      ->type_name("HZ");
  App.add_option("--csv", O.Csv, "CSV file to write; - for stdout, the summary then goes to stderr")
      ->type_name("FILE");
  App.add_option("--points", O.Points,
                 "Rows of the CSV, from 0 Hz to half the rate (default 512),\n"
                 "and log-spaced frequencies the plot samples (default 700;\n"
                 "it adds what the filter's longest delay needs)")
      ->check(RangeCheck(2, 1000000, "a point count"))
      ->type_name("N");
  App.add_option("--channel", O.Channel, "A WAV filter's channel (default 1)")
      ->check(RangeCheck(1, 64, "a channel"))
      ->type_name("N");
  App.add_option("--svg", O.Svg, "SVG plot to write; - for stdout")->type_name("FILE");
  App.add_flag("--force", O.Force, "Replace a --csv or --svg file that holds a WAV or binary file");
  App.footer("Examples:\n  kestrum response lowpass.fir --rate 44100 --csv lp.csv --svg lp.svg\n"
             "  kestrum response lowpass:3000 --rate 48000");
  return RunCommand(App, Argc, Argv, [&] {
    O.PointsGiven = App.get_option("--points")->count() > 0;
    RefuseBlankName("FILTER", O.Filter);
    if (App.count("--csv") > 0) RefuseBlankName("--csv", O.Csv);
    if (App.count("--svg") > 0) RefuseBlankName("--svg", O.Svg);
    if (!O.Csv.empty() && !O.Svg.empty() && SameOutput(O.Csv, O.Svg))
      throw CLI::ValidationError("--csv '" + O.Csv + "' and --svg '" + O.Svg +
                                 "' are the same output: one would replace the other");
    if (!O.Csv.empty()) CheckOutput("--csv", O.Csv, O);
    if (!O.Svg.empty()) CheckOutput("--svg", O.Svg, O);
    return Respond(O);
  });
}

}  // namespace kestrum
