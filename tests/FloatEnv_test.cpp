// Every public entry computes in the default floating-point environment,
// whatever rounding mode or flushing its caller has set, and gives the
// caller's environment back.
#include <gtest/gtest.h>

#include <cfenv>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>
#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "kestrum/design/Design.h"
#include "kestrum/design/Response.h"
#include "kestrum/filter/FirFile.h"
#include "kestrum/kernel/FastKernel.h"
#include "kestrum/kernel/FftKernel.h"
#include "kestrum/kernel/FirStream.h"
#include "kestrum/filter/LongFilter.h"
#include "tests/KernelCases.h"
#include "tests/KestrumRun.h"
#include "tests/TestUtil.h"

namespace kestrum {
namespace {

using test::Bytes;

std::string Text(const void* Data, size_t Size) { return std::string(static_cast<const char*>(Data), Size); }
std::string Text(const Bytes& B) { return Text(B.data(), B.size()); }

Bytes Float64s(const std::vector<double>& Values) {
  Bytes B(Values.size() * 8);
  std::memcpy(B.data(), Values.data(), B.size());
  return B;
}

// A run of the component: its target's samples, or its error.
std::string RunWith(const Bytes& Wav, const std::string& Fir, const std::function<void(TKestrum&)>& Set) {
  test::TKestrumRun R;
  R.Prepare(Wav, Fir);
  Set(R.Kestrum);
  R.Execute();
  return R.Error.empty() ? Text(R.Output()) : R.Error;
}

// The same run with the filter a WAV impulse response.
std::string RunImpulse(const Bytes& Wav, const Bytes& Impulse, const std::function<void(TKestrum&)>& Set) {
  return RunWith(Wav, "", [&](TKestrum& K) {
    const std::string Name = K.FirFile + ".wav";
    test::WriteFileBytes(Name, Impulse);
    K.FirFile = Name;
    Set(K);
  });
}

// What a caller's environment is: its rounding, its exception flags, and on
// x86-64 the SSE control and status (FTZ, DAZ, masks) and the x87 control
// word. (Not the whole fenv_t image, whose x87 part also records where the
// last x87 instruction was: any long-double step moves that.)
struct TEnvState {
  int Round = 0, Flags = 0;
  unsigned Csr = 0;
  unsigned short Cw = 0;
  bool operator==(const TEnvState&) const = default;
};

TEnvState EnvState() {
  TEnvState State;
  State.Round = std::fegetround();
  State.Flags = std::fetestexcept(FE_ALL_EXCEPT);
#if defined(__x86_64__)
  State.Csr = _mm_getcsr();
  __asm__ volatile("fnstcw %0" : "=m"(State.Cw));
#endif
  return State;
}

TEST(FloatEnv, EveryEntryComputesAsInTheDefaultEnvironmentAndRestoresTheCallers) {
  std::mt19937 R(3);
  std::uniform_int_distribution<int> Level(-20000, 20000);
  std::vector<int16_t> Noise(600);
  for (int16_t& S : Noise) S = static_cast<int16_t>(Level(R));
  const Bytes NoiseWav = test::MakeWav(2, 16, 44100, test::Words(Noise));
  const Bytes SmallWav = test::MakeWav(1, 16, 44100, test::Words({1, -1, 3, 32767}));
  const Bytes Impulse64 =
      test::MakeWav(TAudioFormat{TSampleFormat::Float64, 1, 44100}, Float64s({0.1, 0.3, -0.7, 1e-41, 0.05}));
  Bytes Int32s;
  for (const int32_t V : {214748365, 644245094, -1503238554, 7, 107374182})
    for (int K = 0; K < 4; ++K) Int32s.push_back(static_cast<uint8_t>(V >> (8 * K)));
  const Bytes Impulse32 = test::MakeWav(TAudioFormat{TSampleFormat::Pcm32, 1, 44100}, Int32s);
  const std::string Subnormal = "subnormal\n2\n0 0\n0 1E-40\n";
  const std::string Tenths = "tenths\n3\n0 0.1\n1 -0.3\n2 0.7\n";
  const auto ToFloat = [](TKestrum& K) {
    K.TargetBits = 32;
    K.TargetEncoding = TEncoding::Float;
  };
  TDesignRequest Lowpass;
  Lowpass.Rate = 44100;
  Lowpass.Low = 3000;
  Lowpass.Attenuation = 60;
  Lowpass.Transition = 500;

  const struct {
    const char* Name;
    std::function<std::string()> Result;
  } Cases[] = {
      {"a subnormal tap, reference kernel",
       [&] { return RunWith(SmallWav, Subnormal, [&](TKestrum& K) {
         ToFloat(K);
         K.Engine = TEngine::Reference;
       }); }},
      {"a subnormal tap, fast kernel",
       [&] { return RunWith(SmallWav, Subnormal, [&](TKestrum& K) {
         ToFloat(K);
         K.Engine = TEngine::Fast;
       }); }},
      {"a subnormal tap, fast kernel's entry",
       [&] {
         test::TCase C;
         C.Data = test::Words({1, -1, 3, 32767});
         C.NbEch = 4;
         C.Filter = ParseFirFilter(Subnormal, "s.fir");
         C.Target = TSampleFormat::Float32;
         const test::TOutcome Out = test::RunFast(C, 2, fast::kBlockFrames);
         return Text(Out.Out) + Out.Error;
       }},
      {"an overflow through a subnormal tap",
       [&] {
         return RunWith(test::MakeWav(TAudioFormat{TSampleFormat::Float64, 1, 44100}, Float64s({1e300})),
                    "tiniest\n2\n0 0\n0 1E-45\n", [](TKestrum&) {});
       }},
      {"tenths, fast kernel", [&] { return RunWith(NoiseWav, Tenths, [](TKestrum&) {}); }},
      {"tenths, FFT", [&] { return RunWith(NoiseWav, Tenths, [](TKestrum& K) { K.Engine = TEngine::Fft; }); }},
      {"float64 impulse, exact", [&] { return RunImpulse(NoiseWav, Impulse64, [](TKestrum& K) { K.Engine = TEngine::Exact; }); }},
      {"32-bit impulse, exact", [&] { return RunImpulse(NoiseWav, Impulse32, [](TKestrum& K) { K.Engine = TEngine::Exact; }); }},
      {"impulse normalised with a gain, FFT",
       [&] {
         return RunImpulse(NoiseWav, Impulse64, [](TKestrum& K) { K.FilterOptions = {0, -3.1, TNormalize::Energy}; });
       }},
      {"streams",
       [&] {
         TFirStream Fir(ParseFirFilter(Subnormal, "s.fir"), TAudioFormat{TSampleFormat::Float32, 1, 0});
         std::vector<float> Samples = {1.0f, -1.0f, 3e-5f, 0.5f};
         Fir.Filter(Samples, Samples);
         TFftStream Fft(LongFilterOf(ParseFirFilter(Tenths, "t.fir")), TAudioFormat{TSampleFormat::Pcm16, 2, 0});
         const Bytes Out = Fft.Filter(test::WavSamples(NoiseWav)), Tail = Fft.Flush();
         return Text(Samples.data(), Samples.size() * 4) + Text(Out) + Text(Tail);
       }},
      {"an FFT convolver on its own",
       [&] {
         TFftConvolver Convolver({0.1, 0.3, -0.7, 1e-310, 0.05, 0.2}, 4);
         std::vector<double> Block = {0.3, -1.1, 1e-300, 7.7}, Out(12);
         for (int I = 0; I < 3; ++I) Convolver.Process(Block.data(), Out.data() + 4 * I);
         return Text(Out.data(), Out.size() * 8);
       }},
      {"parse and format", [&] { return FormatFirFile(ParseFirFilter(Tenths + "3 1E-40\n", "t.fir")); }},
      {"design and response",
       [&] {
         const TDesignedTaps Taps = DesignTaps(Lowpass, FIR_MAX_TAPS);
         const TResponse Response(DesignFilter(Lowpass), 44100);
         const double Figures[] = {KaiserBeta(60), GainDb(0.3)};
         return Text(Taps.Taps.data(), Taps.Taps.size() * 8) + ResponseCsv(Response, 64) +
                FormatSummary(Summarize(Response), 44100) + Text(Figures, sizeof Figures);
       }},
  };
  const struct {
    const char* Name;
    int Round;
    bool Flush;  // FTZ and DAZ (x86 only)
  } Envs[] = {{"upward", FE_UPWARD, false},         {"downward", FE_DOWNWARD, false},
              {"toward zero", FE_TOWARDZERO, false}, {"FTZ and DAZ", FE_TONEAREST, true},
              {"upward, FTZ and DAZ", FE_UPWARD, true}, {"toward zero, FTZ and DAZ", FE_TOWARDZERO, true}};

  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const std::string Want = C.Result();
    if (std::string(C.Name) == "a subnormal tap, reference kernel") {
      EXPECT_EQ(Want, Text(Bytes{0x02, 0, 0, 0, 0x02, 0, 0, 0x80, 0x07, 0, 0, 0, 0xc0, 0x16, 0x01, 0}));
    }
    for (const auto& E : Envs) {
      SCOPED_TRACE(E.Name);
      std::fenv_t Saved;
      std::fegetenv(&Saved);
      ASSERT_EQ(std::fesetround(E.Round), 0);
#if defined(__SSE__) || defined(__x86_64__)
      if (E.Flush) _mm_setcsr(_mm_getcsr() | 0x8040);
#endif
      const TEnvState Host = EnvState();
      const std::string Got = C.Result();
      const TEnvState After = EnvState();
      std::fesetenv(&Saved);
      EXPECT_TRUE(Got == Want);
      EXPECT_EQ(Host, After) << "the caller's environment is not restored";
    }
  }
}

}  // namespace
}  // namespace kestrum
