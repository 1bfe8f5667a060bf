// Tests of the kestrum command through its real binary: output, exit status, files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/TestUtil.h"
#include "kestrum/wav/ReadWavFile.h"

extern char** environ;

namespace kestrum {
namespace {

using test::Bytes;
using test::DataFile;
using TArgs = std::vector<std::string>;
using TActions = std::function<void(posix_spawn_file_actions_t*)>;

const std::string kExamples = KESTRUM_EXAMPLES;
const std::string kExample = kExamples + "/example.wav";  // 154350 frames, 16-bit stereo
const std::string kIdentity = kExamples + "/identity.fir";
const std::string kSmooth = kExamples + "/smooth3.fir";

// Starts the tool with Args and the given redirections.
pid_t Start(const TArgs& Args, const TActions& Redirect) {
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  Redirect(&Actions);
  std::vector<char*> Argv{const_cast<char*>(KESTRUM_CLI)};
  for (const auto& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  pid_t Pid;
  const int Error = posix_spawn(&Pid, KESTRUM_CLI, &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  if (Error != 0) throw std::runtime_error("test: cannot start " KESTRUM_CLI);
  return Pid;
}

// The wait status of the process.
int Wait(pid_t Pid) {
  int Status = 0;
  while (waitpid(Pid, &Status, 0) == -1 && errno == EINTR) {}
  return Status;
}

// Runs the tool to its end; returns its exit status, -1 if a signal ended it.
int Spawn(const TArgs& Args, const TActions& Redirect) {
  const int Status = Wait(Start(Args, Redirect));
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

struct TResult {
  int Status;
  std::string Out, Err;
};

std::string ReadText(const std::string& Name) {
  const Bytes B = test::ReadFileBytes(Name);
  return std::string(B.begin(), B.end());
}

// Runs the tool with stdout and stderr captured in files (so not a terminal).
TResult RunKestrum(const TArgs& Args) {
  const test::TScratchDir Capture;
  const std::string Out = Capture / "stdout", Err = Capture / "stderr";
  const int Status = Spawn(Args, [&](posix_spawn_file_actions_t* A) {
    posix_spawn_file_actions_addopen(A, 1, Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(A, 2, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  });
  return {Status, ReadText(Out), ReadText(Err)};
}

Bytes SampleBytes(const std::string& WavName) {
  return test::WavSamples(test::ReadFileBytes(WavName));
}

TEST(KestrumCli, LogsTheSourceAndFourLinesOnStderr) {
  const test::TScratchDir Dir;
  const TResult R = RunKestrum({kExample, Dir / "out.wav", kSmooth});
  EXPECT_EQ(R.Status, 0);
  EXPECT_EQ(R.Out, "");
  // stderr is not a terminal: no progress bar, no summary.
  EXPECT_EQ(R.Err, "Source: " + kExample +
                       ": 2 channels, 44100 Hz, 16-bit, 0:03.500 (154350 frames)\n"
                       "Filter file name: " + kSmooth +
                       "\nFilter comment: Smoothing, three taps\nTaps: 3\nNbEch: 154350\n");

  TReadWavFile Source, Target;
  Source.FileName = kExample;
  Target.FileName = Dir / "out.wav";
  Source.SetActive(true);
  Target.SetActive(true);
  EXPECT_EQ(Target.Stereo, Source.Stereo);
  EXPECT_EQ(Target.Bits16, Source.Bits16);
  EXPECT_EQ(Target.Frequency, Source.Frequency);
  EXPECT_EQ(Target.NSamples, Source.NSamples);
}

TEST(KestrumCli, QuietPrintsNothing) {
  for (const std::string Flag : {"--quiet", "-q"}) {
    SCOPED_TRACE(Flag);
    const test::TScratchDir Dir;
    const TResult R = RunKestrum({Flag, DataFile("sox_u8_mono.wav"), Dir / "out.wav", kSmooth});
    EXPECT_EQ(R.Status, 0);
    EXPECT_EQ(R.Out, "");
    EXPECT_EQ(R.Err, "");
    EXPECT_EQ(SampleBytes(Dir / "out.wav").size(), 800u);
  }
}

TEST(KestrumCli, VersionPrintsAndExitsWhateverFollows) {
  const test::TScratchDir Dir;
  for (const TArgs& Args : {TArgs{"--version"}, TArgs{"-V", kExample, Dir / "out.wav", kSmooth}}) {
    SCOPED_TRACE(Args.front());
    const TResult R = RunKestrum(Args);
    EXPECT_EQ(R.Status, 0);
    EXPECT_EQ(R.Out, "kestrum 0.90\n");
    EXPECT_EQ(R.Err, "");
    EXPECT_TRUE(Dir.Files().empty());
  }
}

TEST(KestrumCli, WarnsOnStderrUnlessQuiet) {
  const test::TScratchDir Dir;
  // 100 Hz at -0.1 dBFS through a gain of 2: most samples go beyond 16 bits.
  std::vector<int16_t> Sine(4410);
  for (size_t N = 0; N < Sine.size(); ++N)
    Sine[N] = static_cast<int16_t>(std::lrint(32393 * std::sin(2 * M_PI * 100 * static_cast<double>(N) / 44100)));
  test::WriteFileBytes(Dir / "sine.wav", test::MakeWav(1, 16, 44100, test::Words(Sine)));
  test::WriteFileText(Dir / "double.fir", "Double\n1\n0 2.0\n");
  test::WriteFileText(Dir / "nocount.fir", "nocount\n0 0.5\n1 0.5\n");
  test::WriteFileText(Dir / "extra.fir", "extra\n1\n0 0.5\n1 0.5\n2 0.5\n");
  Bytes Short = test::MakeWav(1, 16, 44100, Bytes(200, 0));
  Short.resize(Short.size() - 100);
  test::WriteFileBytes(Dir / "short.wav", Short);
  const auto Beyond = std::count_if(Sine.begin(), Sine.end(), [](int16_t S) { return S > 16383 || S < -16384; });
  const std::string Exceeded = "kestrum: warning: " + std::to_string(Beyond) + " of 4410 samples exceeded the 16-bit range and ";
  const struct {
    TArgs Args;
    std::string Err;
  } Cases[] = {
      {{Dir / "sine.wav", Dir / "out.wav", Dir / "double.fir"},
       Exceeded + "were clipped (peak 1.98 x full scale)\n"},
      {{"--wrap", Dir / "sine.wav", Dir / "out.wav", Dir / "double.fir"},
       Exceeded + "wrapped around (peak 1.98 x full scale), as --wrap asks\n"},
      {{Dir / "sine.wav", Dir / "out.wav", Dir / "nocount.fir"},
       "kestrum: warning: " + Dir / "nocount.fir" + ", line 2: the tap count is 0: the filter has no taps and the "
       "output is silent\nkestrum: warning: " + Dir / "nocount.fir" + ", line 2: the tap count line '0 0.5' "
       "holds more than one number; is the tap count line missing?\n"},
      {{"--start", "0:59.999", Dir / "sine.wav", Dir / "out.wav", kSmooth},
       "kestrum: warning: --start 0:59.999 is past the source's end (0:00.100): the output is silence\n"},
      {{Dir / "short.wav", Dir / "out.wav", Dir / "extra.fir"},
       "kestrum: warning: " + Dir / "short.wav" + ": the 'data' chunk declares 100 frames but the file holds only "
       "50: it was cut short, and the run reads what is there\nkestrum: warning: " + Dir / "extra.fir" +
       ", line 4: 2 lines after the 1 tap that the count declares look like taps and are ignored; is the tap "
       "count right?\n"},
      {{"--quiet", Dir / "sine.wav", Dir / "out.wav", Dir / "double.fir"}, ""},
      {{"--quiet", Dir / "sine.wav", Dir / "out.wav", Dir / "nocount.fir"}, ""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Args[0]);
    const TResult R = RunKestrum(C.Args);
    EXPECT_EQ(R.Status, 0);
    // The warnings among the log lines; nothing at all when quiet.
    std::string Warnings;
    std::istringstream Lines(R.Err);
    for (std::string Line; std::getline(Lines, Line);)
      if (Line.starts_with("kestrum: warning: ")) Warnings += Line + "\n";
    EXPECT_EQ(C.Args[0] == "--quiet" ? R.Err : Warnings, C.Err);
  }

  // Clipped by default and with --clip, the sine keeps its sign everywhere;
  // with --wrap it keeps the low bits, the component's own arithmetic.
  const auto Doubled = [&](bool Clip) {
    std::vector<int16_t> Out(Sine.size());
    std::transform(Sine.begin(), Sine.end(), Out.begin(), [Clip](int16_t S) {
      return static_cast<int16_t>(Clip ? std::clamp(2 * S, -32768, 32767) : 2 * S);
    });
    return test::Words(Out);
  };
  for (const auto& [Flag, Clip] : {std::pair{"--clip", true}, {"-q", true}, {"--wrap", false}}) {
    SCOPED_TRACE(Flag);
    ASSERT_EQ(RunKestrum({Flag, Dir / "sine.wav", Dir / "out.wav", Dir / "double.fir"}).Status, 0);
    EXPECT_EQ(SampleBytes(Dir / "out.wav"), Doubled(Clip));
  }
}

TEST(KestrumCli, IdentityFilterCopiesTheSamplesOfEveryFormat) {
  for (const std::string Fixture : {"sox_u8_mono", "ffmpeg_u8_stereo", "ffmpeg_s16_mono",
                                    "sox_s16_stereo_list", "extensible_s16_stereo"}) {
    SCOPED_TRACE(Fixture);
    const test::TScratchDir Dir;
    ASSERT_EQ(RunKestrum({DataFile(Fixture + ".wav"), Dir / "out.wav", kIdentity}).Status, 0);
    EXPECT_EQ(SampleBytes(Dir / "out.wav"), test::ReadFileBytes(DataFile(Fixture + ".raw")));
  }
}

// -b and -e: the target's samples are the source's levels at the target's
// full scale; the rest of the format, the channel count and mask included,
// stays the source's; the source line says how many channels.
TEST(KestrumCli, WritesTheSampleFormatAskedForKeepingTheChannels) {
  const Bytes Raw16 = test::ReadFileBytes(DataFile("sox_s16_stereo_list.raw"));
  std::vector<int> Levels;
  for (size_t I = 0; I + 1 < Raw16.size(); I += 2) Levels.push_back(static_cast<int16_t>(ReadU16LE(&Raw16[I])));
  const auto Samples = [&](auto Sample) {
    Bytes B;
    for (int L : Levels) {
      const Bytes S = Sample(L);
      B.insert(B.end(), S.begin(), S.end());
    }
    return B;
  };
  struct TCase {
    TArgs Options;
    std::string Fixture;
    TAudioFormat Format;
    Bytes Expected;  // empty: not checked
  };
  using S = TSampleFormat;
  const TCase Cases[] = {
      {{"-b", "24"}, "sox_s16_stereo_list", {S::Pcm24, 2, 44100},
       Samples([](int L) { return test::Int24s({L * 256}); })},
      {{"-e", "float"}, "sox_s16_stereo_list", {S::Float32, 2, 44100},
       Samples([](int L) { return test::Floats({L / 32768.0f}); })},
      {{"--bits", "8"}, "sox_s16_stereo_list", {S::Pcm8, 2, 44100},
       Samples([](int L) { return Bytes{static_cast<uint8_t>(std::min(std::nearbyint(L / 256.0), 127.0) + 128)}; })},
      {{"-b", "32"}, "sox_f32_stereo", {S::Float32, 2, 22050}, test::ReadFileBytes(DataFile("sox_f32_stereo.raw"))},
      {{"--encoding", "signed"}, "sox_f32_stereo", {S::Pcm32, 2, 22050}, {}},
      {{"-b", "64"}, "extensible_s16_stereo", {S::Float64, 2, 96000, 0x3}, {}},
      {{}, "mono_3ch_s16", {S::Pcm16, 3, 8000}, SampleBytes(DataFile("mono_3ch_s16.wav"))},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Fixture + " " + (C.Options.empty() ? "" : C.Options[0] + " " + C.Options[1]));
    const test::TScratchDir Dir;
    TArgs Args = C.Options;
    Args.insert(Args.end(), {DataFile(C.Fixture + ".wav"), Dir / "out.wav", kIdentity});
    const TResult R = RunKestrum(Args);
    ASSERT_EQ(R.Status, 0) << R.Err;
    EXPECT_NE(R.Err.find(": " + std::to_string(C.Format.Channels) + " channels, "), std::string::npos) << R.Err;
    TReadWavFile Target;
    Target.FileName = Dir / "out.wav";
    Target.SetActive(true);
    EXPECT_EQ(Target.Format(), C.Format);
    if (!C.Expected.empty()) {
      EXPECT_TRUE(SampleBytes(Dir / "out.wav") == C.Expected);
    }
  }
}

TEST(KestrumCli, StartAndCountSelectTheFrames) {
  // sox_u8_mono.wav: 800 one-byte frames at 8000 Hz; past its end the reader
  // gives 0x80.
  struct TCase {
    const char* Name;
    std::string Start, Count;
    size_t StartFrame;
    int Frames;
  };
  const TCase Cases[] = {
      {"a slice inside the source", "100", "250", 100, 250},
      {"a slice running past the end", "790", "20", 790, 20},
      {"count 0 takes the source's length from start", "700", "0", 700, 800},
      {"a leading zero is still decimal", "010", "5", 10, 5},
      {"seconds and milliseconds", "0.0125s", "25ms", 100, 200},
      {"m:ss and h:mm:ss", "0:00.05", "0:00:00.01", 400, 80},
      {"a time beside frames, past the end", "100", "1s", 100, 8000},
      {"half a frame rounds up, less rounds down", "0.0625ms", "0.1874ms", 1, 1},
      {"less than half rounds down, half up", "0.06ms", "0.1875ms", 0, 2},
  };
  const Bytes Raw = test::ReadFileBytes(DataFile("sox_u8_mono.raw"));
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const test::TScratchDir Dir;
    const TResult R = RunKestrum({"--start", C.Start, "--count", C.Count,
                                  DataFile("sox_u8_mono.wav"), Dir / "out.wav", kIdentity});
    ASSERT_EQ(R.Status, 0) << R.Err;
    EXPECT_NE(R.Err.find("\nNbEch: " + std::to_string(C.Frames) + "\n"), std::string::npos)
        << R.Err;
    Bytes Expected;
    for (size_t I = C.StartFrame; Expected.size() < size_t(C.Frames); ++I)
      Expected.push_back(I < Raw.size() ? Raw[I] : 0x80);
    EXPECT_EQ(SampleBytes(Dir / "out.wav"), Expected);
  }
}

TEST(KestrumCli, ErrorsPrintOneLineAndLeaveTheTargetAlone) {
  const test::TScratchDir Dir;
  const std::string Target = Dir / "target.wav";
  const Bytes Earlier = test::MakeWav(1, 8, 8000, {'e', 'a', 'r', 'l', 'y'});
  test::WriteFileBytes(Target, Earlier);
  test::WriteFileText(Dir / "bad.fir", "Two taps\n2\n0 1.0\n1 abc\n");
  test::WriteFileBytes(Dir / "empty.wav", test::MakeWav(1, 16, 8000, {}));
  const std::string Good = DataFile("sox_u8_mono.wav");
  const test::TScratchDir Inputs;
  test::WriteFileBytes(Inputs / "0hz.wav", test::MakeWav(1, 16, 0, Bytes(20, 1)));
  test::WriteFileBytes(Inputs / "nan.wav", test::MakeWav(1, 32, 8000, test::Floats({0, NAN, 0})));
  test::WriteFileBytes(Inputs / "nanlast.wav", test::MakeWav(1, 32, 8000, test::Floats({0, 1, NAN})));
  test::WriteFileText(Inputs / "delay.fir", "Previous\n1\n1 1.0\n");
  test::WriteFileBytes(Inputs / "big.wav", test::MakeWav(1, 32, 8000, test::Floats({0, 1e38f})));
  Bytes Extensible = test::MakeWav(1, 16, 8000, Bytes(20, 1));  // tag 0xFFFE, its extension cut off
  Extensible[20] = 0xFE, Extensible[21] = 0xFF;

  struct TCase {
    const char* Name;
    TArgs Args;
    std::string Mentions;
  };
  test::WriteFileBytes(Inputs / "ext.wav", Extensible);
  const TCase Cases[] = {
      {"a rate of 0 Hz", {Inputs / "0hz.wav", Target, kSmooth}, "0hz.wav: the sample rate is 0 Hz"},
      {"a sample that is not a finite number", {Inputs / "nan.wav", Target, kSmooth},
       "nan.wav: frame 1 holds a sample that is not a finite number"},
      {"a sample that is not a finite number in the FFT engine's block", {"--fft", Inputs / "nanlast.wav", Target, Inputs / "delay.fir"},
       "nanlast.wav: frame 2 holds a sample that is not a finite number"},
      {"an extensible header without its extension", {Inputs / "ext.wav", Target, kSmooth},
       "the extensible 'fmt ' chunk is 16 bytes, expected 40: its header is truncated"},
      {"missing source", {Dir / "missing.wav", Target, kSmooth}, "missing.wav"},
      {"source not PCM", {DataFile("alaw_mono.wav"), Target, kSmooth}, "alaw_mono.wav"},
      {"missing filter", {Good, Target, Dir / "missing.fir"}, "missing.fir"},
      {"bad filter line", {Good, Target, Dir / "bad.fir"}, "bad.fir, line 4"},
      {"target in a missing folder", {Good, Dir / "none/out.wav", kSmooth}, "none/out.wav"},
      {"no frame to write",
       {Dir / "empty.wav", Target, kSmooth},
       "Le fichier Wav n'a pas été ecrit"},
      {"empty source name", {"", Target, kSmooth}, "no source file name given"},
      {"empty target name", {Good, "", kSmooth}, "no target file name given"},
      {"empty filter name", {Good, Target, ""}, "no filter file name given"},
      {"a WAV filter with a sample that is not a finite number", {Good, Target, Inputs / "nan.wav"},
       "nan.wav: frame 1 holds a sample that is not a finite number (nan)"},
      {"a WAV filter without samples", {Good, Target, Dir / "empty.wav"}, "empty.wav: the impulse response holds no samples"},
      {"an endless filter", {Good, Target, "/dev/zero"}, "line longer than 4096 bytes"},
      {"a gain that takes a tap beyond float", {"--filter-gain", "20", Good, Target, Inputs / "big.wav"},
       "big.wav: a gain of 20 dB takes tap 1 beyond single precision's range"},
      {"the FFT engine for a .fir with another target format", {"--fft", "-b", "24", Good, Target, kSmooth},
       "filter the .fir without --fft"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TArgs Args = C.Args;
    Args.insert(Args.begin(), "-q");  // errors still print
    const TResult R = RunKestrum(Args);
    EXPECT_EQ(R.Status, 1);
    EXPECT_EQ(R.Err.rfind("kestrum: ", 0), 0u) << R.Err;
    EXPECT_EQ(std::count(R.Err.begin(), R.Err.end(), '\n'), 1) << R.Err;
    EXPECT_EQ(R.Err.back(), '\n');
    EXPECT_NE(R.Err.find(C.Mentions), std::string::npos) << R.Err;
    EXPECT_EQ(test::ReadFileBytes(Target), Earlier);
    EXPECT_EQ(Dir.Files(), (std::vector<std::string>{"bad.fir", "empty.wav", "target.wav"}));
  }
}

TEST(KestrumCli, UsageErrorsExitWithTwoBeforeOpeningAnything) {
  const test::TScratchDir Dir, Pipes;
  ASSERT_EQ(mkfifo((Pipes / "fifo").c_str(), 0600), 0);
  // Files that a slip in the order or a wrong name would have replaced.
  const std::string Filter = ReadText(kSmooth);
  test::WriteFileText(Pipes / "mylp.fir", Filter);
  test::WriteFileText(Pipes / "even.fir", "Two taps\n2\n0 0.5\n1 0.5\n");
  test::WriteFileText(Pipes / "notes.txt", "notes\n");
  test::WriteFileText(Pipes / "song.bin", "fLaC\0\0\0\x22");
  const std::string Source = DataFile("sox_u8_mono.wav"), Target = Dir / "out.wav";
  std::filesystem::copy_file(Source, Pipes / "in.wav");
  struct TCase {
    const char* Name;
    TArgs Args;
    std::string Mentions;
  };
  const TCase Cases[] = {
      {"missing argument", {Source, Target}, "FILTER is required"},
      {"no file", {}, "SOURCE is required"},
      {"a fourth file", {Source, Target, kSmooth, kSmooth}, "--output-dir"},
      {"negative count", {"--count", "-1", Source, Target, kSmooth}, "--count"},
      {"a .fir engine for a WAV FILTER", {"--kernel", "fast", Source, Target, Source},
       "'" + Source + "' is a WAV filter, which runs on the fft or exact engine, not on fast"},
      {"--kernel and --fft", {"--kernel", "reference", "--fft", Source, Target, kSmooth},
       "--kernel reference and --fft name two engines: give one"},
      {"--fft and --exact", {"--fft", "--exact", Source, Target, kSmooth}, "--fft and --exact name two engines"},
      {"a gain that is not a number", {"--filter-gain", "nan", Source, Target, Source},
       "--filter-gain: expected a gain in dB from -770 to 770, found 'nan'"},
      {"a gain beyond float's range", {"--filter-gain", "1e308", Source, Target, Source}, "found '1e308'"},
      {"start not a number", {"--start", "abc", Source, Target, kSmooth}, "--start"},
      {"start beyond 32 bits", {"--start", "2147483648", Source, Target, kSmooth}, "--start"},
      {"start + count beyond 32 bits",
       {"--start", "2147483647", "--count", "1", Source, Target, kSmooth}, "--count"},
      {"times beyond 32 bits at the source's rate",
       {"--start", "74:35:00", "--count", "1s", Source, Target, kSmooth}, "at 8000 Hz"},
      {"a decimal without a unit", {"--start", "1.5", Source, Target, kSmooth}, "'1.5'"},
      {"an unknown unit", {"--count", "2h", Source, Target, kSmooth}, "'2h'"},
      {"a negative time", {"--start", "-1s", Source, Target, kSmooth}, "--start"},
      {"seconds from 60", {"--start", "1:60", Source, Target, kSmooth}, "'1:60'"},
      {"one digit after a colon", {"--start", "1:5", Source, Target, kSmooth}, "'1:5'"},
      {"four clock fields", {"--start", "1:00:00:00", Source, Target, kSmooth}, "'1:00:00:00'"},
      {"below a nanosecond", {"--count", "0.0000000001s", Source, Target, kSmooth}, "--count"},
      {"a count that rounds to no frame",
       {"--count", "0.01ms", Source, Target, kSmooth}, "the shortest time at that rate is 0.0625ms"},
      {"unknown kernel", {"--kernel", "slow", Source, Target, kSmooth}, "--kernel"},
      {"negative threads", {"--threads", "-1", Source, Target, kSmooth}, "--threads"},
      {"an unknown option", {"--bogus", Source, Target, kSmooth}, "--bogus"},
      {"a batch without sources", {"-o", Dir / "out", kSmooth}, "--output-dir"},
      {"two sources of one name",
       {"-o", Dir / "out", Source, Source, kSmooth},
       "would both be written"},
      {"a batch over its own sources",
       {"-o", test::DataFile(""), Source, kSmooth}, "is the source itself"},
      {"a filter file as TARGET", {Source, Pipes / "mylp.fir", kSmooth},
       "named like a filter file, and a run writes WAV there: the order is SOURCE TARGET FILTER"},
      {"TARGET and FILTER swapped", {Source, kSmooth, Dir / "out.wav"},
       "does not exist and TARGET '" + kSmooth + "' looks like a filter: the order is SOURCE TARGET FILTER"},
      {"another audio format's name", {Source, Dir / "out.mp3", kSmooth}, "pipe it through ffmpeg or sox"},
      {"an existing text file", {Source, Pipes / "notes.txt", kSmooth}, "exists and is a text file"},
      {"an existing FLAC file", {Source, Pipes / "song.bin", kSmooth}, "exists and is a FLAC file"},
      {"the source as TARGET", {"--force", Pipes / "in.wav", Pipes / "./in.wav", kSmooth}, "is the source itself"},
      {"the filter as TARGET", {"--force", Source, Pipes / "mylp.fir", Pipes / "mylp.fir"}, "is the filter itself"},
      {"a mistyped form", {"respons"}, "unknown command 'respons'; did you mean 'response'?"},
      {"a mistyped option", {"--clp", Source, Target, kSmooth}, "unknown option '--clp'; did you mean '--clip'?"},
      {"a mistyped kernel", {"--kernel", "fats", Source, Target, kSmooth}, "did you mean 'fast'?"},
      {"clip and wrap", {"--clip", "--wrap", Source, Target, kSmooth}, "--wrap"},
      {"a width WAV does not have", {"-b", "12", Source, Target, kSmooth}, "--bits"},
      {"a negative dither seed", {"--dither-seed", "-1", Source, Target, kSmooth},
       "--dither-seed: expected a seed from 0 to 18446744073709551615, found '-1'"},
      {"a width and encoding WAV does not pair", {"-b", "24", "-e", "floating-point", Source, Target, kSmooth},
       "WAV has no 24-bit floating-point samples"},
      {"a malformed design", {Source, Target, "bandpass:300"}, "expected two edges such as 300-3400"},
      {"an unknown design option", {Source, Target, "lowpass:1000:loud"}, "'loud' is not an attenuation"},
      {"a design beyond the source's half rate", {Source, Target, "lowpass:5000"},
       "'lowpass:5000' at 8000 Hz: the cutoff 5000 Hz is not below half the rate"},
      {"--align for an even-length symmetric filter", {"--align", Source, Target, Pipes / "even.fir"},
       "delays by 0.5 frames, not a whole frame, as a linear-phase filter of an even length does"},
      {"--align for a filter that is not linear-phase", {"--align", Source, Target, kExamples + "/echo.fir"},
       "is not linear-phase"},
      {"a WAV filter's scaling with a design", {Source, Target, "lowpass:1000", "--normalize", "peak"},
       "--normalize applies to a WAV FILTER, an impulse response; 'lowpass:1000' is a designed filter"},
  };
  const std::string Hint = "\nRun 'kestrum --help' for more.\n";
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TResult R = RunKestrum(C.Args);
    EXPECT_EQ(R.Status, 2);
    EXPECT_EQ(R.Out, "");
    EXPECT_EQ(R.Err.rfind("kestrum: ", 0), 0u) << R.Err;
    EXPECT_TRUE(R.Err.ends_with(Hint)) << R.Err;
    EXPECT_EQ(std::count(R.Err.begin(), R.Err.end(), '\n'), 2) << R.Err;
    EXPECT_NE(R.Err.find(C.Mentions), std::string::npos) << R.Err;
    EXPECT_TRUE(Dir.Files().empty());
  }
  EXPECT_EQ(ReadText(Pipes / "mylp.fir"), Filter);
  EXPECT_EQ(ReadText(Pipes / "notes.txt"), "notes\n");
  EXPECT_EQ(test::ReadFileBytes(Pipes / "in.wav"), test::ReadFileBytes(Source));

  // --force lets each through.
  for (const std::string Target : {"mylp.fir", "notes.txt", "song.bin", "out.mp3"}) {
    EXPECT_EQ(RunKestrum({"-q", "--force", Source, Pipes / Target, kSmooth}).Status, 0) << Target;
    EXPECT_EQ(SampleBytes(Pipes / Target).size(), 800u);
  }
}

// Aligned output: the filter's delay removed and the source's length kept,
// the delayed tail flushed past the source's end, a stream's too.
TEST(KestrumCli, AlignsTheOutputByTheFiltersDelay) {
  const test::TScratchDir Dir;
  const std::string Source = DataFile("ffmpeg_s16_mono.wav"), Design = "lowpass:3000:101taps";
  const Bytes In = SampleBytes(Source);
  const size_t Frames = In.size() / 2;
  test::WriteFileText(Dir / "late.fir", "Seven frames late\n1\n7 1\n");
  // The run D frames longer, without alignment, from its frame D on.
  const auto Shifted = [&](const std::string& Filter, size_t D, const std::string& Engine) {
    EXPECT_EQ(RunKestrum({"-q", Engine, "--count", std::to_string(Frames + D), Source, Dir / "long.wav", Filter}).Status, 0);
    const Bytes Long = SampleBytes(Dir / "long.wav");
    return Bytes(Long.begin() + std::ptrdiff_t(2 * D), Long.end());
  };
  const struct {
    const char* Name;
    std::string Filter, Align, Engine;
    bool Pipe;
    Bytes Want;
  } Cases[] = {
      {"one tap 7 frames late", Dir / "late.fir", "--align", "--kernel=auto", false, In},
      {"one tap 7 frames late, from a pipe", Dir / "late.fir", "--align", "--kernel=auto", true, In},
      {"7 frames given, on the FFT engine", Dir / "late.fir", "--align=7", "--fft", true, In},
      {"a symmetric design", Design, "--align", "--kernel=auto", false, Shifted(Design, 50, "--kernel=auto")},
      {"a symmetric design, from a pipe", Design, "--align", "--kernel=auto", true, Shifted(Design, 50, "--kernel=auto")},
      {"frames given, on the reference kernel", Design, "--align=20", "--kernel=reference", false,
       Shifted(Design, 20, "--kernel=reference")},
  };
  int Fifos = 0;
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::optional<test::TFifoFeeder> Feeder;
    std::string From = Source;
    if (C.Pipe) Feeder.emplace(From = Dir / ("fifo" + std::to_string(++Fifos)), test::ReadFileBytes(Source));
    const TResult R = RunKestrum({"-q", C.Align, C.Engine, From, Dir / "out.wav", C.Filter});
    ASSERT_EQ(R.Status, 0) << R.Err;
    const Bytes Out = SampleBytes(Dir / "out.wav");
    EXPECT_EQ(Out.size(), In.size());
    EXPECT_TRUE(Out == C.Want);
  }
}

TEST(KestrumCli, DesignsANamedFilterAtEachSourcesRate) {
  // Three rates; each output must be what the same design written at that
  // rate by 'kestrum design' gives.
  const std::vector<std::pair<std::string, std::string>> Sources = {
      {"sox_u8_mono.wav", "8000"}, {"ffmpeg_u8_stereo.wav", "11025"}, {"ffmpeg_s16_mono.wav", "22050"}};
  const std::string Design = "lowpass:1k:50dB:400Hz";
  const test::TScratchDir Dir;
  TArgs Batch{"--threads", "2", "-o", Dir / "out"};
  std::string Log;
  for (const auto& [Name, Rate] : Sources) {
    const std::string Fir = Dir / (Rate + ".fir");
    const TResult Made = RunKestrum({"design", "lowpass", "1000", "--rate", Rate, "--attenuation", "50",
                                     "--transition", "400", "-o", Fir});
    ASSERT_EQ(Made.Status, 0) << Made.Err;
    ASSERT_EQ(RunKestrum({"-q", DataFile(Name), Dir / Name, Fir}).Status, 0);
    Batch.push_back(DataFile(Name));
    Log += "Filter: " + Design + ", designed at " + Rate + " Hz: " + Made.Err;
  }
  Batch.push_back(Design);
  const TResult R = RunKestrum(Batch);
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Err.substr(0, Log.size()), Log);
  for (const auto& Source : Sources)
    EXPECT_EQ(test::ReadFileBytes(Dir / ("out/" + Source.first)), test::ReadFileBytes(Dir / Source.first))
        << Source.first;

  // A stream's design is made once its header gives its rate.
  const test::TFifoFeeder Stream(Dir / "fifo", test::ReadFileBytes(DataFile("sox_u8_mono.wav")));
  ASSERT_EQ(RunKestrum({"-q", Dir / "fifo", Dir / "streamed.wav", Design}).Status, 0);
  EXPECT_EQ(SampleBytes(Dir / "streamed.wav"), SampleBytes(Dir / "sox_u8_mono.wav"));

  // A single run logs the design and its comment in place of the file's.
  const TResult Single = RunKestrum({DataFile("sox_u8_mono.wav"), Dir / "single.wav", Design});
  EXPECT_NE(Single.Err.find("\nFilter: " + Design + ", designed at 8000 Hz\nFilter comment: Lowpass, windowed "
                            "sinc, "), std::string::npos) << Single.Err;

  // A filter file made for another rate warns with the factor; at its own rate it does not.
  const std::string Warning = "kestrum: warning: " + Dir / "8000.fir" +
                              " was made for 8000 Hz and the source is 22050 Hz: its frequencies move "
                              "by a factor of 2.756";
  EXPECT_NE(RunKestrum({DataFile("ffmpeg_s16_mono.wav"), Dir / "x.wav", Dir / "8000.fir"}).Err.find(Warning),
            std::string::npos);
  EXPECT_EQ(RunKestrum({DataFile("sox_u8_mono.wav"), Dir / "x.wav", Dir / "8000.fir"}).Err.find("made for"),
            std::string::npos);
}

TEST(KestrumCli, RunsADesignPastAFirsTapsAsALongFilter) {
  // highpass:80 at 48 kHz needs some 2500 taps: a constant source comes out
  // silent, 60 dB down, once the filter is full.
  const test::TScratchDir Dir;
  test::WriteFileBytes(Dir / "in.wav", test::MakeWav(1, 16, 48000, test::Bytes(2 * 12000, 0x40)));
  const TResult R = RunKestrum({Dir / "in.wav", Dir / "out.wav", "highpass:80"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Err.find("\nFilter comment: Highpass, windowed sinc, "), std::string::npos) << R.Err;
  EXPECT_EQ(R.Err.find("warning"), std::string::npos) << R.Err;
  const test::Bytes Out = SampleBytes(Dir / "out.wav");
  ASSERT_EQ(Out.size(), 2u * 12000);
  for (size_t I = 2 * 3000; I < Out.size(); I += 2)
    ASSERT_LE(std::abs(int16_t(Out[I] | Out[I + 1] << 8)), 0x4040 / 1000) << "frame " << I / 2;
}

TEST(KestrumCli, BatchWritesWhatSingleRunsWriteAndReportsFailures) {
  // 0.2 s of each: 1600 + 4410 + 8820 + 2205 frames.
  const std::vector<std::string> Good = {"ffmpeg_s16_mono.wav", "ffmpeg_u8_stereo.wav",
                                         "sox_s16_stereo_list.wav", "sox_u8_mono.wav"};
  const std::string Written = "files written to '[^']*/out': 17035 frames in [^\n]*\n";
  struct TCase {
    const char* Name;
    std::vector<std::string> Sources;
    int Status;
    std::string Err;  // a pattern
    bool Listed = false;  // the sources named in a --files-from list, CRLF and a blank line
  };
  const TCase Cases[] = {
      {"every file written", Good, 0, "^4 of 4 " + Written + "$"},
      {"every listed file written", Good, 0, "^4 of 4 " + Written + "$", true},
      {"one failure stops no other",
       {Good[0], Good[1], "not_a_wav.wav", Good[2], Good[3]},
       1,
       "^kestrum: [^\n]*not_a_wav.wav[^\n]*\n4 of 5 " + Written +
           "kestrum: 1 of 5 files failed\n$"},
  };
  const test::TScratchDir Singles;
  for (const std::string& Name : Good)
    ASSERT_EQ(RunKestrum({"--count", "0.2s", DataFile(Name), Singles / Name, kSmooth}).Status, 0);
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const test::TScratchDir Dir;
    TArgs Args{"--threads", "2", "--count", "0.2s", "-o", Dir / "out"};
    if (C.Listed) {
      std::string List;
      for (const std::string& Name : C.Sources) List += DataFile(Name) + "\r\n\n";
      test::WriteFileText(Dir / "list.txt", List);
      Args.insert(Args.end(), {"--files-from", Dir / "list.txt"});
    } else {
      for (const std::string& Name : C.Sources) Args.push_back(DataFile(Name));
    }
    Args.push_back(kSmooth);
    const TResult R = RunKestrum(Args);
    EXPECT_EQ(R.Status, C.Status);
    EXPECT_EQ(R.Out, "");
    EXPECT_TRUE(std::regex_search(R.Err, std::regex(C.Err))) << R.Err;
    EXPECT_EQ(Dir.Files("out"), Good);
    for (const std::string& Name : Good)
      EXPECT_TRUE(test::ReadFileBytes(Dir / ("out/" + Name)) == test::ReadFileBytes(Singles / Name))
          << Name;
  }
}

TEST(KestrumCli, DesignAndResponseRefuseWhatTheyCannotDo) {
  const test::TScratchDir Dir, Inputs;
  const std::string Out = Dir / "out.fir", NaN = Inputs / "nan.wav";
  test::WriteFileBytes(NaN, test::MakeWav(1, 32, 8000, test::Floats({0.5f, INFINITY})));
  struct TCase {
    const char* Name;
    TArgs Args;
    int Status;
    std::string Mentions;
  };
  const TArgs Lowpass{"design", "lowpass", "1000", "--rate", "44100", "-o", Out};
  const auto With = [&](const TArgs& Base, const TArgs& More) {
    TArgs Args = Base;
    Args.insert(Args.end(), More.begin(), More.end());
    return Args;
  };
  const TCase Cases[] = {
      {"no filter kind", {"design"}, 2, "name one of lowpass, highpass, bandpass, bandstop or impulse"},
      {"a mistyped filter kind", {"design", "lowpas", "1000"}, 2, "did you mean 'lowpass'?"},
      {"a default design beyond a .fir",
       {"design", "highpass", "80", "--rate", "48000", "-o", Out}, 1, "taps, and a .fir holds at most 1000 (-o FILE.wav"},
      {"taps and attenuation", With(Lowpass, {"--taps", "11", "--attenuation", "60"}), 2, "not both"},
      {"a window without taps",
       With(Lowpass, {"--attenuation", "60", "--transition", "500", "--window", "hann"}), 2,
       "--window goes with --taps"},
      {"a mistyped window", With(Lowpass, {"--taps", "11", "--window", "hannn"}), 2, "did you mean 'hann'?"},
      {"a rate given twice", With(Lowpass, {"--taps", "11", "--rate", "48000"}), 2,
       "--rate is given 2 times; give it once"},
      {"a rate not in Hz", {"response", kSmooth, "--rate", "44.1 kHz"}, 2, "give the rate in Hz, e.g. 44100"},
      {"too few points", {"response", kSmooth, "--rate", "8000", "--points", "1"}, 2,
       "expected a point count from 2 to 1000000, found '1'"},
      {"Kaiser without beta", With(Lowpass, {"--taps", "11", "--window", "kaiser"}), 2, "--beta"},
      {"even highpass",
       {"design", "highpass", "1000", "--rate", "44100", "--taps", "10", "-o", Out}, 2, "odd"},
      {"too many taps", With(Lowpass, {"--attenuation", "100", "--transition", "20"}), 1,
       "at most 1000"},
      {"missing impulse", {"design", "impulse", Dir / "ir.wav", "-o", Out}, 1, "ir.wav"},
      {"response without rate", {"response", kSmooth}, 2, "--rate"},
      {"a design's response without rate", {"response", "lowpass:3000"}, 2, "--rate"},
      {"a design's response beyond half the rate", {"response", "lowpass:3000", "--rate", "4000"}, 2,
       "'lowpass:3000' at 4000 Hz: the cutoff 3000 Hz is not below half the rate"},
      {"missing filter", {"response", Dir / "none.fir", "--rate", "8000"}, 1, "none.fir"},
      {"a rate that is not a number", {"response", kSmooth, "--rate", "nan"}, 2, "--rate"},
      {"CSV and SVG to one file",
       {"response", kSmooth, "--rate", "8000", "--csv", Out, "--svg", Dir / "./out.fir"}, 2, "same output"},
      {"a blank impulse name", {"design", "impulse", "", "-o", Out}, 2, "WAV: expected a file name"},
      {"blank output names", {"response", kSmooth, "--rate", "8000", "--csv", "", "--svg", ""}, 2,
       "--csv: expected a file name"},
      {"an impulse that is not a finite number", {"design", "impulse", NaN, "-o", Out}, 1,
       "frame 1 holds a sample that is not a finite number"},
      {"a channel the impulse lacks", {"design", "impulse", NaN, "--channel", "3", "-o", Out}, 1,
       "has 1 channel, no channel 3"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TResult R = RunKestrum(C.Args);
    EXPECT_EQ(R.Status, C.Status);
    EXPECT_EQ(R.Out, "");
    EXPECT_NE(R.Err.find(C.Mentions), std::string::npos) << R.Err;
    if (C.Status == 2) {
      EXPECT_TRUE(R.Err.ends_with(" --help' for more.\n")) << R.Err;
    }
    EXPECT_TRUE(Dir.Files().empty());
  }
}

TEST(KestrumCli, DesignsAFilterAndDescribesItsResponse) {
  const test::TScratchDir Dir;
  const TResult Design = RunKestrum({"design", "lowpass", "3000", "--rate", "44.1k", "--attenuation",
                                     "60", "--transition", "500", "-o", Dir / "lp.fir"});
  ASSERT_EQ(Design.Status, 0) << Design.Err;
  EXPECT_EQ(Design.Out, "");
  EXPECT_TRUE(Design.Err.starts_with("Lowpass, windowed sinc, ")) << Design.Err;
  EXPECT_NE(Design.Err.find(", cutoff 3000 Hz at 44100 Hz, "), std::string::npos) << Design.Err;

  const TResult Files = RunKestrum({"response", Dir / "lp.fir", "--rate", "44100", "--points", "5",
                                    "--csv", Dir / "lp.csv", "--svg", Dir / "lp.svg"});
  ASSERT_EQ(Files.Status, 0) << Files.Err;
  EXPECT_TRUE(std::regex_search(Files.Out, std::regex("^Taps: [0-9]+\nDelays: 0 to ")))
      << Files.Out;
  EXPECT_NE(Files.Out.find("3 dB below the peak at: 29"), std::string::npos) << Files.Out;
  EXPECT_EQ(ReadText(Dir / "lp.csv").rfind("frequency_hz,magnitude_db,phase_deg,group_delay_frames\n"
                                           "0,", 0), 0u);
  EXPECT_EQ(std::count(Files.Out.begin(), Files.Out.end(), '\n'), 9);
  // A designed .fir records its rate in its comment: the response needs no --rate.
  const TResult OwnRate = RunKestrum({"response", Dir / "lp.fir"});
  EXPECT_EQ(OwnRate.Status, 0) << OwnRate.Err;
  EXPECT_EQ(OwnRate.Out, RunKestrum({"response", Dir / "lp.fir", "--rate", "44100"}).Out);
  const std::string Csv = ReadText(Dir / "lp.csv");
  EXPECT_EQ(std::count(Csv.begin(), Csv.end(), '\n'), 6);
  EXPECT_EQ(ReadText(Dir / "lp.svg").rfind("<svg ", 0), 0u);

  // The table on stdout moves the summary to stderr.
  const TResult Piped = RunKestrum({"response", Dir / "lp.fir", "--rate", "44100", "--csv", "-"});
  EXPECT_EQ(Piped.Status, 0);
  EXPECT_EQ(Piped.Err, Files.Out);
  EXPECT_EQ(std::count(Piped.Out.begin(), Piped.Out.end(), '\n'), 513);

  // The same design named inline is made at --rate.
  const TResult Inline = RunKestrum({"response", "lowpass:3000:60dB:500Hz", "--rate", "44100", "--points", "5"});
  EXPECT_EQ(Inline.Status, 0) << Inline.Err;
  EXPECT_EQ(Inline.Out, Files.Out);
}

// A filter beyond a .fir's 1000 taps: designed as a WAV impulse response,
// shown by response at its own rate, run by FFT and by --exact.
TEST(KestrumCli, DesignsAndRunsALongFilterAsAWavFile) {
  const test::TScratchDir Dir;
  const TArgs Long = {"design", "lowpass", "3000", "--rate", "96k", "--attenuation", "70", "--transition", "400"};
  TArgs AsFir = Long, AsWav = Long;
  AsFir.insert(AsFir.end(), {"-o", Dir / "lp.fir"});
  AsWav.insert(AsWav.end(), {"-o", Dir / "lp.wav"});
  const TResult Refused = RunKestrum(AsFir);
  EXPECT_EQ(Refused.Status, 1);
  EXPECT_NE(Refused.Err.find("the design needs 1055 taps, and a .fir holds at most 1000 (-o FILE.wav writes"),
            std::string::npos) << Refused.Err;
  ASSERT_EQ(RunKestrum(AsWav).Status, 0);
  const TResult Response = RunKestrum({"response", Dir / "lp.wav"});
  EXPECT_TRUE(Response.Out.starts_with("Taps: 1055\nDelays: 0 to 1054 frames (10.98 ms)")) << Response.Out;

  test::WriteFileBytes(Dir / "in.wav", test::MakeWav(2, 16, 96000, test::Words(std::vector<int16_t>(20000, 1000))));
  for (const TArgs& Extra : {TArgs{}, TArgs{"--exact"}, TArgs{"--filter-gain", "-6"}}) {
    TArgs Args = Extra;
    Args.insert(Args.end(), {Dir / "in.wav", Dir / "out.wav", Dir / "lp.wav"});
    const TResult Run = RunKestrum(Args);
    ASSERT_EQ(Run.Status, 0) << Run.Err;
    EXPECT_NE(Run.Err.find("Taps: 1055"), std::string::npos) << Run.Err;
    // The file keeps the design's description.
    EXPECT_NE(Run.Err.find("\nFilter comment: Lowpass, windowed sinc, 1055 taps, cutoff 3000 Hz at 96000 Hz"),
              std::string::npos) << Run.Err;
    // Past the filter's length a constant passes at the filter's gain.
    const Bytes Out = SampleBytes(Dir / "out.wav");
    const int16_t Last = static_cast<int16_t>(Out[Out.size() - 2] | Out[Out.size() - 1] << 8);
    EXPECT_NEAR(Last, Extra.size() == 2 ? 501 : 1000, 3);
  }
}

TEST(KestrumCli, DesignReplacesAFileThroughItsLinkKeepingItsMode) {
  const test::TScratchDir Dir;
  test::WriteFileText(Dir / "real.fir", "earlier");
  std::filesystem::permissions(Dir / "real.fir", std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_write);
  std::filesystem::create_symlink("real.fir", Dir / "link.fir");
  const TResult R =
      RunKestrum({"design", "lowpass", "1000", "--rate", "8000", "--taps", "5", "-o", Dir / "link.fir"});
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_TRUE(std::filesystem::is_symlink(Dir / "link.fir"));
  EXPECT_EQ(ReadText(Dir / "real.fir").rfind("Lowpass, windowed sinc, 5 taps", 0), 0u);
  EXPECT_EQ(std::filesystem::status(Dir / "real.fir").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(Dir.Files(), (std::vector<std::string>{"link.fir", "real.fir"}));
}

TEST(KestrumCli, DesignAndResponseReplaceOnlyTheirOwnKindOfFile) {
  const test::TScratchDir Dir;
  const std::string Room = Dir / "room.wav", Notes = Dir / "notes.wav", Fir = Dir / "lp.fir";
  test::WriteFileBytes(Room, test::MakeWav(1, 32, 8000, test::Floats({1.0f, 0.5f, 0.25f})));
  test::WriteFileText(Notes, "notes\n");
  test::WriteFileText(Fir, ReadText(kSmooth));
  const TArgs Lowpass{"design", "lowpass", "1000", "--rate", "8000", "--taps", "5", "-o"};
  const auto With = [](TArgs Args, const TArgs& More) {
    Args.insert(Args.end(), More.begin(), More.end());
    return Args;
  };
  struct TCase {
    const char* Name;
    TArgs Args;
    std::string Mentions;  // "" when it may replace
  };
  const TCase Cases[] = {
      {"an impulse over itself", {"design", "impulse", Room, "-o", Room, "--force"}, "is the impulse response itself"},
      {".fir text over a WAV file", {"design", "impulse", Room, "-o", Fir + ".wav"}, "named like a WAV file"},
      {"a WAV impulse response over text", With(Lowpass, {Notes}), "exists and is a text file"},
      {".fir text over a WAV named .fir", With(Lowpass, {Dir / "wav.fir"}), "exists and is a WAV file"},
      {"a table over the filter", {"response", Fir, "--rate", "8000", "--csv", Fir, "--force"}, "is the filter itself"},
      {"a plot over a WAV file", {"response", Fir, "--rate", "8000", "--svg", Room}, "named like a WAV file"},
      {"a filter over a filter", With(Lowpass, {Dir / "other.fir"}), ""},
      {"--force over another kind", With(Lowpass, {Notes, "--force"}), ""},
  };
  std::filesystem::copy_file(Room, Dir / "wav.fir");
  test::WriteFileText(Dir / "other.fir", ReadText(kSmooth));
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const test::Bytes Before = test::ReadFileBytes(Room);
    const TResult R = RunKestrum(C.Args);
    EXPECT_EQ(R.Status, C.Mentions.empty() ? 0 : 2) << R.Err;
    EXPECT_NE(R.Err.find(C.Mentions), std::string::npos) << R.Err;
    EXPECT_EQ(test::ReadFileBytes(Room), Before);
  }
  EXPECT_EQ(ReadText(Fir), ReadText(kSmooth));
  EXPECT_EQ(test::ReadFileBytes(Dir / "wav.fir"), test::ReadFileBytes(Room));
  EXPECT_EQ(Dir.Files(), (std::vector<std::string>{"lp.fir", "notes.wav", "other.fir", "room.wav", "wav.fir"}));
}

TEST(KestrumCli, DesignWritesThroughADanglingLinkAndToTheLongestName) {
  const std::string Longest(255, 'f');
  struct TCase {
    const char* Name;
    std::string Output, Written;
    std::vector<std::string> Files;
  };
  const TCase Cases[] = {
      {"a dangling link creates the file it names", "link.fir", "new.fir", {"link.fir", "new.fir"}},
      {"a name of 255 bytes", Longest, Longest, {Longest}},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const test::TScratchDir Dir;
    if (C.Output == "link.fir") std::filesystem::create_symlink("new.fir", Dir / "link.fir");
    const TResult R =
        RunKestrum({"design", "lowpass", "1000", "--rate", "8000", "--taps", "5", "-o", Dir / C.Output});
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(ReadText(Dir / C.Written).rfind("Lowpass, windowed sinc, 5 taps", 0), 0u);
    EXPECT_EQ(Dir.Files(), C.Files);
  }
}

TEST(KestrumCli, BothKernelsWriteTheSameBytes) {
  const test::TScratchDir Dir;
  const std::string Lowpass = kExamples + "/lowpass.fir";
  const std::string Reference = Dir / "reference.wav", Fast = Dir / "fast.wav";
  // In the component's own arithmetic, which the kernels share.
  ASSERT_EQ(RunKestrum({"--wrap", "--kernel", "reference", kExample, Reference, Lowpass}).Status, 0);
  ASSERT_EQ(RunKestrum({"--wrap", "--kernel", "fast", "--threads", "3", kExample, Fast, Lowpass}).Status, 0);
  EXPECT_TRUE(test::ReadFileBytes(Fast) == test::ReadFileBytes(Reference));
  // A .fir's float sum is also what the default and exact engines run.
  for (const TArgs& Engine : {TArgs{}, TArgs{"--kernel", "auto"}, TArgs{"--exact"}, TArgs{"--kernel", "exact", "--exact"}}) {
    TArgs Args = Engine;
    Args.insert(Args.end(), {"--wrap", kExample, Fast, Lowpass});
    ASSERT_EQ(RunKestrum(Args).Status, 0) << Args.front();
    EXPECT_TRUE(test::ReadFileBytes(Fast) == test::ReadFileBytes(Reference));
  }
}

// Runs the tool as RunKestrum does, started in the floating-point environment
// FloatEnv names (see ForeignFloatEnv.cpp), or in the default one when empty.
TResult RunKestrumIn(const std::string& FloatEnv, const TArgs& Args) {
  std::vector<std::string> Vars;
  for (char** V = environ; *V != nullptr; ++V)
    if (!std::string_view(*V).starts_with("LD_PRELOAD=")) Vars.emplace_back(*V);
  if (!FloatEnv.empty()) {
    Vars.push_back("LD_PRELOAD=" KESTRUM_FOREIGN_FLOAT_ENV);
    Vars.push_back("KESTRUM_TEST_FLOAT_ENV=" + FloatEnv);
  }
  std::vector<char*> Envp;
  for (std::string& V : Vars) Envp.push_back(V.data());
  Envp.push_back(nullptr);
  std::vector<char*> Argv{const_cast<char*>(KESTRUM_CLI)};
  for (const auto& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  const test::TScratchDir Capture;
  const std::string Out = Capture / "stdout", Err = Capture / "stderr";
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 1, Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&Actions, 2, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t Pid;
  const int Error = posix_spawn(&Pid, KESTRUM_CLI, &Actions, nullptr, Argv.data(), Envp.data());
  posix_spawn_file_actions_destroy(&Actions);
  if (Error != 0) throw std::runtime_error("test: cannot start " KESTRUM_CLI);
  const int Status = Wait(Pid);
  return {WIFEXITED(Status) ? WEXITSTATUS(Status) : -1, ReadText(Out), ReadText(Err)};
}

// A host may start the tool with another rounding mode or with subnormals
// flushed: every filter, kernel and design writes the default run's bytes,
// and an overflow is an overflow still.
TEST(KestrumCli, WritesTheSameBytesInAnyFloatEnvironment) {
  const test::TScratchDir Dir;
  std::mt19937 R(7);
  std::uniform_int_distribution<int> Level(-20000, 20000);
  std::vector<int16_t> Noise(4000);
  for (int16_t& S : Noise) S = static_cast<int16_t>(Level(R));
  test::WriteFileBytes(Dir / "noise.wav", test::MakeWav(2, 16, 44100, test::Words(Noise)));
  test::WriteFileBytes(Dir / "small.wav", test::MakeWav(1, 16, 44100, test::Words({1, -1, 3, 32767})));
  const auto Float64 = [](double V) {
    Bytes B(8);
    std::memcpy(B.data(), &V, 8);
    return B;
  };
  test::WriteFileBytes(Dir / "huge.wav", test::MakeWav(TAudioFormat{TSampleFormat::Float64, 1, 44100}, Float64(1e300)));
  Bytes Impulse64, Impulse32;
  for (double T : {0.1, 0.3, -0.7, 0.2, 1e-41, 0.05}) {
    const Bytes B = Float64(T);
    Impulse64.insert(Impulse64.end(), B.begin(), B.end());
    const int32_t I = static_cast<int32_t>(T * 2147483647.0);
    for (int K = 0; K < 4; ++K) Impulse32.push_back(static_cast<uint8_t>(I >> (8 * K)));
  }
  test::WriteFileBytes(Dir / "ir64.wav", test::MakeWav(TAudioFormat{TSampleFormat::Float64, 1, 44100}, Impulse64));
  test::WriteFileBytes(Dir / "ir32.wav", test::MakeWav(TAudioFormat{TSampleFormat::Pcm32, 1, 44100}, Impulse32));
  test::WriteFileText(Dir / "tenth.fir", "tenths\n3\n0 0.1\n1 -0.3\n2 0.7\n");
  test::WriteFileText(Dir / "subnormal.fir", "subnormal\n2\n0 0\n0 1E-40\n");
  test::WriteFileText(Dir / "tiniest.fir", "tiniest\n2\n0 0\n0 1E-45\n");

  const std::string Out = Dir / "out";
  const struct {
    const char* Name;
    TArgs Args;
  } Cases[] = {
      {".fir, reference kernel", {"--kernel", "reference", Dir / "noise.wav", Out, Dir / "tenth.fir"}},
      {".fir, fast kernel", {"--kernel", "fast", Dir / "noise.wav", Out, Dir / "tenth.fir"}},
      {".fir, FFT", {"--fft", Dir / "noise.wav", Out, Dir / "tenth.fir"}},
      {"subnormal tap, reference kernel",
       {"--kernel", "reference", "-e", "floating-point", Dir / "small.wav", Out, Dir / "subnormal.fir"}},
      {"subnormal tap, fast kernel",
       {"--kernel", "fast", "-e", "floating-point", Dir / "small.wav", Out, Dir / "subnormal.fir"}},
      {"overflow through a subnormal tap", {Dir / "huge.wav", Out, Dir / "tiniest.fir"}},
      {"float64 impulse, --exact", {"--exact", Dir / "noise.wav", Out, Dir / "ir64.wav"}},
      {"32-bit impulse, --exact", {"--exact", Dir / "noise.wav", Out, Dir / "ir32.wav"}},
      {"impulse, FFT, normalized with a gain",
       {"--normalize", "energy", "--filter-gain", "-3.1", Dir / "noise.wav", Out, Dir / "ir64.wav"}},
      {"designed lowpass:3000", {Dir / "noise.wav", Out, "lowpass:3000"}},
      {"design -o .fir", {"design", "bandpass", "300", "3000", "--rate", "44100", "--taps", "101", "-o", Out}},
      {"design -o .wav", {"design", "lowpass", "3000", "--rate", "96k", "--attenuation", "70", "--transition", "400",
                          "-o", Out + ".wav"}},
      {"response --csv", {"response", Dir / "tenth.fir", "--rate", "44100", "--points", "64", "--csv", "-"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const auto Written = [&](const TResult& Run) {
      const std::string File = C.Args[C.Args.size() - 1] == Out + ".wav" ? Out + ".wav" : Out;
      std::string Bytes = Run.Out;
      if (std::filesystem::exists(File)) Bytes += ReadText(File);
      std::filesystem::remove(File);
      return Bytes;
    };
    const TResult Default = RunKestrumIn("", C.Args);
    EXPECT_EQ(Default.Status, std::string_view(C.Name).starts_with("overflow") ? 1 : 0) << Default.Err;
    const std::string Want = Written(Default);
    for (const char* Env : {"upward", "downward", "towardzero", "ftz", "upward+ftz", "towardzero+ftz"}) {
      SCOPED_TRACE(Env);
      const TResult Run = RunKestrumIn(Env, C.Args);
      EXPECT_EQ(Run.Status, Default.Status) << Run.Err;
      EXPECT_TRUE(Written(Run) == Want);
    }
  }
}

// Runs the tool with stderr on a new terminal and stdout in a file.
TResult RunOnTerminal(const TArgs& Args) {
  const test::TScratchDir Capture;
  const int Master = posix_openpt(O_RDWR | O_NOCTTY);
  if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0)
    throw std::runtime_error("test: no terminal");
  const std::string Slave = ptsname(Master), Out = Capture / "stdout";
  const int Status = Spawn(Args, [&](posix_spawn_file_actions_t* A) {
    posix_spawn_file_actions_addopen(A, 1, Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(A, 2, Slave.c_str(), O_RDWR | O_NOCTTY, 0);
  });
  // The output is far below the terminal's buffer; reading ends with EIO once
  // the tool has closed its side.
  std::string Err;
  char Chunk[4096];
  for (ssize_t N; (N = read(Master, Chunk, sizeof Chunk)) > 0;) Err.append(Chunk, N);
  close(Master);
  return {Status, ReadText(Out), Err};
}

TEST(KestrumCli, DrawsProgressAndASummaryOnATerminal) {
  const test::TScratchDir Dir;
  test::WriteFileBytes(Dir / "in.wav", test::MakeWav(1, 16, 8000, Bytes(2 * 20000, 0)));
  test::WriteFileBytes(Dir / "in2.wav", test::MakeWav(1, 16, 8000, Bytes(2 * 20000, 0)));
  Bytes Unknown = test::MakeWav(1, 16, 8000, Bytes(2 * 20000, 0));
  WriteU32LE(&Unknown[40], 0xFFFFFFFF);
  const test::TFifoFeeder Stream(Dir / "stream", Unknown);
  const std::string Summary = "frames in [0-9.]+ s, [0-9.]+ times (faster than|as fast as) real time\r\n$";
  struct TCase {
    const char* Name;
    TArgs Args;
    std::string FirstDrawing, Err;  // Err is a pattern
  };
  const TCase Cases[] = {
      {"one file", {Dir / "in.wav", Dir / "out.wav", kSmooth}, " 5000/20000 frames",
       "\r +\r20000 " + Summary},
      {"a batch, as one bar",
       {"--threads", "1", "-o", Dir / "out", Dir / "in.wav", Dir / "in2.wav", kSmooth},
       " 5000/40000 frames", "\r +\r2 of 2 files written to '[^']*': 40000 " + Summary},
      {"quiet", {"-q", Dir / "in.wav", Dir / "out.wav", kSmooth}, "", "^$"},
      {"a stream of unknown length, without a percentage", {Dir / "stream", Dir / "out.wav", kSmooth},
       "\r5000 frames, 0:01 of audio, ", "\r +\r20000 " + Summary},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TResult R = RunOnTerminal(C.Args);
    EXPECT_EQ(R.Status, 0);
    EXPECT_EQ(R.Out, "");
    EXPECT_NE(R.Err.find(C.FirstDrawing), std::string::npos) << R.Err;  // the first report is drawn
    EXPECT_TRUE(std::regex_search(R.Err, std::regex(C.Err))) << R.Err;
  }
}

// Sends SIGTERM and waits for the end; kills the process and returns -1 if
// it goes on for ten seconds.
int StopAndWait(pid_t Pid, int Signal = SIGTERM) {
  kill(Pid, Signal);
  int Status = 0;
  for (int Tries = 0; waitpid(Pid, &Status, WNOHANG) == 0; ++Tries) {
    if (Tries == 10000) {
      kill(Pid, SIGKILL);
      Wait(Pid);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return Status;
}

// Waits until the process Pid sleeps in a poll or a pipe's read or write, as
// the kernel's wait channel shows, for at most five seconds.
void WaitInPipe(pid_t Pid) {
  for (int Tries = 0; Tries < 5000; ++Tries) {
    const std::string Channel = ReadText("/proc/" + std::to_string(Pid) + "/wchan");
    if (Channel.find("poll") != std::string::npos || Channel.find("pipe") != std::string::npos) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST(KestrumCli, AStopSignalEndsAWaitOnAStalledFifo) {
  for (const bool IsSource : {true, false}) {
    SCOPED_TRACE(IsSource ? "a FIFO source whose writer is silent" : "a FIFO target whose reader is not reading");
    const test::TScratchDir Dir, Capture;
    const std::string Fifo = Dir / "fifo", Err = Capture / "stderr";
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    const int Held = open(Fifo.c_str(), O_RDWR | O_CLOEXEC);  // both ends, used by no one
    const TArgs Args =
        IsSource ? TArgs{"-q", Fifo, Dir / "out.wav", kSmooth} : TArgs{"-q", kExample, Fifo, kSmooth};
    const pid_t Pid = Start(Args, [&](posix_spawn_file_actions_t* A) {
      posix_spawn_file_actions_addopen(A, 2, Err.c_str(), O_WRONLY | O_CREAT, 0644);
    });
    WaitInPipe(Pid);
    const int Status = StopAndWait(Pid);
    close(Held);
    EXPECT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == SIGTERM) << Status;
    EXPECT_EQ(ReadText(Err), IsSource ? "kestrum: interrupted; '" + Dir / "out.wav" + "' was left as it was\n"
                                      : "kestrum: interrupted; the WAV streamed to '" + Fifo +
                                            "' ends after its last whole frame\n");
    EXPECT_EQ(Dir.Files(), std::vector<std::string>{"fifo"});
  }
}

TEST(KestrumCli, AStopSignalLeavesNoFileBehind) {
  // Every signal whose default action ends the process, not only SIGTERM;
  // SIGQUIT's core is not wanted here.
  rlimit Core{};
  getrlimit(RLIMIT_CORE, &Core);
  Core.rlim_cur = 0;
  setrlimit(RLIMIT_CORE, &Core);
  for (const int Signal : {SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGRTMIN}) {
    SCOPED_TRACE(strsignal(Signal));
    const test::TScratchDir Dir, Capture;
    test::WriteFileBytes(Dir / "in.wav", test::MakeWav(1, 16, 8000, Bytes(200, 0)));
    const std::string Target = Dir / "out.wav", Err = Capture / "stderr";
    const auto Redirect = [&](posix_spawn_file_actions_t* A) {
      posix_spawn_file_actions_addopen(A, 2, Err.c_str(), O_WRONLY | O_CREAT, 0644);
    };
    // Far more frames than the source holds: the run reads silence for minutes.
    const pid_t Pid =
        Start({"-q", "--count", "2000000000", Dir / "in.wav", Target, kIdentity}, Redirect);
    // Stops it once its unfinished target is there beside the source.
    for (int Tries = 0; Dir.Files().size() < 2 && Tries < 10000; ++Tries)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int Status = StopAndWait(Pid, Signal);
    EXPECT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == Signal) << Status;
    EXPECT_EQ(Dir.Files(), std::vector<std::string>{"in.wav"});
    EXPECT_EQ(ReadText(Err), "kestrum: interrupted; '" + Target + "' was left as it was\n");
  }
}

TEST(KestrumCli, StreamsThroughStandardStreamsPipesAndFifos) {
  const test::TScratchDir Dir;
  ASSERT_EQ(RunKestrum({"--quiet", kExample, Dir / "normal.wav", kSmooth}).Status, 0);
  const Bytes Normal = test::ReadFileBytes(Dir / "normal.wav");
  const Bytes Source = test::ReadFileBytes(kExample);
  struct TCase {
    const char* What;
    std::string Source, Target;
  };
  const TCase Cases[] = {
      {"standard input, a pipe, to standard output", "-", "-"},
      {"a FIFO to /dev/stdout, a pipe", Dir / "fifo", "/dev/stdout"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.What);
    int In[2], Out[2];
    // Close-on-exec: the tool must hold no end but its own, or it never sees EOF.
    ASSERT_EQ(pipe2(In, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(Out, O_CLOEXEC), 0);
    std::optional<test::TFifoFeeder> Fifo;
    if (C.Source != "-") Fifo.emplace(C.Source, Source);
    const std::string Err = Dir / "stderr";
    const pid_t Pid = Start({C.Source, C.Target, kSmooth}, [&](posix_spawn_file_actions_t* A) {
      posix_spawn_file_actions_adddup2(A, In[0], 0);
      posix_spawn_file_actions_adddup2(A, Out[1], 1);
      posix_spawn_file_actions_addopen(A, 2, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    });
    close(In[0]);
    close(Out[1]);
    std::thread Feed([&] {
      if (C.Source == "-") {
        EXPECT_EQ(write(In[1], Source.data(), Source.size()), ssize_t(Source.size()));
      }
      close(In[1]);
    });
    Bytes Streamed;
    uint8_t Chunk[65536];
    for (ssize_t N; (N = read(Out[0], Chunk, sizeof Chunk)) > 0;) Streamed.insert(Streamed.end(), Chunk, Chunk + N);
    close(Out[0]);
    Feed.join();
    const int Status = Wait(Pid);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << ReadText(Err);
    // The WAV and nothing else (the log went to stderr), its length unknown
    // when it started: a stream ends where its source ends.
    EXPECT_TRUE(test::WavSamples(Streamed) == test::WavSamples(Normal));
    ASSERT_GE(Streamed.size(), 44u);
    EXPECT_EQ(ReadU32LE(&Streamed[40]), 0xFFFFFFFFu);
    EXPECT_NE(ReadText(Err).find("NbEch: 154350\n"), std::string::npos);
  }
  EXPECT_EQ(Dir.Files(), (std::vector<std::string>{"normal.wav", "stderr"}));
}

// A FILTER is read once, whatever brings it: a FIFO or a pipe's /dev/fd
// name gives what the regular file gives, for filtering and for response.
TEST(KestrumCli, ReadsAFilterOnceFromAFileAFifoOrAPipe) {
  const test::TScratchDir Dir;
  test::WriteFileBytes(Dir / "ir.wav", test::MakeWav(1, 32, 44100, test::Floats({0.25f, 0.5f, 0.25f})));
  enum TRoute { File, Fifo, Pipe };
  for (const std::string& Filter : {kSmooth, Dir / "ir.wav"}) {
    const Bytes Data = test::ReadFileBytes(Filter);
    const bool Wav = Filter.ends_with(".wav");
    for (const bool Response : {false, true}) {
      std::string Expected;
      for (const TRoute Route : {File, Fifo, Pipe}) {
        SCOPED_TRACE(std::string(Wav ? "a WAV filter" : "a .fir") + (Response ? ", response" : ", filtering") +
                     (Route == File ? " from a file" : Route == Fifo ? " from a FIFO" : " from a pipe"));
        std::optional<test::TFifoFeeder> Feeder;
        int Ends[2] = {-1, -1};
        std::string Name = Filter;
        if (Route == Fifo) Feeder.emplace(Name = Dir / "fifo", Data);
        if (Route == Pipe) {  // small enough to wait in the pipe whole
          ASSERT_EQ(pipe2(Ends, O_CLOEXEC), 0);
          ASSERT_EQ(write(Ends[1], Data.data(), Data.size()), ssize_t(Data.size()));
          close(Ends[1]);
          Name = "/dev/fd/3";
        }
        const std::string Out = Dir / "out", Err = Dir / "err";
        const TArgs Args = Response ? TArgs{"response", Name, "--rate", "44100"}
                                    : TArgs{"-q", "--force", kExample, Out, Name};
        const pid_t Pid = Start(Args, [&](posix_spawn_file_actions_t* A) {
          if (Ends[0] >= 0) posix_spawn_file_actions_adddup2(A, Ends[0], 3);
          posix_spawn_file_actions_addopen(A, 1, (Out + ".log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
          posix_spawn_file_actions_addopen(A, 2, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        });
        if (Ends[0] >= 0) close(Ends[0]);
        // A hang fails the case rather than the whole suite.
        int Status = 0;
        for (int Tries = 0; waitpid(Pid, &Status, WNOHANG) == 0; ++Tries) {
          if (Tries == 500) {
            kill(Pid, SIGKILL);
            Status = Wait(Pid);
            break;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const bool Done = WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
        EXPECT_TRUE(Done) << Status << " " << ReadText(Err);
        if (!Done) continue;
        const std::string Got = ReadText(Response ? Out + ".log" : Out);
        if (Route == File) Expected = Got;
        EXPECT_FALSE(Got.empty());
        EXPECT_TRUE(Got == Expected);
      }
    }
  }
  // A batch reads it once too, for every source.
  const test::TFifoFeeder Feeder(Dir / "fifo", test::ReadFileBytes(kSmooth));
  const TResult Batch = RunKestrum({"-q", "-o", Dir / "batch", kExample, DataFile("sox_u8_mono.wav"), Dir / "fifo"});
  ASSERT_EQ(Batch.Status, 0) << Batch.Err;
  ASSERT_EQ(RunKestrum({"-q", "--force", kExample, Dir / "one.wav", kSmooth}).Status, 0);
  EXPECT_EQ(test::ReadFileBytes(Dir / "batch/example.wav"), test::ReadFileBytes(Dir / "one.wav"));
}

TEST(KestrumCli, AStopSignalNeverMisreportsTheTarget) {
  // Signals timed at random around the end of short runs: either the run
  // ends as a success with the new target, or by the signal with the old one.
  const test::TScratchDir Dir;
  test::WriteFileBytes(Dir / "in.wav", test::MakeWav(1, 16, 8000, Bytes(2 * 4999, 1)));
  const std::string Target = Dir / "out.wav", Err = Dir / "stderr";
  std::mt19937 Random(9);
  int Stopped = 0;
  for (int Run = 0; Run < 40; ++Run) {
    const Bytes Old = test::MakeWav(1, 8, 8000, {'o', 'l', 'd'});
    test::WriteFileBytes(Target, Old);
    const pid_t Pid = Start({"-q", Dir / "in.wav", Target, kSmooth}, [&](posix_spawn_file_actions_t* A) {
      posix_spawn_file_actions_addopen(A, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(A, 2, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    });
    std::this_thread::sleep_for(std::chrono::microseconds(Random() % 6000));
    kill(Pid, SIGINT);
    const int Status = Wait(Pid);
    if (WIFSIGNALED(Status)) {
      ++Stopped;
      EXPECT_EQ(WTERMSIG(Status), SIGINT);
      EXPECT_EQ(test::ReadFileBytes(Target), Old);
      const std::string Message = ReadText(Err);
      EXPECT_TRUE(Message.empty() || Message == "kestrum: interrupted; '" + Target + "' was left as it was\n") << Message;
    } else {
      EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
      EXPECT_EQ(test::ReadFileBytes(Target).size(), 44u + 2 * 4999);
      EXPECT_EQ(ReadText(Err), "");
    }
  }
  EXPECT_EQ(Dir.Files(), (std::vector<std::string>{"in.wav", "out.wav", "stderr"}));
  RecordProperty("stopped", Stopped);
}

TEST(KestrumCli, AFileSizeLimitIsAWriteErrorThatLeavesNoFile) {
  const test::TScratchDir Dir;
  rlimit Old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Old), 0);
  rlimit Limit = Old;
  Limit.rlim_cur = 100000;  // far below the 617 kB output
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Limit), 0);
  const TResult R = RunKestrum({"-q", kExample, Dir / "out.wav", kSmooth});
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Old), 0);
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(R.Err, "kestrum: cannot write '" + Dir / "out.wav" + "': File too large\n");
  EXPECT_TRUE(Dir.Files().empty());
}

TEST(KestrumCli, WritesTheSameFileWithStandardStreamsClosedOrFull) {
  const test::TScratchDir Dir;
  ASSERT_EQ(RunKestrum({kExample, Dir / "normal.wav", kSmooth}).Status, 0);
  const Bytes Normal = test::ReadFileBytes(Dir / "normal.wav");

  // With 0, 1 and 2 closed, the files the run opens must not take their place.
  EXPECT_EQ(Spawn({kExample, Dir / "closed.wav", kSmooth},
                  [](posix_spawn_file_actions_t* A) {
                    for (int Fd = 0; Fd <= 2; ++Fd) posix_spawn_file_actions_addclose(A, Fd);
                  }),
            0);
  EXPECT_TRUE(test::ReadFileBytes(Dir / "closed.wav") == Normal);

  EXPECT_EQ(Spawn({kExample, Dir / "full.wav", kSmooth},
                  [](posix_spawn_file_actions_t* A) {
                    for (int Fd = 1; Fd <= 2; ++Fd)
                      posix_spawn_file_actions_addopen(A, Fd, "/dev/full", O_WRONLY, 0);
                  }),
            0);
  EXPECT_TRUE(test::ReadFileBytes(Dir / "full.wav") == Normal);
}

// What one command writes to TARGET through a descriptor's name: the
// filtering form, design and response.
TArgs WithTarget(int Command, const std::string& Target) {
  switch (Command) {
    case 0: return {"-q", kExample, Target, kSmooth};
    case 1: return {"design", "lowpass", "1000", "--rate", "8000", "--taps", "11", "-o", Target};
    default: return {"response", kSmooth, "--rate", "8000", "--points", "4", "--csv", Target};
  }
}

TEST(KestrumCli, WritesADescriptorsNameThroughThatDescriptor) {
  const test::TScratchDir Dir;
  const std::string Log = Dir / "log.txt";
  ASSERT_EQ(symlink("/dev/stdout", (Dir / "link").c_str()), 0);
  for (int Command = 0; Command < 3; ++Command) {
    // What "-" writes is what the others must write, after what stdout holds.
    const TResult Dash = RunKestrum(WithTarget(Command, "-"));
    ASSERT_EQ(Dash.Status, 0) << Dash.Err;
    for (const std::string& Name : {std::string("/dev/stdout"), std::string("/dev/fd/1"),
                                    std::string("/proc/self/fd/1"), Dir / "link"}) {
      for (const bool Append : {true, false}) {
        SCOPED_TRACE(WithTarget(Command, Name)[1] + " to " + Name + (Append ? ", appending" : ", at an offset"));
        test::WriteFileText(Log, "keep\n");
        struct stat Before {};
        ASSERT_EQ(stat(Log.c_str(), &Before), 0);
        // Appending as ">>" does; otherwise at the offset a shell's earlier
        // "echo" left in the shared descriptor, and an "echo" after.
        const int Fd = open(Log.c_str(), O_WRONLY | (Append ? O_APPEND : 0));
        ASSERT_GE(Fd, 0);
        if (!Append) {
          ASSERT_EQ(lseek(Fd, 5, SEEK_SET), 5);
        }
        const int Status = Spawn(WithTarget(Command, Name), [&](posix_spawn_file_actions_t* A) {
          posix_spawn_file_actions_adddup2(A, Fd, 1);
          posix_spawn_file_actions_addopen(A, 2, "/dev/null", O_WRONLY, 0);
        });
        ASSERT_EQ(write(Fd, "tail\n", 5), 5);
        close(Fd);
        EXPECT_EQ(Status, 0);
        struct stat After {};
        ASSERT_EQ(stat(Log.c_str(), &After), 0);
        EXPECT_EQ(After.st_ino, Before.st_ino);  // written, not replaced
        EXPECT_TRUE(ReadText(Log) == "keep\n" + Dash.Out + "tail\n");
      }
    }
  }
  EXPECT_EQ(Dir.Files(), (std::vector<std::string>{"link", "log.txt"}));
}

TEST(KestrumCli, DataForAClosedStandardOutputIsAnError) {
  const test::TScratchDir Dir, Capture;
  const std::string Err = Capture / "stderr";
  for (int Command = 0; Command < 3; ++Command) {
    for (const std::string Name : {"-", "/dev/stdout"}) {
      SCOPED_TRACE(WithTarget(Command, Name)[1] + " to " + Name);
      const int Status = Spawn(WithTarget(Command, Name), [&](posix_spawn_file_actions_t* A) {
        posix_spawn_file_actions_addclose(A, 1);
        posix_spawn_file_actions_addopen(A, 2, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      });
      EXPECT_EQ(Status, 1);
      const std::string Message = ReadText(Err);
      EXPECT_TRUE(Message.starts_with("kestrum: cannot write to ")) << Message;
      EXPECT_TRUE(Message.ends_with(" was closed\n")) << Message;
      EXPECT_EQ(std::count(Message.begin(), Message.end(), '\n'), 1) << Message;
    }
  }
  EXPECT_TRUE(Dir.Files().empty());
}

TEST(KestrumCli, AResponseSummaryThatCannotBeWrittenIsAnError) {
  const test::TScratchDir Capture;
  const std::string Err = Capture / "stderr";
  for (const bool Closed : {true, false}) {
    SCOPED_TRACE(Closed ? "stdout closed" : "stdout full");
    const int Status = Spawn({"response", kSmooth, "--rate", "8000"}, [&](posix_spawn_file_actions_t* A) {
      if (Closed)
        posix_spawn_file_actions_addclose(A, 1);
      else
        posix_spawn_file_actions_addopen(A, 1, "/dev/full", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(A, 2, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    });
    EXPECT_EQ(Status, 1);
    const std::string Message = ReadText(Err);
    EXPECT_TRUE(Message.starts_with("kestrum: cannot write ")) << Message;
    EXPECT_EQ(std::count(Message.begin(), Message.end(), '\n'), 1) << Message;
  }
}

TEST(KestrumCli, ControlBytesNeverReachTheTerminalAndTheSvgIsWellFormed) {
  const test::TScratchDir Dir;
  const std::string Source = Dir / "bad\nkestrum: all good\x1b[31mRED.wav";
  test::WriteFileBytes(Source, test::ReadFileBytes(kExample));
  // A comment that sets the terminal's title and clears it, in Latin-1.
  test::WriteFileText(Dir / "odd.fir", "caf\xe9\t\x1b]0;owned\x07\x1b[2J <&>\x01\n1\n0 1.0\n");
  const TResult Filtered = RunKestrum({Source, Dir / "out.wav", Dir / "odd.fir"});
  const TResult Response = RunKestrum({"response", Dir / "odd.fir", "--rate", "8000", "--svg", Dir / "plot.svg"});
  for (const TResult& R : {Filtered, Response}) {
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_TRUE(std::all_of(R.Err.begin(), R.Err.end(), [](unsigned char C) { return C == '\n' || C == '\t' || (C >= 32 && C != 127); }))
        << R.Err;
  }
  EXPECT_EQ(std::count(Filtered.Err.begin(), Filtered.Err.end(), '\n'), 5) << Filtered.Err;
  EXPECT_NE(Filtered.Err.find("Filter comment: caf\xe9\t\\x1b]0;owned\\x07\\x1b[2J <&>\\x01\n"), std::string::npos)
      << Filtered.Err;
  // A real XML parser reads the plot, and its title as Unicode text.
  const std::string Check = Dir / "check.py";
  test::WriteFileText(Check,
                      "import sys, xml.etree.ElementTree as E\n"
                      "title = E.parse(sys.argv[1]).getroot().find('{http://www.w3.org/2000/svg}text').text\n"
                      "sys.exit(0 if title.startswith('caf\\u00e9\\t\\\\x1b]0;owned\\\\x07\\\\x1b[2J <&>\\\\x01') else 1)\n");
  const std::string Svg = Dir / "plot.svg";
  const char* const Argv[] = {"/usr/bin/python3", Check.c_str(), Svg.c_str(), nullptr};
  pid_t Pid;
  ASSERT_EQ(posix_spawn(&Pid, Argv[0], nullptr, nullptr, const_cast<char**>(Argv), environ), 0);
  const int Status = Wait(Pid);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << ReadText(Dir / "plot.svg");
}

// A run reading a producer's WAV from a pipe on its standard input and
// writing its own to a pipe on its standard output, the test's ends of both
// held here, stderr in a file.
struct TLiveRun {
  TLiveRun(const TArgs& Args, const std::string& ErrFile) {
    if (pipe2(In, O_CLOEXEC) != 0 || pipe2(Out, O_CLOEXEC) != 0) throw std::runtime_error("test: no pipe");
    Pid = Start(Args, [&](posix_spawn_file_actions_t* A) {
      posix_spawn_file_actions_adddup2(A, In[0], 0);
      posix_spawn_file_actions_adddup2(A, Out[1], 1);
      posix_spawn_file_actions_addopen(A, 2, ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    });
    close(In[0]);
    close(Out[1]);
  }
  ~TLiveRun() {
    close(In[1]);
    close(Out[0]);
  }
  // Writes Data whole; false once the run no longer reads.
  bool Produce(const uint8_t* Data, size_t Size) {
    for (size_t Done = 0; Done < Size;) {
      const ssize_t N = write(In[1], Data + Done, Size - Done);
      if (N <= 0) return false;
      Done += static_cast<size_t>(N);
    }
    return true;
  }
  // Reads the output until at least Want bytes (all of it by default) have come.
  void Consume(size_t Want = SIZE_MAX) {
    uint8_t Chunk[65536];
    for (ssize_t N; Output.size() < Want && (N = read(Out[0], Chunk, sizeof Chunk)) > 0;)
      Output.insert(Output.end(), Chunk, Chunk + N);
  }
  // The same for at most Ms milliseconds.
  void ConsumeWithin(size_t Want, int Ms) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    uint8_t Chunk[65536];
    pollfd Poll{Out[0], POLLIN, 0};
    for (ssize_t N; Output.size() < Want; Output.insert(Output.end(), Chunk, Chunk + N)) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(End - std::chrono::steady_clock::now());
      if (Left.count() <= 0 || poll(&Poll, 1, static_cast<int>(Left.count())) <= 0) return;
      if ((N = read(Out[0], Chunk, std::min(sizeof Chunk, Want - Output.size()))) <= 0) return;
    }
  }
  pid_t Pid;
  int In[2], Out[2];
  Bytes Output;
};

// Random 16-bit samples of Frames frames, the same for a given seed.
Bytes Noise(size_t Frames, int Channels, uint32_t Seed) {
  std::mt19937 R(Seed);
  Bytes Data(Frames * 2 * Channels);
  for (uint8_t& B : Data) B = static_cast<uint8_t>(R() >> 24);
  return Data;
}

// A header that says the length is unknown, as a live producer writes it.
Bytes StreamHeader(int Channels, uint32_t Rate) {
  Bytes Header = test::MakeWav(Channels, 16, Rate, {});
  WriteU32LE(&Header[4], 0xFFFFFFFF);
  WriteU32LE(&Header[40], 0xFFFFFFFF);
  return Header;
}

TEST(KestrumCli, FiltersASlowStreamAsItArrives) {
  // A producer at the audio's own pace: the header, then a tenth of a
  // second every tenth of a second, for three seconds.
  const struct {
    const char* Kernel;
    int Channels;
    uint32_t Rate;
  } Cases[] = {{"fast", 1, 8000}, {"reference", 2, 44100}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Kernel);
    const test::TScratchDir Dir;
    const size_t Piece = C.Rate / 10 * 2 * C.Channels;
    const Bytes Data = Noise(C.Rate * 3, C.Channels, 5);
    test::WriteFileBytes(Dir / "in.wav", test::MakeWav(C.Channels, 16, C.Rate, Data));
    ASSERT_EQ(RunKestrum({"-q", Dir / "in.wav", Dir / "file.wav", kSmooth}).Status, 0);

    TLiveRun Run({"-q", "--kernel", C.Kernel, "-", "-", kSmooth}, Dir / "stderr");
    std::atomic<int> Written{0};
    std::thread Producer([&] {
      const Bytes Header = StreamHeader(C.Channels, C.Rate);
      Run.Produce(Header.data(), Header.size());
      for (size_t Done = 0; Done < Data.size(); Done += Piece) {
        if (!Run.Produce(Data.data() + Done, Piece)) break;
        ++Written;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      close(Run.In[1]);
      Run.In[1] = -1;
    });
    Run.Consume(45);  // the header and the first filtered bytes
    const int WrittenAtFirstFrame = Written;
    Run.Consume();
    Producer.join();
    const int Status = Wait(Run.Pid);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << ReadText(Dir / "stderr");
    EXPECT_LT(WrittenAtFirstFrame, 10) << "the first frames waited for a second of audio";
    EXPECT_TRUE(test::WavSamples(Run.Output) == SampleBytes(Dir / "file.wav"));
  }
}

TEST(KestrumCli, HandsOnTheWholeFramesOfAPieceThatEndsInsideAFrame) {
  // A producer that pauses one byte, then two, into a frame: each pause
  // finds every whole frame out, as the reference kernel hands them on.
  const test::TScratchDir Dir;
  const Bytes Data = Noise(8000, 2, 9);
  const Bytes Header = StreamHeader(2, 44100);
  const size_t Cuts[] = {5000 * 4 + 1, 8000 * 4 - 2};
  Bytes Expected;
  for (const char* Kernel : {"reference", "fast"}) {
    SCOPED_TRACE(Kernel);
    TLiveRun Run({"-q", "--kernel", Kernel, "-", "-", kSmooth}, Dir / "stderr");
    ASSERT_TRUE(Run.Produce(Header.data(), Header.size()));
    size_t Sent = 0;
    for (const size_t Cut : Cuts) {
      ASSERT_TRUE(Run.Produce(Data.data() + Sent, Cut - Sent));
      Sent = Cut;
      Run.ConsumeWithin(Header.size() + Cut / 4 * 4, 5000);
      EXPECT_EQ(Run.Output.size(), Header.size() + Cut / 4 * 4);
    }
    kill(Run.Pid, SIGINT);
    Run.Consume();
    Wait(Run.Pid);
    if (Expected.empty()) Expected = Run.Output;
    EXPECT_TRUE(Run.Output == Expected);
  }
}

TEST(KestrumCli, EndsAnEndlessStreamOnAStopOrACountWithNoTemporaryFile) {
  std::signal(SIGPIPE, SIG_IGN);  // the producer sees the closed pipe as an error
  const test::TScratchDir Dir, Temp, Capture;
  const std::string ErrFile = Capture / "stderr";
  const char* const OldTemp = std::getenv("TMPDIR");
  const std::string SavedTemp = OldTemp ? OldTemp : "";
  setenv("TMPDIR", Temp.Path().c_str(), 1);
  const Bytes Data = Noise(1 << 20, 2, 7);  // looped: the stream never ends
  const struct {
    const char* Name;
    TArgs Args;
    bool Stop;
    std::string Err;
  } Cases[] = {
      {"a stop, to a stream", {"-q", "-", "-", kIdentity}, true,
       "kestrum: interrupted; the WAV streamed to '-' ends after its last whole frame\n"},
      {"a stop, to a file", {"-q", "-", Dir / "out.wav", kIdentity}, true,
       "kestrum: interrupted; '" + Dir / "out.wav" + "' was left as it was\n"},
      {"a count, to a stream", {"-q", "--count", "1.5s", "-", "-", kIdentity}, false, ""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TLiveRun Run(C.Args, ErrFile);
    std::thread Producer([&] {
      const Bytes Header = StreamHeader(2, 44100);
      if (!Run.Produce(Header.data(), Header.size())) return;
      while (Run.Produce(Data.data(), Data.size())) {}
    });
    if (C.Stop) {
      // Once ten seconds of audio have come out, or the run has created its target.
      for (int Tries = 0; Tries < 1000 && Run.Output.size() < 1764000 && Dir.Files().empty(); ++Tries) {
        if (C.Args[2] == "-") Run.Consume(Run.Output.size() + 1);
        else std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      kill(Run.Pid, SIGINT);
    }
    Run.Consume();
    const int Status = Wait(Run.Pid);
    close(Run.In[1]);  // ends the producer if the run left the pipe open
    Run.In[1] = -1;
    Producer.join();
    EXPECT_EQ(ReadText(ErrFile), C.Err);
    if (C.Stop) {
      EXPECT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == SIGINT) << Status;
    } else {
      EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
    }
    EXPECT_TRUE(Dir.Files().empty());   // a stopped file target is not there
    EXPECT_TRUE(Temp.Files().empty());  // nothing was spooled
    if (C.Args[C.Args.size() - 2] != "-") continue;
    // A WAV, a prefix of the endless one: whole frames, the identity's copy.
    ASSERT_GE(Run.Output.size(), 44u);
    const Bytes Samples = test::WavSamples(Run.Output);
    EXPECT_EQ(Samples.size() % 4, 0u);
    EXPECT_GT(Samples.size(), 0u);
    EXPECT_TRUE(std::equal(Samples.begin(), Samples.end(), Data.begin()));
    EXPECT_EQ(ReadU32LE(&Run.Output[40]), C.Stop ? 0xFFFFFFFFu : 66150u * 4);
    if (!C.Stop) {
      EXPECT_EQ(Run.Output.size(), 44u + 66150 * 4);
    }
  }
  if (OldTemp) setenv("TMPDIR", SavedTemp.c_str(), 1);
  else unsetenv("TMPDIR");
}

// A stream of unknown length flows on past the 4 GiB a WAV header can
// describe, its sizes saying "unknown". 8-bit mono widened to 64-bit float
// crosses 4 GiB of output for the fewest bytes moved.
TEST(KestrumCli, StreamsAnUnknownLengthPastFourGiB) {
  const test::TScratchDir Capture;
  const uint64_t Frames = (uint64_t{1} << 29) + 1000;
  TLiveRun Run({"-q", "-b", "64", "-e", "float", "-", "-", kIdentity}, Capture / "stderr");
  fcntl(Run.Out[0], F_SETPIPE_SZ, 1 << 20);
  std::thread Producer([&] {
    Bytes Header = test::MakeWav(1, 8, 8000, {});
    WriteU32LE(&Header[4], 0xFFFFFFFF);
    WriteU32LE(&Header[40], 0xFFFFFFFF);
    const Bytes Silence(1 << 20, 0x80);
    bool Flowing = Run.Produce(Header.data(), Header.size());
    for (uint64_t Left = Frames; Flowing && Left > 0; Left -= std::min<uint64_t>(Left, Silence.size()))
      Flowing = Run.Produce(Silence.data(), static_cast<size_t>(std::min<uint64_t>(Left, Silence.size())));
    close(Run.In[1]);
    Run.In[1] = -1;
  });
  std::vector<uint8_t> Chunk(1 << 20);
  uint64_t Total = 0;
  for (ssize_t N; (N = read(Run.Out[0], Chunk.data(), Chunk.size())) > 0; Total += static_cast<uint64_t>(N))
    if (Run.Output.size() < 58) Run.Output.insert(Run.Output.end(), Chunk.begin(), Chunk.begin() + N);
  Producer.join();
  const int Status = Wait(Run.Pid);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << ReadText(Capture / "stderr");
  EXPECT_EQ(Total, 58 + Frames * 8);  // the float header, then every frame
  ASSERT_GE(Run.Output.size(), 58u);
  EXPECT_EQ(ReadU32LE(&Run.Output[4]), 0xFFFFFFFFu);
  EXPECT_EQ(ReadU32LE(&Run.Output[54]), 0xFFFFFFFFu);
}

// Standard output sent to a file gets the stream's true sizes at the end,
// wherever in the file the stream began; appended to (>>), it keeps the
// sizes of "unknown". Either way the descriptor ends after the frames.
TEST(KestrumCli, CompletesTheHeaderOfAStreamSentToAFile) {
  const test::TScratchDir Dir;
  const std::string Out = Dir / "out.wav";
  const Bytes Data = Noise(1000, 2, 3), Header = StreamHeader(2, 44100);
  const struct {
    const char* What;
    size_t At;  // bytes already in the file
    bool Append;
  } Cases[] = {{"at the start", 0, false}, {"at an offset", 5, false}, {"appended", 5, true}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    test::WriteFileText(Out, std::string(C.At, 'k'));
    const int Fd = open(Out.c_str(), O_WRONLY | O_CLOEXEC | (C.Append ? O_APPEND : 0));
    ASSERT_GE(Fd, 0);
    ASSERT_EQ(lseek(Fd, static_cast<off_t>(C.At), SEEK_SET), off_t(C.At));
    int In[2];
    ASSERT_EQ(pipe2(In, O_CLOEXEC), 0);
    const pid_t Pid = Start({"-q", "-", "-", kIdentity}, [&](posix_spawn_file_actions_t* A) {
      posix_spawn_file_actions_adddup2(A, In[0], 0);
      posix_spawn_file_actions_adddup2(A, Fd, 1);
      posix_spawn_file_actions_addopen(A, 2, "/dev/null", O_WRONLY, 0);
    });
    close(In[0]);
    Bytes Source = Header;
    Source.insert(Source.end(), Data.begin(), Data.end());
    EXPECT_EQ(write(In[1], Source.data(), Source.size()), ssize_t(Source.size()));
    close(In[1]);
    const int Status = Wait(Pid);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
    ASSERT_EQ(write(Fd, "tail", 4), 4);
    close(Fd);
    const Bytes File = test::ReadFileBytes(Out);
    // A file's header of unknown length keeps a JUNK chunk for a ds64 one.
    const size_t HeaderSize = C.Append ? 44 : 80;
    ASSERT_EQ(File.size(), C.At + HeaderSize + Data.size() + 4);
    EXPECT_EQ(std::string(File.end() - 4, File.end()), "tail");
    const uint8_t* Wav = &File[C.At];
    EXPECT_EQ(std::string(Wav, Wav + 4), "RIFF");
    EXPECT_EQ(ReadU32LE(Wav + 4), C.Append ? 0xFFFFFFFFu : HeaderSize - 8 + Data.size());
    EXPECT_EQ(ReadU32LE(Wav + HeaderSize - 4), C.Append ? 0xFFFFFFFFu : Data.size());
    EXPECT_TRUE(std::equal(Data.begin(), Data.end(), Wav + HeaderSize));
  }
}

}  // namespace
}  // namespace kestrum
