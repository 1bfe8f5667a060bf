// Tests of TKestrum's properties, the events of a run and its failure path.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>
#include <csignal>

#include "kestrum/base/Application.h"
#include "kestrum/base/Errors.h"
#include "kestrum/base/Stop.h"
#include "kestrum/component/Kestrum.h"
#include "tests/KestrumRun.h"
#include "kestrum/wav/ReadWavFile.h"

namespace kestrum {
namespace {

using test::Bytes;
using Lines = std::vector<std::string>;

const char* const kIdentity = "Identity\n1\n0 1.0\n";

TEST(Kestrum, KeepsItsSetterRules) {
  TKestrum K(nullptr);
  const std::string Version = K.Version();
  K.SetVersion("1.0");
  EXPECT_EQ(K.Version(), Version);
  K.SetStartPos(7);
  K.SetStartPos(-5);
  EXPECT_EQ(K.StartPos(), 7);
  K.SetStartPos(0);
  EXPECT_EQ(K.StartPos(), 0);
  K.SetEndPos(9);
  K.SetEndPos(-5);
  EXPECT_EQ(K.EndPos(), 9);
}

TEST(Kestrum, LoadsItsPublishedPropertiesFromStoredText) {
  TComponent Form(nullptr);
  auto* K = new TKestrum(&Form);  // owned: the form destroys it
  K->SetName("Kestrum1");
  K->LoadProperties("Version = '1.5'\nStartPos = 12\nEndPos = -3\n\nActiveProcessMessage = True\n"
                    "FirFile = 'it''s.fir'\n");
  EXPECT_EQ(K->Version(), "0.90");
  EXPECT_EQ(K->StartPos(), 12);
  EXPECT_EQ(K->EndPos(), 0);  // the setter ignored -3
  EXPECT_TRUE(K->ActiveProcessMessage);
  EXPECT_EQ(K->FirFile, "it's.fir");
  EXPECT_EQ(K->PropertyText("Version"), "'0.90'");
  EXPECT_EQ(K->PublishedProperties(),
            (Lines{"Version", "SourceFile", "CibleFile", "FirFile", "ActiveProcessMessage", "StartPos", "EndPos"}));
  EXPECT_THROW(K->SetPropertyText("Speed", "1"), EGeneralError);
  EXPECT_THROW(K->SetPropertyText("StartPos", "abc"), EGeneralError);
  EXPECT_EQ(Form.Components(), std::vector<TComponent*>{K});
}

TEST(Kestrum, SendsTheEventsOfASuccessfulRunInOrder) {
  test::TKestrumRun Run;
  Run.Prepare(2, 16, 44100, Bytes(12000 * 4, 0), "Smoothing, three taps\n3\n0 0.25\n1 0.5\n2 0.25\n");
  Run.Execute();
  EXPECT_EQ(Run.Error, "");
  EXPECT_EQ(Run.Events, (Lines{"StartFilter", "SourceProperty 16 stereo 44100 12000",
                               "Log Filter file name: " + Run.Kestrum.FirFile,
                               "Log Filter comment: Smoothing, three taps", "Log Taps: 3",
                               "Log NbEch: 12000", "Progress 5000 12000", "Progress 10000 12000",
                               "Progress 0 0", "EndFilter"}));
  EXPECT_EQ(Run.Output().size(), 12000u * 4);
}

TEST(Kestrum, CountsOverflowAfreshInEachRun) {
  test::TKestrumRun Run;
  Run.Prepare(2, 16, 8000, test::Words({16384, 1, 3, -16385}), "Double\n1\n0 2.0\n");
  Run.Execute();
  EXPECT_EQ(Run.Kestrum.Overflow, (TOverflowCount{16, 4, 2, 32770}));
  EXPECT_DOUBLE_EQ(Run.Kestrum.Overflow.PeakFullScale(), 32770.0 / 32768);
  Run.Kestrum.FirFile = Run.Dir / "missing.fir";
  Run.Execute();
  EXPECT_NE(Run.Error, "");
  EXPECT_EQ(Run.Kestrum.Overflow, (TOverflowCount{16, 0, 0, 0}));
}

// One engine setting for both kinds of filter. The second frame's sum,
// 16384 + 0.5004, is 16384.5 in a float accumulator (then 16384, ties to
// even) but 16385 in the FFT engine's double precision: the output tells
// which engine ran. Reference and fast hold a .fir's taps only.
TEST(Kestrum, RunsEachFilterKindOnTheEngineAskedOrRefusesIt) {
  const Bytes FloatSum = test::Words({1, 16384}), Fft = test::Words({1, 16385});
  const std::string Refusal = "is a WAV filter, which runs on the fft or exact engine, not on ";
  const struct {
    bool Wav;
    TEngine Engine;
    Bytes Output;  // empty: refused
  } Cases[] = {
      {false, TEngine::Auto, FloatSum}, {false, TEngine::Reference, FloatSum}, {false, TEngine::Fast, FloatSum},
      {false, TEngine::Exact, FloatSum}, {false, TEngine::Fft, Fft},      {true, TEngine::Auto, Fft},
      {true, TEngine::Fft, Fft},        {true, TEngine::Exact, FloatSum}, {true, TEngine::Reference, {}},
      {true, TEngine::Fast, {}},
  };
  test::TKestrumRun Run;
  Run.Prepare(1, 16, 8000, test::Words({1, 16384}), "Two taps\n2\n0 1\n1 0.5004\n");
  const std::string Fir = Run.Kestrum.FirFile, Wav = Run.Dir / "taps.wav";
  test::WriteFileBytes(Wav, test::MakeWav(1, 32, 8000, test::Floats({1.0f, 0.5004f})));
  for (const auto& C : Cases) {
    SCOPED_TRACE(std::string(C.Wav ? "WAV filter, " : ".fir, ") + EngineName(C.Engine));
    Run.Kestrum.FirFile = C.Wav ? Wav : Fir;
    Run.Kestrum.Engine = C.Engine;
    Run.Execute();
    if (C.Output.empty()) {
      EXPECT_EQ(Run.Error, "'" + Wav + "' " + Refusal + EngineName(C.Engine));
    } else {
      EXPECT_EQ(Run.Error, "");
      EXPECT_EQ(Run.Output(), C.Output);
    }
  }
}

TEST(Kestrum, ReportsTheSourceFormatAndWritesTheTargetInIt) {
  const struct {
    int Channels, Bits;
    uint32_t Rate;
    const char* Event;
  } Cases[] = {
      {1, 8, 96000, "SourceProperty 8 mono 96000 4"},  // the whole rate, not its low 16 bits
      {2, 24, 48000, "SourceProperty 24 stereo 48000 4"},
      {1, 32, 44100, "SourceProperty 32 float mono 44100 4"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Event);
    test::TKestrumRun Run;
    const Bytes Wav = test::MakeWav(C.Channels, C.Bits, C.Rate, Bytes(4 * C.Channels * C.Bits / 8, 0x80));
    Run.Prepare(C.Channels, C.Bits, C.Rate, test::WavSamples(Wav), kIdentity);
    Run.Execute();
    EXPECT_EQ(Run.Events.at(1), C.Event);
    EXPECT_EQ(test::ReadFileBytes(Run.Kestrum.CibleFile), Wav);
  }
}

TEST(Kestrum, ChoosesTheFramesFromStartPosAndEndPos) {
  struct Case {
    const char* What;
    int32_t StartPos, EndPos;
    std::string NbEch;
    Bytes Output;  // empty: the run fails with no frame written
  };
  // Source: 8-bit mono bytes 10, 11, ..., 19; past its end the reader gives
  // silence, the byte 128.
  const Case Cases[] = {
      {"equal positions: the whole source", 0, 0, "10", {10, 11, 12, 13, 14, 15, 16, 17, 18, 19}},
      {"a range", 2, 5, "3", {12, 13, 14}},
      {"equal positions from frame 7: still ten frames", 7, 7, "10",
       {17, 18, 19, 128, 128, 128, 128, 128, 128, 128}},
      {"EndPos below StartPos", 200, 100, "-100", {}},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.What);
    test::TKestrumRun Run;
    Run.Prepare(1, 8, 8000, {10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, kIdentity);
    Run.Kestrum.SetStartPos(C.StartPos);
    Run.Kestrum.SetEndPos(C.EndPos);
    Run.Execute();
    EXPECT_EQ(Run.Events.at(5), "Log NbEch: " + C.NbEch);
    if (C.Output.empty()) {
      EXPECT_EQ(Run.Error, "Le fichier Wav n'a pas été ecrit");
      EXPECT_EQ(Run.Dir.Files(), (Lines{"filter.fir", "in.wav"}));
    } else {
      EXPECT_EQ(Run.Error, "");
      EXPECT_EQ(Run.Output(), C.Output);
    }
  }
}

TEST(Kestrum, FailsCleanlyAndLeavesAnExistingTargetAsItWas) {
  struct Case {
    const char* What;
    Bytes Source;  // a WAV image; empty: no source file
    std::string Fir;  // empty: no filter file
    std::string SourceName;  // overrides the source path when set
    Lines Events;  // with <fir> for the filter's path
    std::string Error;  // a part of the message
  };
  const Bytes Wav = test::MakeWav(1, 16, 8000, test::Words({1, 2, 3}));
  const Lines Closing = {"Progress 0 0", "EndFilter"};
  auto With = [](Lines Head, const Lines& Tail) {
    Head.insert(Head.end(), Tail.begin(), Tail.end());
    return Head;
  };
  const Case Cases[] = {
      {"missing source", {}, kIdentity, "", With({"StartFilter"}, Closing), "cannot open '"},
      {"source that is not PCM", test::ReadFileBytes(test::DataFile("alaw_mono.wav")), kIdentity, "",
       With({"StartFilter"}, Closing), "is not PCM"},
      {"missing filter", Wav, "", "", With({"StartFilter", "SourceProperty 16 mono 8000 3"}, Closing),
       "filter.fir' for reading: No such file or directory"},
      {"bad tap line", Wav, "Bad\n2\n0 1.0\n1 abc\n", "",
       With({"StartFilter", "SourceProperty 16 mono 8000 3", "Log Filter file name: <fir>",
             "Log Filter comment: Bad", "Log Taps: 2"},
            Closing),
       "filter.fir, line 4: expected a coefficient"},
      {"arithmetic overflow", Wav, "Huge\n1\n0 3e38\n", "",
       With({"StartFilter", "SourceProperty 16 mono 8000 3", "Log Filter file name: <fir>",
             "Log Filter comment: Huge", "Log Taps: 1", "Log NbEch: 3"},
            Closing),
       "arithmetic overflow at frame 0"},
      {"blank source name, refused before anything is opened", {}, kIdentity, "   ",
       With({"StartFilter"}, Closing), "no source file name given"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.What);
    test::TKestrumRun Run;
    Run.Kestrum.SourceFile = C.SourceName.empty() ? Run.Dir / "in.wav" : C.SourceName;
    Run.Kestrum.FirFile = Run.Dir / "filter.fir";
    if (!C.Source.empty()) test::WriteFileBytes(Run.Kestrum.SourceFile, C.Source);
    if (!C.Fir.empty()) test::WriteFileText(Run.Kestrum.FirFile, C.Fir);
    test::WriteFileText(Run.Kestrum.CibleFile, "precious");
    const auto Before = Run.Dir.Files();
    Run.Execute();
    EXPECT_NE(Run.Error.find(C.Error), std::string::npos) << Run.Error;
    Lines Expected = C.Events;
    for (auto& Line : Expected)
      if (Line == "Log Filter file name: <fir>") Line = "Log Filter file name: " + Run.Kestrum.FirFile;
    EXPECT_EQ(Run.Events, Expected);
    EXPECT_EQ(test::ReadFileBytes(Run.Kestrum.CibleFile), (Bytes{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_EQ(Run.Dir.Files(), Before);
  }
}

// A sample that is not a finite number is named, by its frame, whether the
// source is a file or a stream, in either float width.
TEST(Kestrum, NamesASampleThatIsNotAFiniteNumberInAFileOrAStream) {
  const double Levels[] = {0.5, std::numeric_limits<double>::quiet_NaN(), 0.25};
  for (const TSampleFormat Samples : {TSampleFormat::Float32, TSampleFormat::Float64}) {
    Bytes Data;
    for (const double Level : Levels) {
      uint8_t B[8];
      if (Samples == TSampleFormat::Float64)
        WriteU64LE(B, std::bit_cast<uint64_t>(Level));
      else
        WriteU32LE(B, std::bit_cast<uint32_t>(static_cast<float>(Level)));
      Data.insert(Data.end(), B, B + BytesPerSample(Samples));
    }
    const Bytes Wav = test::MakeWav(TAudioFormat{Samples, 1, 8000, 0}, Data);
    for (const bool Stream : {false, true}) {
      SCOPED_TRACE(std::to_string(BytesPerSample(Samples) * 8) + (Stream ? "-bit, streamed" : "-bit, a file"));
      test::TKestrumRun Run;
      Run.Prepare(Wav, kIdentity);
      std::optional<test::TFifoFeeder> Feeder;
      if (Stream) {
        Run.Kestrum.SourceFile = Run.Dir / "stream";
        Feeder.emplace(Run.Kestrum.SourceFile, Wav);
      }
      Run.Execute();
      EXPECT_NE(Run.Error.find(Run.Kestrum.SourceFile + ": frame 1 holds a sample that is not a finite number"),
                std::string::npos)
          << Run.Error;
    }
  }
}

// Runs Wav through Filter from frame Start to End, carrying the source's
// metadata when Keep: the target's chunks, none when the run failed.
std::vector<TWavChunk> RunKeepingMetadata(test::TKestrumRun& Run, const Bytes& Wav, const std::string& Filter,
                                          bool Keep, int32_t Start, int32_t End) {
  Run.Prepare(Wav, Filter);
  Run.Kestrum.KeepMetadata = Keep;
  Run.Kestrum.SetStartPos(Start);
  Run.Kestrum.SetEndPos(End);
  Run.Execute();
  EXPECT_EQ(Run.Error, "");
  if (!Run.Error.empty()) return {};
  TReadWavFile Target;
  Target.FileName = Run.Kestrum.CibleFile;
  Target.KeepChunks = true;
  Target.SetActive(true);
  return Target.Chunks;
}

// A bext time reference that the start frame would carry past 2^64 - 1
// stays there, with a warning, instead of wrapping to a small time.
TEST(Kestrum, KeepsAHugeTimeReferenceFromWrapping) {
  const struct {
    uint64_t Reference, Moved;
    bool Warned;
  } Cases[] = {{UINT64_MAX - 100, UINT64_MAX - 2, false}, {UINT64_MAX - 10, UINT64_MAX, true}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Reference);
    TWavChunk Bext{"bext", Bytes(602, 0)};
    WriteU64LE(&Bext.Data[338], C.Reference);
    const TAudioFormat Format{TSampleFormat::Pcm8, 1, 8000, 0};
    Bytes Wav = TWavHeader::ForData(Format, 200, TWavLayout::Plain, EncodeChunks({Bext})).Encode();
    Wav.resize(Wav.size() + 200, 0x80);
    test::TKestrumRun Run;
    const std::vector<TWavChunk> Kept = RunKeepingMetadata(Run, Wav, kIdentity, true, 98, 150);
    ASSERT_EQ(Kept.size(), 1u);
    EXPECT_EQ(ReadU64LE(&Kept[0].Data[338]), C.Moved);
    EXPECT_EQ(std::count_if(Run.Events.begin(), Run.Events.end(),
                            [](const std::string& E) { return E.find("Warning the source's 'bext' time reference") == 0; }),
              C.Warned ? 1 : 0);
  }
}

// Handlers that raise errors of their own, at the start and at the end.
class TThrowingHandlers : public test::TKestrumRun {
public:
  void ThrowAtStart(TObject*) {
    Events.push_back("StartFilter");
    throw EGeneralError("stop at start");
  }
  void ThrowAtEnd(TObject*) {
    Events.push_back("EndFilter");
    if (++EndCalls == 1) throw EGeneralError("stop at end");
  }
  int EndCalls = 0;
};

TEST(Kestrum, PassesOnErrorsRaisedByItsHandlers) {
  {
    TThrowingHandlers Run;
    Run.Prepare(1, 8, 8000, {1}, kIdentity);
    Run.Kestrum.OnStartFilter = TNotifyEvent(&Run, &TThrowingHandlers::ThrowAtStart);
    Run.Execute();
    EXPECT_EQ(Run.Error, "stop at start");
    EXPECT_EQ(Run.Events, Lines{"StartFilter"});  // nothing touched, nothing more sent
    EXPECT_EQ(Run.Dir.Files(), (Lines{"filter.fir", "in.wav"}));
  }
  {
    TThrowingHandlers Run;
    Run.Prepare(1, 8, 8000, {1}, kIdentity);
    Run.Kestrum.OnEndFilter = TNotifyEvent(&Run, &TThrowingHandlers::ThrowAtEnd);
    Run.Execute();
    EXPECT_EQ(Run.Error, "stop at end");
    // The run itself had finished: the target is complete, and the closing
    // events come a second time from the failure path.
    EXPECT_EQ(Lines(Run.Events.end() - 4, Run.Events.end()),
              (Lines{"Progress 0 0", "EndFilter", "Progress 0 0", "EndFilter"}));
    EXPECT_EQ(Run.Output(), Bytes{1});
  }
}

TEST(Kestrum, LetsTheHostProcessMessagesOnlyWhenAsked) {
  int Calls = 0;
  TApplication::SetProcessMessagesHook([&Calls] { ++Calls; });
  for (bool Active : {false, true}) {
    SCOPED_TRACE(Active);
    Calls = 0;
    test::TKestrumRun Run;
    Run.Prepare(1, 8, 8000, Bytes(15000, 0x80), kIdentity);
    Run.Kestrum.ActiveProcessMessage = Active;
    Run.Execute();
    EXPECT_EQ(Calls, Active ? 3 : 0);
  }
  TApplication::SetProcessMessagesHook(nullptr);
}

TEST(Kestrum, SkipsEventsWithoutHandlers) {
  test::TKestrumRun Run;
  Run.Prepare(1, 8, 8000, Bytes(6000, 0x80), kIdentity);
  Run.Kestrum.OnLog = {};
  Run.Kestrum.OnProgress = {};
  Run.Execute();
  EXPECT_EQ(Run.Error, "");
  EXPECT_EQ(Run.Events, (Lines{"StartFilter", "SourceProperty 8 mono 8000 6000", "EndFilter"}));
}

// Asks for a stop when the event named StopAt is recorded.
class TStopAt : public test::TKestrumRun {
public:
  explicit TStopAt(std::string Event) : FEvent(std::move(Event)) {
    Kestrum.OnStartFilter = TNotifyEvent(this, &TStopAt::Start);
    Kestrum.OnSourceProperty = TSourceProperty(this, &TStopAt::Source);
    Kestrum.OnLog = TLog(this, &TStopAt::LogLine);
  }
  ~TStopAt() { ClearStop(); }
  void Start(TObject* S) { StartFilter(S), Check(); }
  void Source(TObject* S, std::string F, ff_bits B, ff_channels C, uint32_t Fr, int32_t N) {
    SourceProperty(S, F, B, C, Fr, N), Check();
  }
  void LogLine(TObject* S, std::string Line) { Log(S, Line), Check(); }

private:
  void Check() {
    if (Events.back().rfind(FEvent, 0) == 0) RequestStop(SIGINT);
  }
  std::string FEvent;
};

TEST(Kestrum, StopsInEveryPhaseWhenAskedAndSaysSo) {
  // Opening polls in the header walk, the filter's reading at each block,
  // the kernels at each progress step.
  // The events each run ends with.
  const Lines Opening = {"StartFilter", "Progress 0 0", "EndFilter"};
  const Lines Filter = {"StartFilter", "SourceProperty 8 mono 8000 6000", "Progress 0 0", "EndFilter"};
  const Lines Frames = {"Log NbEch: 6000", "Progress 0 0", "EndFilter"};  // no progress drawn
  for (TEngine Kernel : {TEngine::Reference, TEngine::Fast}) {
    for (const auto& [At, Tail] : {std::pair{"StartFilter", Opening}, {"SourceProperty", Filter},
                                   {"Log NbEch", Frames}}) {
      SCOPED_TRACE(At);
      TStopAt Run(At);
      Run.Prepare(1, 8, 8000, Bytes(6000, 0x80), kIdentity);
      Run.Kestrum.Engine = Kernel;
      test::WriteFileText(Run.Kestrum.CibleFile, "precious");
      Run.Execute();
      EXPECT_EQ(Run.Error, "interrupted; '" + Run.Kestrum.CibleFile + "' was left as it was");
      ASSERT_GE(Run.Events.size(), Tail.size());
      EXPECT_EQ(Lines(Run.Events.end() - static_cast<std::ptrdiff_t>(Tail.size()), Run.Events.end()), Tail);
      EXPECT_EQ(test::ReadFileBytes(Run.Kestrum.CibleFile), (Bytes{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
      EXPECT_EQ(Run.Dir.Files(), (Lines{"filter.fir", "in.wav", "out.wav"}));
    }
  }
}

// --keep-metadata: the source's chunks before its data, but those that
// describe the samples, go into the target in their order, bext's time
// reference moved on by the start frame; cue points are left out with a
// warning. Without it the target has the plain header alone.
TEST(Kestrum, KeepsTheSourcesMetadataWhenAsked) {
  TWavChunk Bext{"bext", Bytes(603, 'b')};  // odd: padded
  WriteU64LE(&Bext.Data[338], 48000);
  const std::vector<TWavChunk> Chunks = {
      Bext, {"iXML", Bytes{'<', 'B', 'W', 'F', 'X', 'M', 'L', '/', '>'}}, {"cue ", Bytes(28, 1)},
      {"LIST", Bytes{'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 4, 0, 0, 0, 'T', 'a', 'k', 'e'}}, {"PEAK", Bytes(24, 2)}};
  const TAudioFormat Format{TSampleFormat::Pcm16, 2, 48000};
  const Bytes Data = test::Words({1, 2, 3, 4, 5, 6, 7, 8});
  Bytes Wav = TWavHeader::ForData(Format, Data.size(), TWavLayout::Plain, EncodeChunks(Chunks)).Encode();
  Wav.insert(Wav.end(), Data.begin(), Data.end());
  for (bool Keep : {true, false}) {
    SCOPED_TRACE(Keep);
    test::TKestrumRun Run;
    const std::vector<TWavChunk> Kept = RunKeepingMetadata(Run, Wav, "Identity\n1\n0 1\n", Keep, 1, 4);
    TWavChunk Moved = Bext;
    WriteU64LE(&Moved.Data[338], 48001);
    const std::vector<TWavChunk> Expected = Keep ? std::vector<TWavChunk>{Moved, Chunks[1], Chunks[3]} : std::vector<TWavChunk>{};
    EXPECT_EQ(Kept, Expected);
    EXPECT_EQ(Run.Output(), Bytes(Data.begin() + 4, Data.begin() + 16));
    EXPECT_EQ(std::count_if(Run.Events.begin(), Run.Events.end(),
                            [](const std::string& E) { return E.find("Warning the source's 'cue ' chunk") == 0; }),
              Keep ? 1 : 0);
    if (!Keep) {
      EXPECT_EQ(test::ReadFileBytes(Run.Kestrum.CibleFile).size(), 44u + 12u);
    }
  }
}

}  // namespace
}  // namespace kestrum
