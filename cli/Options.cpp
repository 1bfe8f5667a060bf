// The options of the kestrum command, read with CLI11.
#include "cli/Options.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <tuple>

#include "kestrum/base/Errors.h"
#include "cli/Console.h"
#include "cli/Words.h"
#include "kestrum/filter/LongFilter.h"

namespace kestrum {

namespace {

const char* const kDescription =
    "Filters SOURCE, an uncompressed WAV file (8-, 16-, 24- or 32-bit PCM or\n"
    "32- or 64-bit float, 1 to 64 channels), through the FIR filter in FILTER and\n"
    "writes TARGET in the same format, or in the one -b and -e ask for. TARGET is\n"
    "replaced only when the run succeeds. With --output-dir, filters every SOURCE\n"
    "into DIR under its own file name, several at a time.\n"
    "SOURCE '-' (standard input), a pipe or a FIFO is filtered as it arrives and\n"
    "written on at once, for as long as it flows: TARGET '-' carries each piece\n"
    "a moment after it came in. Ctrl-C ends such a stream cleanly.\n"
    "Everything printed for a person goes to stderr.\n";

// The forms of a designed filter, indented by two blanks under the footer's heading.
std::string DesignForms() {
  std::string Text = "  ";
  for (const char* C = kDesignForms; *C; ++C) Text += *C == '\n' ? std::string("\n  ") : std::string(1, *C);
  return Text;
}

const std::string kFooter =
    std::string("Positions and lengths (--start, --count): a plain integer is frames; a time\n"
    "is 1.5s or 250ms (decimals allowed), 1:30 (m:ss) or 1:02:03.5 (h:mm:ss), and\n"
    "becomes the nearest frame at the source's rate.\n"
    "\n"
    "Filter file:\n"
    "  line 1    a comment, shown in the log\n"
    "  line 2    the number of taps, at most 1000\n"
    "  then      one tap per line: a delay in frames (an integer, taken modulo\n"
    "            16384) and a coefficient (a decimal number such as 0.25 or\n"
    "            -1.5e-3); the rest of the line is ignored\n"
    "  Example, a three-tap smoothing filter:\n"
    "    Smoothing, three taps\n"
    "    3\n"
    "    0 0.25\n"
    "    1 0.5\n"
    "    2 0.25\n"
    "\n"
    "FILTER may also be a WAV file, an impulse response of any length (up to\n"
    "2097152 taps): its samples, as fractions of full scale, are the taps at\n"
    "delays 0, 1, 2, ...; one channel for every source channel, or one per\n"
    "source channel. It runs by FFT convolution in double precision (partitioned\n"
    "overlap-save): fast for any length, closer to the true convolution than the\n"
    "float sum of a .fir, and the same bytes on every machine for a given build.\n"
    "--kernel exact runs it by the float sum of a .fir instead, over every tap:\n"
    "bit-exact with the defined arithmetic, at a cost growing with the length.\n"
    "\n"
    "FILTER may also name a filter to design at each source's rate:\n") +
    DesignForms() + "\n"
    "  e.g. lowpass:3000, bandpass:300-3400:60dB, highpass:80:101taps\n"
    "\n"
    "Filters are designed, and their responses shown, by two more forms:\n"
    "  kestrum design lowpass|highpass|bandpass|bandstop|impulse ... (--help)\n"
    "  kestrum response FILTER --rate HZ [--csv FILE] [--svg FILE] (--help)\n"
    "\n"
    "Exit status: 0 done; 1 failed, with a line 'kestrum: message' on stderr for\n"
    "each failure and TARGET left as it was (a stream or device as TARGET keeps\n"
    "what was written before the failure); 2 wrong command line.";

// Shows the tool's two forms instead of CLI11's one generated line.
class TFormatter : public CLI::Formatter {
public:
  std::string make_usage(const CLI::App*, std::string) const override {
    return "Usage: kestrum [OPTIONS] SOURCE TARGET FILTER\n"
           "       kestrum [OPTIONS] --output-dir DIR [--files-from LIST] SOURCE... FILTER\n";
  }
};

// Adds an option that takes frames or a time into Value.
CLI::Option* AddFrameTime(CLI::App& App, const std::string& Name, const std::string& TypeName,
                          TFrameTime& Value, const std::string& Help) {
  const auto Check = [](std::string& Text) { return FrameTimeProblem(Text); };
  const auto Store = [&Value](const std::string& Text) { Value = *ParseFrameTime(Text); };
  return App.add_option_function<std::string>(Name, Store, Help)
      ->check(CLI::Validator(Check, ""))
      ->type_name(TypeName);
}

// Decimal digits only, from 0 to kMaxFrame: no sign, no blanks.
std::optional<int32_t> ParseCount(const std::string& Text) {
  const auto Parsed = ParseFrameTime(Text);
  if (!Parsed || Parsed->IsTime || Parsed->Frames > kMaxFrame) return std::nullopt;
  return static_cast<int32_t>(Parsed->Frames);
}

// The one engine that --kernel, --fft and --exact name (Kernel: --kernel was
// given); throws CLI::ValidationError when they name two.
void SettleEngine(TOptions& Options, bool Kernel, bool Fft, bool Exact) {
  std::string Named = Kernel ? "--kernel " + EngineName(Options.Engine) : "";
  for (const auto& [Given, Flag, Engine] : {std::tuple{Fft, "--fft", TEngine::Fft}, std::tuple{Exact, "--exact", TEngine::Exact}}) {
    if (!Given) continue;
    if (!Named.empty() && Options.Engine != Engine)
      throw CLI::ValidationError(Named + " and " + Flag + " name two engines: give one");
    if (Named.empty()) Named = Flag;
    Options.Engine = Engine;
  }
}

// Puts the source names that Options.FilesFrom lists, one a line (blank
// lines skipped, a line's end '\r' dropped), before FILTER; throws
// CLI::ValidationError when it cannot be read or is given without --output-dir.
void ReadFilesFrom(TOptions& Options) {
  if (!Options.FilesFrom) return;
  const std::string& List = *Options.FilesFrom;
  if (!Options.OutputDir) throw CLI::ValidationError("--files-from lists sources for --output-dir DIR, which is missing");
  std::ifstream File;
  if (List != "-") File.open(List);
  std::istream& In = List == "-" ? std::cin : File;
  if (!In) throw CLI::ValidationError("--files-from: cannot open '" + List + "': " + std::strerror(errno));
  std::vector<std::string> Sources;
  for (std::string Line; std::getline(In, Line);) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (!Line.empty()) Sources.push_back(std::move(Line));
  }
  if (In.bad()) throw CLI::ValidationError("--files-from: cannot read '" + List + "': " + std::strerror(errno));
  if (Options.Files.empty()) throw CLI::RequiredError("FILTER");
  Options.Files.insert(Options.Files.end() - 1, Sources.begin(), Sources.end());
}

// The file names make one of the two forms; throws CLI::ValidationError.
void CheckFiles(const TOptions& Options) {
  const size_t Count = Options.Files.size();
  if (Options.OutputDir) {
    if (Options.OutputDir->empty())
      throw CLI::ValidationError("--output-dir", "expected a folder name, found ''");
    if (Count < 2) throw CLI::ValidationError("--output-dir needs at least one SOURCE and the FILTER");
    return;
  }
  static const char* const kNames[] = {"SOURCE", "TARGET", "FILTER"};
  if (Count < 3) throw CLI::RequiredError(kNames[Count]);
  if (Count > 3)
    throw CLI::ValidationError("expected SOURCE TARGET FILTER, found " + std::to_string(Count) +
                               " file names; for several sources use --output-dir DIR");
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, const char* const* argv, TOptions& Options) {
  CLI::App App(kDescription, "kestrum");
  App.formatter(std::make_shared<TFormatter>());
  App.footer(kFooter);
  App.get_formatter()->column_width(22);
  App.set_version_flag("-V,--version", "kestrum " + TKestrum(nullptr).Version(),
                       "Print the version and exit");
  App.add_flag("-q,--quiet", Options.Quiet, "Print errors only: no log, warnings or progress bar");
  CLI::Option* Clip = App.add_flag("--clip", Options.Clip,
                                    "The default: saturate samples beyond the sample\n"
                                    "width's range (8-bit: bytes 0 to 255, 16-bit:\n"
                                    "-32768 to 32767, 24-bit: -8388608 to 8388607) and\n"
                                    "clamp float samples to -1 to 1");
  CLI::Option* Wrap = App.add_flag_callback("--wrap", [&Options] { Options.Clip = false; },
               "Apply the component's defined arithmetic instead:\n"
               "keep the low bits of integer samples beyond the\n"
               "range, which wraps them round to the other sign (a\n"
               "loud click), and keep float samples as they are");
  App.add_option_function<std::string>(
         "-b,--bits", [&](const std::string& Text) { Options.TargetBits = std::stoi(Text); },
         "Sample width of TARGET: 8, 16, 24, 32 or 64 (default:\n"
         "the source's). Levels scale by the exact power of two\n"
         "between the widths (16-bit L is 24-bit 256 L), and are\n"
         "rounded to the nearest unless --dither")
      ->check(ChoiceCheck({"8", "16", "24", "32", "64"}))
      ->type_name("BITS");
  App.add_option_function<std::string>(
         "-e,--encoding",
         [&](const std::string& Name) {
           Options.TargetEncoding = Name == "signed-integer"     ? TEncoding::Signed
                                    : Name == "unsigned-integer" ? TEncoding::Unsigned
                                                                 : TEncoding::Float;
         },
         "Sample encoding of TARGET: signed-integer (16, 24,\n"
         "32 bits), unsigned-integer (8) or floating-point (32,\n"
         "64; full scale -1 to 1), or the start of one (signed,\n"
         "float); default: the source's")
      ->transform(ChoicePrefix({"signed-integer", "unsigned-integer", "floating-point"}))
      ->type_name("ENCODING");
  App.add_flag("--dither", Options.Dither,
               "Add triangular (TPDF) dither of +-1 LSB before rounding\n"
               "where TARGET's integer samples are narrower than the\n"
               "source's (-b 16 from 24-bit or float); a run repeats\n"
               "byte for byte");
  App.add_option_function<std::string>(
         "--dither-seed",
         [&](const std::string& Text) {
           std::from_chars(Text.data(), Text.data() + Text.size(), Options.DitherSeed);
           Options.Dither = true;
         },
         "--dither with another seed of its generator (default 0)")
      ->check(CLI::Validator(
          [](std::string& Text) -> std::string {
            uint64_t Seed = 0;
            const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Seed);
            if (!Text.empty() && Error == std::errc() && End == Text.data() + Text.size()) return "";
            return "expected a seed from 0 to 18446744073709551615, found '" + Text + "'";
          },
          ""))
      ->type_name("N");
  App.add_flag("--keep-metadata", Options.KeepMetadata,
               "Carry the source's metadata (bext, iXML, LIST, ...)\n"
               "into TARGET; bext's time reference follows --start,\n"
               "cue points and loops are left out with a warning");
  App.add_flag("--force", Options.Force,
               "Replace TARGET even when it is not a WAV file, and\n"
               "write WAV to a name that says otherwise (.fir, .mp3)");
  App.add_option("-o,--output-dir", Options.OutputDir,
                 "Filter every SOURCE into DIR (created if missing) under\n"
                 "its own name, several at a time")
      ->type_name("DIR");
  App.add_option("--files-from", Options.FilesFrom,
                 "With --output-dir: more SOURCEs, one name a line in\n"
                 "LIST ('-': standard input), for more than a command\n"
                 "line holds")
      ->type_name("LIST");
  AddFrameTime(App, "--start", "POS", Options.Start,
               "First source frame to filter: frames or a time\n(default 0)");
  AddFrameTime(App, "--count", "LEN", Options.Count,
               "How much to filter: frames or a time (default 0).\n"
               "0 means as many frames as the whole source holds,\n"
               "counted from --start (a stream: until it ends): past\n"
               "the source's end the run reads silence, which keeps\n"
               "the filter's tail");
  App.add_option_function<std::string>(
         "--kernel", [&](const std::string& Name) { Options.Engine = *EngineOf(Name); },
         "Engine: auto (the default: fast for a .fir, fft for a\n"
         "WAV FILTER); reference or fast, a .fir's float sum\n"
         "(the same output); fft, FFT convolution in double\n"
         "precision; exact, the float sum over every tap (a\n"
         "WAV FILTER's too)")
      ->check(ChoiceCheck(EngineNames()))
      ->type_name("NAME");
  App.add_option_function<std::string>(
         "--threads", [&](const std::string& Text) { Options.Threads = *ParseCount(Text); },
         "Threads to use; 0, the default, is one per core")
      ->check(CLI::Validator(
          [](std::string& Text) -> std::string {
            if (ParseCount(Text)) return "";
            return "expected a thread count from 0 to " + std::to_string(kMaxFrame) +
                   ", found '" + Text + "'";
          },
          ""))
      ->type_name("N");
  bool Exact = false, Fft = false;
  App.add_flag("--exact", Exact, "--kernel exact");
  App.add_flag("--fft", Fft, "--kernel fft");
  App.add_option("--filter-channel", Options.Long.Channel,
                 "A WAV FILTER's channel to apply to every source\nchannel (1 for the first)")
      ->check(RangeCheck(1, 64, "a channel"))
      ->type_name("N");
  // Beyond 770 dB a full-scale tap leaves single precision's range.
  App.add_option("--filter-gain", Options.Long.GainDb, "A WAV FILTER's gain in dB, after --normalize")
      ->check(RangeCheck(-770, 770, "a gain in dB"))
      ->type_name("DB");
  App.add_option_function<std::string>(
         "--normalize",
         [&](const std::string& Name) {
           Options.Long.Normalize = Name == "peak" ? TNormalize::Peak : TNormalize::Energy;
         },
         "A WAV FILTER scaled to a largest tap of 1 (peak) or\nto a sum of squares of 1 (energy)")
      ->check(ChoiceCheck({"peak", "energy"}))
      ->type_name("HOW");
  std::string Align;  // "true" when given alone
  App.add_flag("--align", Align,
               "Remove the filter's delay, keeping the source's length:\n"
               "--align the delay of a linear-phase filter (symmetric\n"
               "taps), --align=FRAMES that many frames")
      ->check(CLI::Validator(
          [](std::string& Text) -> std::string {
            if (Text == "true" || ParseCount(Text)) return "";
            return "expected a frame count, as in --align=FRAMES, found '" + Text + "'";
          },
          ""));
  App.add_option("FILES", Options.Files)->group("");

