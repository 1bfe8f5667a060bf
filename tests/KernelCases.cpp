// Runs the kernels' test cases through real files.
#include "tests/KernelCases.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include <gtest/gtest.h>

#include "kestrum/base/Errors.h"
#include "kestrum/component/Kestrum.h"
#include "kestrum/component/WavFrames.h"
#include "kestrum/kernel/FastKernel.h"
#include "kestrum/kernel/FftKernel.h"
#include "kestrum/filter/LongFilter.h"

namespace kestrum::test {

namespace {

using TKernel = std::function<void(TFrameSource&, TFrameSink&, const TAudioFormat&, int32_t, const TFirFilter&,
                                   TRunContext&)>;

TOutcome Run(const TCase& C, const TKernel& Kernel, int32_t ThrowAt) {
  test::TScratchDir Dir;
  test::WriteFileBytes(Dir / "in.wav", test::MakeWav(C.Format(), C.Data));
  TReadWavFile Reader;
  Reader.FileName = Dir / "in.wav";
  Reader.SetActive(true);
  TWriteWavFile Writer;
  Writer.FileName = Dir / "out.wav";
  Writer.SetActive(true);
  TOutcome Outcome;
  TRunContext Context(C.Clip, Outcome.Overflow, PROGRESS_STEP, [&](int64_t Done) {
    Outcome.Progress.push_back(static_cast<int32_t>(Done));
    if (Done == ThrowAt) throw std::runtime_error("stopped by the host");
  });
  Context.Target = C.Target;
  Context.Dither = C.Dither;
  Writer.SetFormat(Context.TargetFormat(Reader.Format()));
  TWavFrameSource Source(Reader);
  TWavFrameSink Sink(Writer);
  try {
    Kernel(Source, Sink, Reader.Format(), C.NbEch, C.Filter, Context);
  } catch (const std::exception& E) {
    Outcome.Error = std::string(dynamic_cast<const EMathError*>(&E) ? "EMathError: " : "other: ") + E.what();
  }
  try {
    Writer.Close();
    Outcome.Out = test::WavSamples(test::ReadFileBytes(Dir / "out.wav"));
  } catch (const EGeneralError&) {  // no frame written
  }
  return Outcome;
}

}  // namespace

TOutcome RunReference(const TCase& C) {
  return Run(C, [](TFrameSource& In, TFrameSink& Out, const TAudioFormat& Format, int32_t N, const TFirFilter& F,
                   TRunContext& Context) { RunReferenceKernel(In, Out, Format, N, F, Context); }, -1);
}

TOutcome RunFft(const TCase& C, int Threads, int32_t Block) {
  return Run(C, [&](TFrameSource& In, TFrameSink& Out, const TAudioFormat& Format, int32_t N, const TFirFilter& F,
                    TRunContext& Context) {
    RunFftKernel(In, Out, Format, TRunLength{N, false}, LongFilterOf(F), Context, Threads, Block);
  }, -1);
}

TOutcome RunArriving(const TCase& C, int Threads, int32_t Block, uint32_t Seed) {
  const TAudioFormat Format = C.Format();
  const size_t FrameBytes = static_cast<size_t>(Format.FrameBytes());
  const size_t OutBytes = static_cast<size_t>(BytesPerSample(C.Target.value_or(Format.Samples)) * C.Channels);
  struct TLive : TFrameSource, TFrameSink {
    const Bytes& Data;
    const size_t FrameBytes, OutBytes;
    std::mt19937 R;
    size_t Read = 0;             // bytes handed to the kernel
    Bytes Out;                   // bytes the kernel wrote
    size_t Flushed = 0;          // of Out, those flushed
    bool Waiting = false;        // Ready() said no
    TLive(const Bytes& Data, size_t FrameBytes, size_t OutBytes, uint32_t Seed)
        : Data(Data), FrameBytes(FrameBytes), OutBytes(OutBytes), R(Seed) {}
    void ReadFrames(uint8_t*, int32_t) override { ADD_FAILURE() << "a live source read for a count"; }
    int32_t ReadArrived(uint8_t* Dest, int32_t Max) override {
      if (Waiting) {
        EXPECT_EQ(Flushed / OutBytes, Read / FrameBytes) << "frames held back while the source waits";
      }
      Waiting = false;
      const size_t Piece = std::min<size_t>({size_t(Max), (Data.size() - Read) / FrameBytes, 1 + R() % 3000});
      std::copy_n(Data.begin() + static_cast<std::ptrdiff_t>(Read), Piece * FrameBytes, Dest);
      Read += Piece * FrameBytes;
      return static_cast<int32_t>(Piece);
    }
    bool Ready() override { return !(Waiting = R() % 3 == 0); }
    void WriteFrames(const uint8_t* Frames, int32_t Count) override {
      Out.insert(Out.end(), Frames, Frames + static_cast<size_t>(Count) * OutBytes);
    }
    void Flush() override { Flushed = Out.size(); }
  } Live(C.Data, FrameBytes, OutBytes, Seed);
  TOutcome Outcome;
  TRunContext Context(C.Clip, Outcome.Overflow, PROGRESS_STEP,
                      [&](int64_t Done) { Outcome.Progress.push_back(static_cast<int32_t>(Done)); });
  Context.Target = C.Target;
  Context.Dither = C.Dither;
  const TRunLength Length{TRunLength::kEndless, true};
  try {
    if (Threads == 0)
      RunReferenceKernel(Live, Live, Format, Length, C.Filter, Context);
    else
      fast::RunBlocks(Live, Live, Format, Length, C.Filter, Context, Threads, Block);
  } catch (const std::exception& E) {
    Outcome.Error = std::string(dynamic_cast<const EMathError*>(&E) ? "EMathError: " : "other: ") + E.what();
  }
  Outcome.Out = Live.Out;
  return Outcome;
}

// Runs Check with each instruction set forced in turn, then restores the widest.
void OnEverySimdTarget(const std::function<void()>& Check) {
  for (const std::string& Target : fast::SimdTargets()) {
    SCOPED_TRACE(Target);
    fast::ForceSimdTarget(Target);
    Check();
  }
  fast::ForceSimdTarget("");
}

// The fast kernel in blocks of Block frames; the default size goes through
// the public entry point.
TOutcome RunFast(const TCase& C, int Threads, int32_t Block, int32_t ThrowAt) {
  return Run(C, [&](TFrameSource& In, TFrameSink& Out, const TAudioFormat& Format, int32_t N, const TFirFilter& F,
                    TRunContext& Context) {
    if (Block == fast::kBlockFrames)
      RunFastKernel(In, Out, Format, N, F, Context, Threads);
    else
      fast::RunBlocks(In, Out, Format, TRunLength{N, false}, F, Context, Threads, Block);
  }, ThrowAt);
}

void AddTap(TFirFilter& F, int32_t Delay, float Coef) {
  F.Delays[F.NbTaps] = Delay;
  F.Coefs[F.NbTaps++] = Coef;
}

// A random case: any format, a length around a block edge or beyond the
// history, delays from anywhere in 32 bits, and coefficients of one kind:
// plain, ties, subnormal, near the float limit, making sums beyond 32 bits or
// with sums near 2^127 whose filters fall on either side of the split's guard.
TCase RandomCase(std::mt19937& R, int32_t Block) {
  TCase C;
  C.Channels = std::array{1, 2, 1, 2, 3, 6, 8}[R() % 7];
  C.Bits = 8 << R() % 3;
  if (R() % 4 == 0) C.Bits = 24;
  using F = TSampleFormat;
  const F Formats[] = {F::Pcm8, F::Pcm16, F::Pcm24, F::Pcm32, F::Float32, F::Float64};
  if (R() % 4 == 0) C.Samples = Formats[R() % 6];
  if (R() % 4 == 0) C.Target = Formats[R() % 6];
  const F Samples = C.Format().Samples;
  const int32_t Lengths[] = {0, 1, Block - 1, Block, Block + 1, 3 * Block + 7, 16385, 20000 + static_cast<int32_t>(R() % 5000)};
  const int32_t Frames = std::max(Lengths[R() % 8], 0);
  C.NbEch = Frames + (R() % 4 == 0 ? static_cast<int32_t>(R() % 50) : 0);
  // Silence up to a random frame in half the cases, so that sums that
  // overflow first do so anywhere in the file, then noise: any bytes, or
  // for float, values of one scale (sums in the subnormal range, ordinary,
  // near the float limit) with now and then a NaN, an infinity or -0.
  std::uniform_real_distribution<float> Unit(-1.0f, 1.0f);
  const size_t SampleBytes = static_cast<size_t>(BytesPerSample(Samples));
  const size_t Count = static_cast<size_t>(Frames) * static_cast<size_t>(C.Channels);
  const size_t Quiet = R() % 2 ? 0 : (R() % (Frames + 1)) * static_cast<size_t>(C.Channels);
  const float Scale = std::array{1e-38f, 1e-42f, 1.0f, 1e30f}[R() % 4];
  const bool Specials = R() % 4 == 0;
  C.Data.resize(Count * SampleBytes);
  for (size_t I = 0; I < Count; ++I) {
    uint8_t* const P = &C.Data[I * SampleBytes];
    if (I < Quiet) {
      std::fill(P, P + SampleBytes, Samples == F::Pcm8 ? 0x80 : 0x00);
    } else if (IsFloat(Samples)) {
      const float Special = std::array{-0.0f, std::numeric_limits<float>::quiet_NaN(),
                                       std::numeric_limits<float>::infinity(), 1e-45f}[R() % 4];
      const float Value = Specials && R() % 2000 == 0 ? Special : Unit(R) * Scale;
      if (Samples == F::Float32) {
        WriteU32LE(P, std::bit_cast<uint32_t>(Value));
      } else {  // a double with bits below a float's
        const uint64_t Bits = std::bit_cast<uint64_t>(static_cast<double>(Value) * (1.0 + 0x1p-40 * (R() % 1000)));
        WriteU32LE(P, static_cast<uint32_t>(Bits));
        WriteU32LE(P + 4, static_cast<uint32_t>(Bits >> 32));
      }
    } else {
      for (size_t B = 0; B < SampleBytes; ++B) P[B] = static_cast<uint8_t>(R());
    }
  }

  const int32_t TapCounts[] = {0, 1, 2, 7, 17, 1000, 1 + static_cast<int32_t>(R() % 40)};
  int32_t NbTaps = TapCounts[R() % 7];
  if (int64_t{NbTaps} * C.NbEch * C.Channels > 8'000'000) NbTaps = 1 + R() % 40;  // keeps the reference quick
  const int32_t Special[] = {0, 1, 16383, 16384, 16385, -1, INT32_MIN, INT32_MAX};
  const int Kind = R() % 6;
  for (int32_t I = 0; I < NbTaps; ++I) {
    const int DelayKind = R() % 5;
    const int32_t Delay = DelayKind < 2 ? I : DelayKind == 2 ? Special[R() % 8] : static_cast<int32_t>(R());
    const float Coefs[] = {
        Unit(R) / std::sqrt(static_cast<float>(NbTaps)),
        std::ldexp(static_cast<float>(static_cast<int>(R() % 9) - 4), -static_cast<int>(R() % 4)),  // k/2^n: ties
        R() % 2 ? 1e-40f : (R() % 2 ? 1e-45f : Unit(R)),
        Unit(R) * 1.2e34f,  // sums near and past 3.4e38 with 16-bit levels
        Unit(R) * 2e5f,     // sums past 2^31
        Unit(R) * std::ldexp(1.0f, 111 + static_cast<int>(R() % 4)) / static_cast<float>(NbTaps),
    };
    AddTap(C.Filter, Delay, Coefs[Kind]);
  }
  C.Filter.NbTaps = R() % 20 == 0 ? -NbTaps : NbTaps;  // a negative count means no taps
  C.Clip = R() % 3 == 0;
  if (C.Target && R() % 2 == 0) C.Dither = R();
  return C;
}

}  // namespace kestrum::test
