// The kestrum command: filters one WAV file through a .fir filter with TKestrum.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "base/Errors.h"
#include "base/Stop.h"
#include "cli/Commands.h"
#include "cli/ProgressBar.h"
#include "filter/Kestrum.h"

namespace kestrum {
namespace {

constexpr int32_t kMaxFrame = std::numeric_limits<int32_t>::max();

const char* const kDescription =
    "Filters SOURCE, an uncompressed WAV file (8-, 16- or 24-bit PCM or 32-bit\n"
    "float, mono or stereo), through the FIR filter in FILTER and writes the\n"
    "result to TARGET in the same format. TARGET is replaced only when the run\n"
    "succeeds.";

const char* const kFilterHelp =
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
    "Filters are designed, and their responses shown, by two more forms:\n"
    "  kestrum design lowpass|highpass|bandpass|bandstop|impulse ... (--help)\n"
    "  kestrum response FILTER --rate HZ [--csv FILE] [--svg FILE] (--help)\n"
    "\n"
    "Exit status: 0 done; 1 failed, with one line 'kestrum: message' on stderr\n"
    "and TARGET left as it was; 2 wrong command line.";

// Asks the run to stop; the run polls the request wherever it may take long
// and drops its unfinished target.
extern "C" void OnStopSignal(int Signal) { RequestStop(Signal); }

// Catches the signals that ask to stop, except those the caller ignores. No
// SA_RESTART: a wait in a system call (a FIFO's open, a pipe's read) ends
// with EINTR, and the run then sees the request.
void CatchStopSignals() {
  for (int Signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction Old {};
    if (sigaction(Signal, nullptr, &Old) == 0 && Old.sa_handler == SIG_IGN) continue;
    struct sigaction New {};
    New.sa_handler = OnStopSignal;
    sigemptyset(&New.sa_mask);
    sigaction(Signal, &New, nullptr);
  }
}

struct TOptions {
  std::string Source, Target, Filter;
  int32_t Start = 0, Count = 0, Threads = 0;
  TKernelKind Kernel = TKernelKind::Fast;
  bool Quiet = false;
  bool Clip = false;
};

// Decimal digits only, from 0 to kMaxFrame: no sign, no blanks, no octal or
// hexadecimal reading of a leading 0.
std::optional<int32_t> ParseNonNegative(const std::string& Text) {
  const auto IsDigit = [](char C) { return C >= '0' && C <= '9'; };
  if (Text.empty() || !std::all_of(Text.begin(), Text.end(), IsDigit)) return std::nullopt;
  int32_t Value = 0;
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  if (Error != std::errc{} || End != Text.data() + Text.size()) return std::nullopt;
  return Value;
}

// Adds an option taking a number from 0 to kMaxFrame into Value; Noun names
// what it counts in the message for a wrong value.
CLI::Option* AddNonNegative(CLI::App& App, const std::string& Name, int32_t& Value,
                            const std::string& Noun, const std::string& Help) {
  const auto Check = [Noun](std::string& Text) -> std::string {
    if (ParseNonNegative(Text)) return "";
    return "expected " + Noun + " from 0 to " + std::to_string(kMaxFrame) + ", found '" + Text +
           "'";
  };
  const auto Store = [&Value](const std::string& Text) { Value = *ParseNonNegative(Text); };
  return App.add_option_function<std::string>(Name, Store, Help)
      ->check(CLI::Validator(Check, ""))
      ->type_name("N");
}

// Whether Name is standard output itself: "-", or another name of the same
// file, such as /dev/stdout.
bool IsStandardOutput(const std::string& Name) {
  if (Name == "-") return true;
  struct stat Target {}, Out {};
  return stat(Name.c_str(), &Target) == 0 && fstat(STDOUT_FILENO, &Out) == 0 &&
         Target.st_dev == Out.st_dev && Target.st_ino == Out.st_ino;
}

// The run's events: log lines to stdout, progress and summary to stderr when
// it is a terminal.
class THost : public TObject {
public:
  THost(bool Quiet, bool ShowProgress, const std::string& Target)
      : FQuiet(Quiet),
        // A WAV streamed to standard output must be all that goes there.
        FLogTo(IsStandardOutput(Target) ? stderr : stdout) {
    if (ShowProgress) FBar.emplace(stderr);
  }

  void Log(TObject*, std::string Line) {
    if (FQuiet) return;
    std::fprintf(FLogTo, "%s\n", Line.c_str());
    std::fflush(FLogTo);  // before the bar, when both share a terminal
  }
  void Progress(TObject*, int32_t Position, int32_t Max) {
    if (FBar) FBar->Update(Position, Max);  // the (0, 0) that ends every run draws nothing
  }
  void SourceProperty(TObject*, std::string, ff_bits, ff_channels, uint32_t Frequency, int32_t) {
    FFrequency = Frequency;
  }

