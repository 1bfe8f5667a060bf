// "kestrum design": writes a .fir file for a windowed-sinc filter or from an
// impulse response.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>

#include "kestrum/base/Errors.h"
#include "cli/Commands.h"
#include "cli/Words.h"
#include "kestrum/design/Design.h"
#include "kestrum/wav/TargetRule.h"
#include "kestrum/wav/WriteWavFile.h"

namespace kestrum {

namespace {

const char* const kDesignFooter =
    "Either --taps (with --window, and --beta for Kaiser) or --attenuation\n"
    "(default 60) and --transition (default: a tenth of the lowest edge, widened\n"
    "to fit about 800 taps where the bands leave room), which choose a Kaiser\n"
    "window and the fewest taps that meet them. The passband gain is 1. A\n"
    "design that misses its request is written with a warning. Examples:\n"
    "  kestrum design lowpass 3000 --rate 44100 --taps 101 --window hann -o lp.fir\n"
    "  kestrum design bandpass 300 3400 --rate 8000 --attenuation 60 --transition 200\n"
    "  kestrum design impulse room.wav --threshold -70 -o room.fir\n";

const std::map<std::string, TWindowKind> kWindows{
    {"rectangular", TWindowKind::Rectangular}, {"hann", TWindowKind::Hann},
    {"hamming", TWindowKind::Hamming},         {"blackman", TWindowKind::Blackman},
    {"kaiser", TWindowKind::Kaiser}};

struct TBandOptions {
  TBandOptions() { Request.Beta = NAN; }  // NaN until --beta is given
  TDesignRequest Request;
  std::string Window = "blackman";
  std::string Output = "-";
  bool Force = false;
};

// Refuses (CLI::ValidationError) an --output that a design must not
// replace (kestrum/wav/TargetRule.h): the impulse response it reads, and unless
// --force, a file of the other kind (WAV for text, anything but WAV for a
// WAV impulse response) or a name of the other kind.
void CheckOutput(const std::string& Output, TTargetContent Content, const std::vector<TTargetInput>& Inputs,
                 bool Force) {
  const TTargetProblem Problem = TargetProblem(Output, Content, Inputs, Force);
  if (Problem)
    throw CLI::ValidationError("--output " + Problem.Message +
                               (Problem.Refusal == TTargetRefusal::Input ? "" : " (--force does)"));
}

// Adds the subcommand of one band kind; its edges are positional.
CLI::App* AddBandCommand(CLI::App& App, const std::string& Name, TBandKind Kind,
                         const std::string& Help, TBandOptions& O) {
  CLI::App* Sub = App.add_subcommand(Name, Help);
  Sub->parse_complete_callback([&O, Kind] { O.Request.Kind = Kind; });
  if (Kind == TBandKind::Lowpass || Kind == TBandKind::Highpass) {
    Sub->add_option("CUTOFF", O.Request.Low, "Cutoff frequency in Hz (3000, or 3k)")
        ->required()
        ->transform(HzValidator("the cutoff", "3000 or 3k", 1e12))
        ->type_name("HZ");
  } else {
    Sub->add_option("LOW", O.Request.Low, "Lower edge in Hz")
        ->required()
        ->transform(HzValidator("the lower edge", "300", 1e12))
        ->type_name("HZ");
    Sub->add_option("HIGH", O.Request.High, "Upper edge in Hz")
        ->required()
        ->transform(HzValidator("the upper edge", "3400 or 3.4k", 1e12))
        ->type_name("HZ");
  }
  Sub->add_option("--rate", O.Request.Rate, "Sample rate in Hz (44100, or 44.1k)")
      ->required()
      ->transform(HzValidator("the rate", "44100 or 44.1k", 4294967295.0))
      ->type_name("HZ");
  Sub->add_option("--taps", O.Request.Taps, "Tap count, 1 to 1000 (131071 for a .wav output)")->type_name("N");
  // What --window and --beta need is checked after parsing: CLI11 would
  // print it inside the help's description.
  Sub->add_option("--window", O.Window,
                  "With --taps: rectangular, hann, hamming, blackman\n(default) or kaiser")
      ->check(ChoiceCheck({"rectangular", "hann", "hamming", "blackman", "kaiser"}))
      ->type_name("NAME");
  Sub->add_option("--beta", O.Request.Beta, "With --window kaiser: the window's beta")->type_name("B");
  Sub->add_option("--attenuation", O.Request.Attenuation,
                  "Stopband attenuation in dB, with --transition")
      ->type_name("DB");
  Sub->add_option("--transition", O.Request.Transition,
                  "Width in Hz of each transition band, centred on\nits edge, with --attenuation")
      ->type_name("HZ");
  Sub->add_option("-o,--output", O.Output,
                  "The .fir file to write; - (default) for stdout; a name\n"
                  "ending in .wav writes a float WAV impulse response,\n"
                  "which may hold up to 131071 taps")
      ->type_name("FILE");
  Sub->add_flag("--force", O.Force, "Replace an --output that holds another kind of file");
  Sub->footer(kDesignFooter);
  return Sub;
}

bool IsWavName(const std::string& Name) {
  std::string Lower = Name.size() >= 4 ? Name.substr(Name.size() - 4) : "";
  for (char& C : Lower) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Lower == ".wav";
}

// Taps as a mono 32-bit float WAV file at Rate, a long filter's form, with
// the design's description as its comment.
void WriteImpulseWav(const std::string& Name, const TDesignedTaps& Design, double Rate) {
  const std::vector<double>& Taps = Design.Taps;
  TWriteWavFile Writer;
  Writer.FileName = Name;
  Writer.Chunks = {InfoCommentChunk(Design.Comment)};
  Writer.SetActive(true);
  Writer.SetFormat({TSampleFormat::Float32, 1, static_cast<uint32_t>(std::lround(Rate))});
  for (const double Tap : Taps) Writer.WriteFloat(static_cast<float>(Tap));
  Writer.Close();
}

// "1 tap", "3 taps".
std::string Counted(int64_t Count, const std::string& Noun) {
  return std::to_string(Count) + " " + Noun + (Count == 1 ? "" : "s");
}

std::string Decibels(double Fraction) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f dB", 20 * std::log10(Fraction));
  return Text;
}

int DesignBand(TBandOptions& O, const CLI::App& Sub) {
  O.Request.Window = kWindows.at(O.Window);
  const auto Given = [&](const char* Name) { return Sub.get_option(Name)->count() > 0; };
  if (Given("--taps") && (Given("--attenuation") || Given("--transition")))
    throw CLI::ValidationError("give either --taps or --attenuation with --transition, not both");
  if (!Given("--taps")) {
    // What is not given takes the defaults the inline form and Python share.
    if (!Given("--attenuation")) O.Request.Attenuation = NAN;
    if (!Given("--transition")) O.Request.Transition = NAN;
    O.Request = WithDefaults(O.Request);
  }
  if (Given("--window") && !Given("--taps"))
    throw CLI::ValidationError("--window goes with --taps; --attenuation chooses a Kaiser window");
  if (Given("--beta") && O.Request.Window != TWindowKind::Kaiser)
    throw CLI::ValidationError("--beta goes with --window kaiser");
  if (O.Request.Window == TWindowKind::Kaiser && std::isnan(O.Request.Beta))
    throw CLI::ValidationError("--window kaiser needs --beta");
  if (O.Request.Window != TWindowKind::Kaiser) O.Request.Beta = 0;
  // A WAV output holds a long filter; a .fir at most FIR_MAX_TAPS taps.
  const bool Wav = IsWavName(O.Output);
  const std::string Hint = Wav ? "" : " (-o FILE.wav writes a filter of up to " + std::to_string(kMaxDesignTaps) +
                                          " taps as a WAV impulse response)";
  if (const std::string Problem = CheckDesignRequest(O.Request, Wav ? kMaxDesignTaps : FIR_MAX_TAPS);
      !Problem.empty())
    throw CLI::ValidationError(Problem + (O.Request.Taps > FIR_MAX_TAPS ? Hint : ""));
  CheckOutput(O.Output, Wav ? TTargetContent::Wav : TTargetContent::Text, {}, O.Force);
  const TDesignedTaps Design = DesignTaps(O.Request, kMaxDesignTaps);
  if (!Wav && Design.Taps.size() > size_t{FIR_MAX_TAPS})
    throw EGeneralError("the design needs " + std::to_string(Design.Taps.size()) + " taps, and a .fir holds at most " +
                        std::to_string(FIR_MAX_TAPS) + Hint);
  if (Wav)
    WriteImpulseWav(O.Output, Design, O.Request.Rate);
  else
    WriteOutput(O.Output, FormatFirFile(ToFirFilter(Design)));
  std::fprintf(stderr, "%s\n", EscapeControl(Design.Comment).c_str());
  for (const std::string& Warning : Design.Warnings)
    std::fprintf(stderr, "kestrum: warning: %s\n", EscapeControl(Warning).c_str());
  return 0;
}

struct TImpulseOptions {
  std::string Source;
  double Threshold = -90;
  int Channel = 1;
  std::string Output = "-";
  bool Force = false;
};

int DesignFromImpulse(const TImpulseOptions& O) {
  CheckOutput(O.Output, TTargetContent::Text, {{O.Source, "the impulse response"}}, O.Force);
  TImpulseReport Report;
  int64_t Frames = 0;
  const TFirFilter Filter = FilterFromImpulseFile(O.Source, O.Channel, O.Threshold, Report, Frames);
  WriteOutput(O.Output, FormatFirFile(Filter));
  std::string Text = O.Source + ": " + Counted(Frames, "frame") + ", " +
                     Counted(Report.Kept, "tap") + " kept, " + Counted(Report.DroppedZero, "zero sample") +
                     " dropped";
  if (Report.Dropped > 0)
    Text += ", " + std::to_string(Report.Dropped) + " below the threshold dropped, the largest at " +
            Decibels(Report.LargestDropped) + " re the peak";
  std::fprintf(stderr, "%s\n", EscapeControl(Text).c_str());
  return 0;
}

}  // namespace

