// Frame-taps per second of the kernels: the reference, the fast one on one
// thread (on each instruction set) and on every core, and TFirStream over the
// same frames in memory, side by side, for a dense and a sparse filter in each
// sample format (8-, 16- and 24-bit PCM, float), mono, stereo and, for 16-bit,
// 8 channels (frame-taps count every channel); and of the fast kernel's
// sums alone, with split and with float sums, on each instruction set.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "kestrum/kernel/FastKernel.h"
#include "kestrum/kernel/FirStream.h"
#include "kestrum/kernel/Kernel.h"
#include "kestrum/component/Kestrum.h"
#include "kestrum/component/WavFrames.h"

namespace kestrum {
namespace {

const std::filesystem::path kDir =
    std::filesystem::temp_directory_path() / ("kestrum-bench-" + std::to_string(std::random_device{}()));

struct TShape {
  const char* Name;
  int32_t Frames;
  TFirFilter Filter;
};

TShape Dense() {
  TShape S{"1000 dense taps", 88200, {}};  // 2 s at 44.1 kHz
  std::mt19937 Random(1);
  S.Filter.NbTaps = 1000;
  for (int I = 0; I < 1000; ++I) {
    S.Filter.Delays[I] = I;
    S.Filter.Coefs[I] = std::uniform_real_distribution<float>(-0.03f, 0.03f)(Random);
  }
  return S;
}

TShape Sparse() {
  TShape S{"3 sparse taps", 1323000, {}};  // 30 s: the echo of examples/echo.fir
  S.Filter.NbTaps = 3;
  S.Filter.Delays[0] = 0, S.Filter.Coefs[0] = 0.6f;
  S.Filter.Delays[1] = 11025, S.Filter.Coefs[1] = 0.3f;
  S.Filter.Delays[2] = 15000, S.Filter.Coefs[2] = 0.15f;
  return S;
}

const char* FormatName(TSampleFormat Format) {
  switch (Format) {
    case TSampleFormat::Pcm8: return "8-bit";
    case TSampleFormat::Pcm16: return "16-bit";
    case TSampleFormat::Pcm24: return "24-bit";
    case TSampleFormat::Pcm32: return "32-bit";
    case TSampleFormat::Float64: return "double";
    case TSampleFormat::Float32: break;
  }
  return "float";
}

// A source of noise at a third of full scale.
std::string MakeSource(int32_t Frames, int Channels, TSampleFormat Format) {
  const std::string Name =
      (kDir / ("in" + std::to_string(Frames) + "x" + std::to_string(Channels) + FormatName(Format) + ".wav")).string();
  if (std::filesystem::exists(Name)) return Name;
  TWriteWavFile Writer;
  Writer.FileName = Name;
  Writer.SetActive(true);
  Writer.SetFormat({Format, Channels, 44100});
  std::mt19937 Random(2);
  std::uniform_int_distribution<int> Level(-10000, 10000);
  for (int64_t I = 0; I < int64_t{Frames} * Channels; ++I) {
    const int L = Level(Random);
    switch (Format) {
      case TSampleFormat::Pcm8: Writer.WriteByte(L / 250 + 128); break;
      case TSampleFormat::Pcm16: Writer.WriteWord(L); break;
      case TSampleFormat::Pcm24: Writer.WriteInt24(L * 256); break;
      case TSampleFormat::Float32: Writer.WriteFloat(L / 30000.0f); break;
      default: break;  // not benchmarked
    }
  }
  Writer.Close();
  return Name;
}

enum class TRun { Reference, FastOneThread, FastAllCores, StreamBlocks, StreamWhole };

// TFirStream over the source's frames, already in memory, in blocks of 441
// frames (10 ms at 44.1 kHz) or in one call.
void FilterInMemory(benchmark::State& State, const TShape& Shape, const std::string& Source, TRun Run) {
  TReadWavFile Reader;
  Reader.FileName = Source;
  Reader.SetActive(true);
  const size_t FrameBytes = static_cast<size_t>(Reader.FrameBytes());
  std::vector<uint8_t> In(static_cast<size_t>(Shape.Frames) * FrameBytes), Out(In.size());
  Reader.ReadFrames(In.data(), Shape.Frames);
  const size_t Block = Run == TRun::StreamBlocks ? 441 * FrameBytes : In.size();
  for (auto _ : State) {
    TFirStream Stream(Shape.Filter, Reader.Format());
    for (size_t Done = 0; Done < In.size(); Done += Block) {
      const size_t Bytes = std::min(Block, In.size() - Done);
      Stream.Filter(std::span<const uint8_t>(In.data() + Done, Bytes), std::span<uint8_t>(Out.data() + Done, Bytes));
    }
    benchmark::DoNotOptimize(Out.data());
  }
  State.SetItemsProcessed(State.iterations() * Shape.Frames * Shape.Filter.NbTaps * Reader.Channels);
}

void Filter(benchmark::State& State, const TShape& Shape, int Channels, TSampleFormat Format, TRun Run,
            const std::string& Target) {
  const std::string Source = MakeSource(Shape.Frames, Channels, Format);
  if (Run == TRun::StreamBlocks || Run == TRun::StreamWhole) return FilterInMemory(State, Shape, Source, Run);
  fast::ForceSimdTarget(Target);
  for (auto _ : State) {
    TReadWavFile Reader;
    Reader.FileName = Source;
    Reader.SetActive(true);
    TWriteWavFile Writer;
    Writer.FileName = (kDir / "out.wav").string();
    Writer.SetActive(true);
    Writer.SetFormat(Reader.Format());
    TOverflowCount Overflow;
    TRunContext Context(false, Overflow, PROGRESS_STEP);
    TWavFrameSource In(Reader);
    TWavFrameSink Out(Writer);
    if (Run == TRun::Reference)
      RunReferenceKernel(In, Out, Reader.Format(), Shape.Frames, Shape.Filter, Context);
    else
      RunFastKernel(In, Out, Reader.Format(), Shape.Frames, Shape.Filter, Context,
                    Run == TRun::FastOneThread ? 1 : static_cast<int>(std::thread::hardware_concurrency()));
    Writer.Close();
  }
  fast::ForceSimdTarget("");
  State.SetItemsProcessed(State.iterations() * Shape.Frames * Shape.Filter.NbTaps * Channels);
}

// One block of the fast kernel's sums over 16-bit noise, without reading,
// rounding or writing.
void Sums(benchmark::State& State, const TShape& Shape, bool Split, const std::string& Target) {
  fast::TTaps Taps(Shape.Filter, 32768.0);
  Taps.Split = Split;
  std::vector<double> Levels(static_cast<size_t>(Taps.MaxDelay + fast::kBlockFrames + fast::kTilePad));
  std::mt19937 Random(3);
  for (double& Level : Levels) Level = std::uniform_int_distribution<int>(-10000, 10000)(Random);
  std::vector<float> Acc(static_cast<size_t>(fast::kBlockFrames + fast::kTilePad));
  fast::ForceSimdTarget(Target);
  for (auto _ : State) {
    fast::SumTaps(Levels.data() + Taps.MaxDelay, fast::kBlockFrames, Taps, Acc.data());
    benchmark::DoNotOptimize(Acc.data());
  }
  fast::ForceSimdTarget("");
  State.SetItemsProcessed(State.iterations() * fast::kBlockFrames * Shape.Filter.NbTaps);
}

}  // namespace
}  // namespace kestrum