  void Succeeded(int32_t Frames) {
    if (FBar) FBar->Summary(Frames, FFrequency);
  }
  void Warning(TObject*, std::string Message) {
    if (FQuiet) return;
    if (FBar) FBar->Clear();
    std::replace(Message.begin(), Message.end(), '\n', ' ');
    std::fprintf(stderr, "kestrum: warning: %s\n", Message.c_str());
  }
  // Says how many samples went beyond the sample width, if any did.
  void Overflowed(const TOverflowCount& Count, bool Clip) {
    if (Count.Overflowed == 0) return;
    const double Peak = Count.PeakFullScale();
    char PeakText[32];  // huge peaks, which only clipping lets through, in exponent form
    if (Peak < 1e6)
      std::snprintf(PeakText, sizeof PeakText, "%.2f", Peak);
    else
      std::snprintf(PeakText, sizeof PeakText, "%.3g", Peak);
    Warning(nullptr, std::to_string(Count.Overflowed) + " of " + std::to_string(Count.Samples) +
                         " samples exceeded " +
                         (Count.Float ? "full scale (-1 to 1)" : "the " + std::to_string(Count.Bits) + "-bit range") +
                         " and " + (Clip ? "were clipped" : Count.Float ? "were kept as they are" : "wrapped around") +
                         " (peak " + PeakText + " x full scale)" + (Clip ? "" : "; --clip saturates them"));
  }
  void Failed(std::string Message) {
    if (FBar) FBar->Clear();
    // One line, whatever the file names hold.
    std::replace(Message.begin(), Message.end(), '\n', ' ');
    std::fprintf(stderr, "kestrum: %s\n", Message.c_str());
  }

private:
  bool FQuiet;
  std::FILE* FLogTo;
  std::optional<TProgressBar> FBar;
  uint32_t FFrequency = 0;
};

int Run(const TOptions& Options) {
  THost Host(Options.Quiet, isatty(STDERR_FILENO) == 1, Options.Target);
  TKestrum Kestrum(nullptr);
  Kestrum.SourceFile = Options.Source;
  Kestrum.CibleFile = Options.Target;
  Kestrum.FirFile = Options.Filter;
  Kestrum.SetStartPos(Options.Start);
  Kestrum.SetEndPos(Options.Start + Options.Count);  // main checked the sum
  Kestrum.Kernel = Options.Kernel;
  Kestrum.Threads = Options.Threads;
  Kestrum.Clip = Options.Clip;
  Kestrum.OnLog = TLog(&Host, &THost::Log);
  Kestrum.OnProgress = TProgress(&Host, &THost::Progress);
  Kestrum.OnSourceProperty = TSourceProperty(&Host, &THost::SourceProperty);
  Kestrum.OnWarning = TLog(&Host, &THost::Warning);
  try {
    Kestrum.Execute();
    Host.Succeeded(Kestrum.NbEch());
    Host.Overflowed(Kestrum.Overflow, Kestrum.Clip);
    return 0;
  } catch (const EKestrum& E) {
    Host.Failed(E.what());
  } catch (const std::exception& E) {
    Host.Failed(E.what());
  } catch (...) {
    Host.Failed("unexpected error");
  }
  return 1;
}

// With 0, 1 or 2 closed, the files of the run would take those numbers and
// receive the log or the error message; /dev/null takes them instead.
void ReserveStandardStreams() {
  for (int Fd = 0; Fd <= 2; ++Fd)
    if (fcntl(Fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != Fd) return;
}

}  // namespace
}  // namespace kestrum

int main(int argc, char** argv) {
  using namespace kestrum;
  ReserveStandardStreams();
  // A reader that goes away early turns writes into EPIPE errors, which are
  // ignored, instead of killing the run.
  std::signal(SIGPIPE, SIG_IGN);
  // Under a file-size limit, a write past it fails with EFBIG ("File too
  // large") instead of killing the run with its temporary file left behind.
  std::signal(SIGXFSZ, SIG_IGN);
  if (argc > 1 && std::string(argv[1]) == "design") return RunDesignCommand(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "response") return RunResponseCommand(argc - 1, argv + 1);

  TOptions Options;
  CLI::App App(kDescription, "kestrum");
  App.footer(kFilterHelp);
  App.get_formatter()->column_width(15);
  AddNonNegative(App, "--start", Options.Start, "a frame number",
                 "First source frame to filter (default 0)");
  AddNonNegative(App, "--count", Options.Count, "a frame count",
                 "Frames to filter (default 0). 0 means as many frames as the\n"
                 "whole source holds, counted from --start: with --start\n"
                 "above 0 the run reads past the end and gets silence there");
  App.add_flag("--quiet", Options.Quiet, "Print no log lines on stdout and no warnings");
  App.add_flag("--clip", Options.Clip,
               "Saturate samples beyond the sample width's range (8-bit:\n"
               "bytes 0 to 255, 16-bit: -32768 to 32767, 24-bit: -8388608\n"
               "to 8388607) instead of keeping their low bits, which wraps\n"
               "them around; clamp float samples to -1 to 1");
  App.add_option_function<std::string>(
         "--kernel",
         [&](const std::string& Name) {
           Options.Kernel = Name == "reference" ? TKernelKind::Reference : TKernelKind::Fast;
         },
         "reference or fast (default fast); both give the same output")
      ->check(CLI::IsMember({"reference", "fast"}).description(""))
      ->type_name("NAME");
  AddNonNegative(App, "--threads", Options.Threads, "a thread count",
                 "Threads of the fast kernel; 0, the default, is one per core");
  App.add_option("SOURCE", Options.Source, "WAV file to read")->required()->type_name("");
  App.add_option("TARGET", Options.Target, "WAV file to write")->required()->type_name("");
  App.add_option("FILTER", Options.Filter, ".fir filter file")->required()->type_name("");

  try {
    App.parse(argc, argv);
    if (int64_t{Options.Start} + Options.Count > kMaxFrame)
      throw CLI::ValidationError("--count",
                                 "--start + --count must not exceed " + std::to_string(kMaxFrame));
  } catch (const CLI::ParseError& E) {
    return App.exit(E) == 0 ? 0 : kUsageError;
  }
  CatchStopSignals();
  const int Status = Run(Options);
  // Stopped by a signal: end as that signal would have ended the process.
  if (const int Signal = StopSignal(); Signal != 0 && Status != 0) {
    std::signal(Signal, SIG_DFL);
    std::raise(Signal);
  }
  return Status;
}