  try {
    App.parse(argc, argv);
    ReadFilesFrom(Options);
    if (!Align.empty()) Options.Align = Align == "true" ? kAlignDelay : *ParseCount(Align);
    CheckFiles(Options);
    SettleEngine(Options, App.get_option("--kernel")->count() > 0, Fft, Exact);
    if (Clip->count() > 0 && Wrap->count() > 0)
      throw CLI::ValidationError("--clip and --wrap exclude each other");
    if (!ValidTarget(Options.TargetBits, Options.TargetEncoding))
      throw CLI::ValidationError("WAV has no " + std::to_string(Options.TargetBits) + "-bit " +
                                 (Options.TargetEncoding == TEncoding::Float      ? "floating-point"
                                  : Options.TargetEncoding == TEncoding::Signed ? "signed-integer"
                                                                                : "unsigned-integer") +
                                 " samples: 8-bit is unsigned, 16, 24 and 32 signed, 32 and 64 floating-point");
    try {
      Options.Design = ParseFilterDesign(Options.Filter());
    } catch (const EGeneralError& E) {
      throw EUsageError(E.what());
    }
    for (const char* Name : {"--filter-channel", "--filter-gain", "--normalize"})
      if (Options.Scaling.empty() && App.get_option(Name)->count() > 0) Options.Scaling = Name;
    // A design's taps are its own: a long one is not rescaled as a WAV FILTER may be.
    if (Options.Design && !Options.Scaling.empty())
      throw CLI::ValidationError(Options.Scaling + " applies to a WAV FILTER, an impulse response; '" +
                                 Options.Filter() + "' is a designed filter");
    if (!NeedsRate(Options)) FrameRange(Options, 0);
  } catch (const CLI::ParseError& E) {
    if (E.get_exit_code() == 0) return App.exit(E);  // --help, --version
    PrintUsageError(UsageMessage(E, App));
    return kUsageError;
  } catch (const EUsageError& E) {
    PrintUsageError(E.what());
    return kUsageError;
  }
  return std::nullopt;
}

std::pair<int32_t, int32_t> FrameRange(const TOptions& Options, uint32_t Frequency) {
  try {
    return FrameRange(Options.Start, Options.Count, Frequency);
  } catch (const EGeneralError& E) {
    throw EUsageError(E.what());
  }
}

}  // namespace kestrum