int main(int argc, char** argv) {
  using namespace kestrum;
  std::filesystem::create_directories(kDir);
  const std::vector<std::string> Targets = fast::SimdTargets();
  const std::string Cores = std::to_string(std::thread::hardware_concurrency());
  for (const TShape& Shape : {Dense(), Sparse()}) {
    for (const TSampleFormat Format :
         {TSampleFormat::Pcm16, TSampleFormat::Pcm24, TSampleFormat::Float32, TSampleFormat::Pcm8}) {
      // 8 channels against 2, per channel, in the commonest format.
      for (const int Channels : {2, 1, 8}) {
        if (Channels == 8 && Format != TSampleFormat::Pcm16) continue;
        const std::string Name = std::string(Shape.Name) + "/" + FormatName(Format) + " " +
                                 (Channels == 2 ? "stereo" : Channels == 1 ? "mono" : "8 channels") + "/";
        const auto Add = [&](const std::string& Run, TRun Kind, const std::string& Target) {
          benchmark::RegisterBenchmark((Name + Run).c_str(), [=](benchmark::State& S) {
            Filter(S, Shape, Channels, Format, Kind, Target);
          })->UseRealTime()->Unit(benchmark::kMillisecond);
        };
        Add("reference", TRun::Reference, "");
        Add("fast, 1 thread, " + Targets.front(), TRun::FastOneThread, "");
        Add("fast, " + Cores + " threads, " + Targets.front(), TRun::FastAllCores, "");
        Add("in memory, blocks of 441, " + Targets.front(), TRun::StreamBlocks, "");
        Add("in memory, one call, " + Targets.front(), TRun::StreamWhole, "");
        for (size_t I = 1; I < Targets.size(); ++I)
          Add("fast, 1 thread, " + Targets[I], TRun::FastOneThread, Targets[I]);
      }
    }
  }
  for (const std::string& Target : Targets)
    for (const bool Split : {true, false})
      benchmark::RegisterBenchmark(("SumTaps/1000 dense taps/" + Target + (Split ? "/split" : "/float")).c_str(),
                                   [=](benchmark::State& S) { Sums(S, Dense(), Split, Target); })
          ->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(kDir);
}