int RunDesignCommand(int Argc, char** Argv) {
  CLI::App App("Designs an FIR filter and writes it as a .fir file (a windowed sinc also as a WAV\n"
                "impulse response, -o NAME.wav).",
                "kestrum design");
  App.require_subcommand(1);
  TBandOptions Band;
  AddBandCommand(App, "lowpass", TBandKind::Lowpass, "Lowpass: gain 1 below CUTOFF", Band);
  AddBandCommand(App, "highpass", TBandKind::Highpass, "Highpass: gain 1 above CUTOFF", Band);
  AddBandCommand(App, "bandpass", TBandKind::Bandpass, "Bandpass: gain 1 from LOW to HIGH", Band);
  AddBandCommand(App, "bandstop", TBandKind::Bandstop, "Bandstop: gain 0 from LOW to HIGH", Band);
  TImpulseOptions Impulse;
  CLI::App* FromWav = App.add_subcommand(
      "impulse", "A filter from an impulse response in a WAV file: one tap per sample,\n"
                 "full scale being 1, without the samples below --threshold");
  FromWav->add_option("WAV", Impulse.Source, "The impulse response")->required()->type_name("");
  FromWav->add_option("--threshold", Impulse.Threshold,
                      "Drop samples this far below the peak, in dB (default -90)")
      ->check(RangeCheck(-1000, 0, "a level in dB"))
      ->type_name("DB");
  FromWav->add_option("--channel", Impulse.Channel, "The file's channel to take (default 1)")
      ->check(RangeCheck(1, MAX_CHANNELS, "a channel"))
      ->type_name("N");
  FromWav->add_option("-o,--output", Impulse.Output, "The .fir file to write; - (default) for stdout")
      ->type_name("FILE");
  FromWav->add_flag("--force", Impulse.Force, "Replace an --output that holds another kind of file");
  FromWav->footer(kDesignFooter);

  return RunCommand(App, Argc, Argv, [&] {
    RefuseBlankName("--output", FromWav->parsed() ? Impulse.Output : Band.Output);
    if (FromWav->parsed()) RefuseBlankName("WAV", Impulse.Source);
    return FromWav->parsed() ? DesignFromImpulse(Impulse) : DesignBand(Band, *App.get_subcommands().front());
  });
}

}  // namespace kestrum
