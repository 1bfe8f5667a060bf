// Tests of the filter designs, judged by a direct evaluation of the transfer
// function, and of the filter file's writing.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>

#include "kestrum/base/Errors.h"
#include "kestrum/design/Design.h"
#include "kestrum/design/FilterArgument.h"
#include "tests/TestUtil.h"

namespace kestrum {
namespace {

// |sum of c e^(-2 pi i f d / rate)| over the filter's taps.
double Gain(const TFirFilter& Filter, double Frequency, double Rate) {
  std::complex<double> Sum = 0;
  for (int32_t I = 0; I < Filter.NbTaps; ++I)
    Sum += double(Filter.Coefs[I]) *
           std::exp(std::complex<double>(0, -2 * std::numbers::pi * Frequency * Filter.Delays[I] / Rate));
  return std::abs(Sum);
}

TDesignRequest Request(TBandKind Kind, double Rate, double Low, double High = 0) {
  TDesignRequest R;
  R.Kind = Kind;
  R.Rate = Rate;
  R.Low = Low;
  R.High = High;
  return R;
}

TDesignRequest Kaiser(TDesignRequest R, double Attenuation, double Transition) {
  R.Attenuation = Attenuation;
  R.Transition = Transition;
  return R;
}

TDesignRequest Windowed(TDesignRequest R, int32_t Taps, TWindowKind Window, double Beta = 0) {
  R.Taps = Taps;
  R.Window = Window;
  R.Beta = Beta;
  return R;
}

// Whether Frequency lies in the passband of R, away from its transitions.
bool InPassband(const TDesignRequest& R, double F) {
  switch (R.Kind) {
    case TBandKind::Lowpass: return F < R.Low;
    case TBandKind::Highpass: return F > R.Low;
    case TBandKind::Bandpass: return F > R.Low && F < R.High;
    case TBandKind::Bandstop: return F < R.Low || F > R.High;
  }
  return false;
}

TEST(DesignFilter, KaiserDesignsMeetTheirAttenuationAndRipple) {
  const TDesignRequest Cases[] = {
      Kaiser(Request(TBandKind::Lowpass, 44100, 3000), 60, 500),
      Kaiser(Request(TBandKind::Lowpass, 22050, 1000), 90, 800),
      Kaiser(Request(TBandKind::Highpass, 48000, 500), 80, 400),
      Kaiser(Request(TBandKind::Bandpass, 8000, 300, 3400), 50, 200),
      Kaiser(Request(TBandKind::Bandstop, 44100, 1000, 2000), 40, 300),
  };
  for (const TDesignRequest& R : Cases) {
    SCOPED_TRACE(std::to_string(int(R.Kind)) + " at " + std::to_string(R.Rate));
    const TFirFilter F = DesignFilter(R);
    ASSERT_LE(F.NbTaps, FIR_MAX_TAPS);
    EXPECT_EQ(F.NbTaps % 2, 1);
    const double Deviation = std::pow(10.0, -R.Attenuation / 20);
    double WorstPass = 0, WorstStop = 0;
    for (int I = 0; I <= 4000; ++I) {
      const double Hz = R.Rate / 2 * I / 4000;
      const double Nearest = std::min(std::abs(Hz - R.Low), R.High ? std::abs(Hz - R.High) : 1e9);
      if (Nearest < R.Transition / 2) continue;
      const double G = Gain(F, Hz, R.Rate);
      if (InPassband(R, Hz))
        WorstPass = std::max(WorstPass, std::abs(G - 1));
      else
        WorstStop = std::max(WorstStop, G);
    }
    EXPECT_LE(WorstPass, Deviation);
    EXPECT_LE(WorstStop, Deviation);
  }
}

// A windowed sinc halves the gain at its edges, whatever the window.
TEST(DesignFilter, WindowedDesignsHaveUnitPassbandAndHalfGainAtTheEdges) {
  struct TCase {
    TDesignRequest R;
    double Reference;  // where the passband gain is 1
  };
  const TCase Cases[] = {
      {Windowed(Request(TBandKind::Lowpass, 44100, 1500), 101, TWindowKind::Blackman), 0},
      {Windowed(Request(TBandKind::Lowpass, 48000, 5000), 64, TWindowKind::Rectangular), 0},
      {Windowed(Request(TBandKind::Highpass, 44100, 2000), 101, TWindowKind::Hann), 22050},
      {Windowed(Request(TBandKind::Bandpass, 8000, 500, 1500), 151, TWindowKind::Hamming), 1000},
      {Windowed(Request(TBandKind::Bandstop, 16000, 2000, 4000), 201, TWindowKind::Kaiser, 6), 0},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(std::to_string(int(C.R.Kind)) + " at " + std::to_string(C.R.Rate));
    const TFirFilter F = DesignFilter(C.R);
    ASSERT_EQ(F.NbTaps, C.R.Taps);
    EXPECT_NEAR(Gain(F, C.Reference, C.R.Rate), 1, 1e-6);
    EXPECT_NEAR(Gain(F, C.R.Low, C.R.Rate), 0.5, 0.03);
    if (C.R.High > 0) {
      EXPECT_NEAR(Gain(F, C.R.High, C.R.Rate), 0.5, 0.03);
    }
  }
}

// |sum of c e^(-2 pi i f n / rate)| over taps at delays 0, 1, 2, ...
double Gain(const std::vector<double>& Taps, double Frequency, double Rate) {
  std::complex<double> Sum = 0;
  for (size_t N = 0; N < Taps.size(); ++N)
    Sum += Taps[N] * std::exp(std::complex<double>(0, -2 * std::numbers::pi * Frequency * double(N) / Rate));
  return std::abs(Sum);
}

TEST(DesignTaps, DefaultDesignsMeetTheirAttenuationAtEveryCommonRate) {
  // Low edges, where the default transition used to reach 0 Hz or need more
  // taps than a .fir holds; what does not fit a .fir becomes a long filter.
  // Judged at the stopband's ends and reference, and across the passband.
  for (const double Rate : {8000.0, 44100.0, 48000.0, 96000.0, 192000.0}) {
    for (const auto& [Kind, Edge] : {std::pair{TBandKind::Highpass, 20.0}, {TBandKind::Highpass, 80.0},
                                     {TBandKind::Lowpass, 200.0}, {TBandKind::Lowpass, 0.45 * Rate}}) {
      TDesignRequest R = Request(Kind, Rate, Edge);
      R.Attenuation = R.Transition = NAN;
      R = WithDefaults(R);
      SCOPED_TRACE(std::to_string(int(Edge)) + " Hz at " + std::to_string(int(Rate)) + " Hz");
      const TDesignedTaps D = DesignTaps(R, kMaxDesignTaps);
      EXPECT_TRUE(D.Warnings.empty());
      if (Rate == 8000 && Edge >= 80) {
        EXPECT_LE(D.Taps.size(), size_t{FIR_MAX_TAPS});
      }
      const double Half = R.Transition / 2, Nyquist = Rate / 2, Deviation = 1e-3;
      const bool High = Kind == TBandKind::Highpass;
      const double StopFrom = High ? 0 : Edge + Half, StopTo = High ? Edge - Half : Nyquist;
      const double PassFrom = High ? Edge + Half : 0, PassTo = High ? Nyquist : Edge - Half;
      for (const double F : {StopFrom, (StopFrom + StopTo) / 2, StopTo})
        EXPECT_LE(Gain(D.Taps, F, Rate), Deviation) << F << " Hz";
      for (int I = 0; I <= 8; ++I) {
        const double F = PassFrom + (PassTo - PassFrom) * I / 8;
        EXPECT_NEAR(Gain(D.Taps, F, Rate), 1, Deviation) << F << " Hz";
      }
    }
  }
}

TEST(DesignTaps, WarnsWhenTheTapsMissTheStopband) {
  const struct {
    TDesignRequest R;
    const char* Warning;  // "" for none
  } Cases[] = {
      {Windowed(Request(TBandKind::Highpass, 96000, 80), 999, TWindowKind::Blackman),
       "the gain at 0 Hz is -8.5 dB, not below -64.0 dB: 999 taps of a Blackman window are too few"},
      {Windowed(Request(TBandKind::Lowpass, 8000, 3990), 11, TWindowKind::Hann), "the gain at 4000 Hz is"},
      {Windowed(Request(TBandKind::Bandstop, 8000, 1000, 1010), 101, TWindowKind::Hamming), "the gain at 1005 Hz is"},
      {Windowed(Request(TBandKind::Lowpass, 44100, 3000), 101, TWindowKind::Blackman), ""},
      {Windowed(Request(TBandKind::Bandpass, 8000, 300, 3400), 201, TWindowKind::Kaiser, 8), ""},
  };
  for (const auto& C : Cases) {
    const TDesignedTaps D = DesignTaps(C.R, kMaxDesignTaps);
    const std::string All = D.Warnings.empty() ? "" : D.Warnings.front();
    if (*C.Warning == 0)
      EXPECT_EQ(All, "");
    else
      EXPECT_NE(All.find(C.Warning), std::string::npos) << All;
  }
}

TEST(DesignFilter, RefusesWhatNoFilterCanMeet) {
  const std::pair<TDesignRequest, const char*> Cases[] = {
      {Windowed(Request(TBandKind::Highpass, 44100, 2000), 100, TWindowKind::Hann), "odd tap count"},
      {Windowed(Request(TBandKind::Lowpass, 44100, 22050), 11, TWindowKind::Hann), "half the rate"},
      {Windowed(Request(TBandKind::Bandpass, 8000, 900, 800), 11, TWindowKind::Hann), "not above"},
      {Windowed(Request(TBandKind::Lowpass, 8000, 900), 1001, TWindowKind::Hann), "from 1 to 1000"},
      {Kaiser(Request(TBandKind::Bandstop, 8000, 1000, 1200), 60, 300), "overlapping"},
      {Kaiser(Request(TBandKind::Lowpass, 44100, 1000), 100, 20), "a filter holds at most 1000"},
  };
  for (const auto& [R, Expected] : Cases) {
    try {
      DesignFilter(R);
      ADD_FAILURE() << "no error for " << Expected;
    } catch (const EGeneralError& E) {
      EXPECT_NE(std::string(E.what()).find(Expected), std::string::npos) << E.what();
    }
  }
}

// A design becomes a filter in memory at the rate given, a .fir table up to
// its limit and a long filter past it; anything else is a file read.
TEST(FilterFromArgument, DesignsInMemoryOrReadsAFile) {
  test::TScratchDir Dir;
  test::WriteFileText(Dir / "two.fir", "Two taps\n2\n0 0.5\n3 0.5\n");
  const struct {
    std::string Text;
    uint32_t Rate;
    bool Long;
    size_t Length;
    const char* Comment;  // its start
  } Cases[] = {
      {"lowpass:1000:11taps", 8000, false, 11, "Lowpass, windowed sinc, 11 taps, cutoff 1000 Hz at 8000 Hz"},
      {"highpass:80", 48000, true, 0, "Highpass, windowed sinc, "},
      {Dir / "two.fir", 48000, false, 2, "Two taps"},
  };
  for (const auto& C : Cases) {
    std::vector<std::string> Warnings;
    const TFilter F = FilterFromArgument(C.Text, C.Rate, {}, Warnings);
    EXPECT_EQ(F.Name, C.Text);
    EXPECT_EQ(F.IsLong(), C.Long) << C.Text;
    EXPECT_TRUE(F.Comment.starts_with(C.Comment)) << F.Comment;
    EXPECT_EQ(C.Long ? F.Length() > size_t{FIR_MAX_TAPS} : F.Length() == C.Length, true) << C.Text;
    EXPECT_EQ(F.Rate, C.Text.ends_with(".fir") ? 0u : C.Rate) << C.Text;
  }
  std::vector<std::string> Warnings;
  EXPECT_THROW(FilterFromArgument("lowpass:1000", 0, {}, Warnings), EGeneralError);
  EXPECT_THROW(FilterFromArgument("lowpass:5000", 8000, {}, Warnings), EGeneralError);
}

TEST(FormatFirFile, WritesDigitsThatReadBackToTheSameFloats) {
  TFirFilter Filter;
  Filter.FilterComment = "Awkward values\nnot part of the comment";
  const float Values[] = {0.1f, -1e-30f, 3.4028235e38f, 1.17549435e-38f, 1e-45f,
                          1.0f, -0.0f, 1.0f / 3, 123456.79f, -2.5e-3f};
  for (float V : Values) {
    Filter.Delays[Filter.NbTaps] = 16383 - Filter.NbTaps * 1000;
    Filter.Coefs[Filter.NbTaps++] = V;
  }
  TFirFilter Back;
  TFirFileReader Reader = TFirFileReader::FromText(FormatFirFile(Filter), "written.fir");
  Reader.ReadHead(Back);
  Reader.ReadTaps(Back);
  EXPECT_EQ(Back.FilterComment, "Awkward values");
  ASSERT_EQ(Back.NbTaps, Filter.NbTaps);
  for (int32_t I = 0; I < Back.NbTaps; ++I) {
    EXPECT_EQ(Back.Delays[I], Filter.Delays[I]);
    EXPECT_EQ(std::memcmp(&Back.Coefs[I], &Filter.Coefs[I], sizeof(float)), 0) << Filter.Coefs[I];
  }
}

TEST(FilterFromImpulse, KeepsTheSamplesAboveTheThresholdAtTheirDelays) {
  const test::TScratchDir Dir;
  struct TCase {
    const char* Name;
    test::Bytes Wav;
    int Channel;
  };
  std::vector<int16_t> Words(300, 0);
  Words[0] = 16384, Words[5] = -8192, Words[299] = 1;  // 0.5, -0.25, and -84.3 dB re the peak
  std::vector<int32_t> Int24s(300, 0);
  Int24s[0] = 4194304, Int24s[5] = -2097152, Int24s[299] = 512;
  std::vector<float> Floats(300, 0.0f);
  Floats[0] = 0.5f, Floats[5] = -0.25f, Floats[299] = 3e-5f;
  test::Bytes Bytes(2 * 300, 128);                      // stereo 8-bit, silence is 128
  for (size_t I = 0; I < Bytes.size(); I += 2) Bytes[I] = uint8_t(I);  // noise on channel 1
  Bytes[1] = 192, Bytes[11] = 96, Bytes[599] = 129;     // the same on channel 2, -36 dB last
  const TCase Cases[] = {{"mono16.wav", test::MakeWav(1, 16, 44100, test::Words(Words)), 0},
                         {"stereo8.wav", test::MakeWav(2, 8, 8000, Bytes), 1},
                         {"mono24.wav", test::MakeWav(1, 24, 48000, test::Int24s(Int24s)), 0},
                         {"monofloat.wav", test::MakeWav(1, 32, 48000, test::Floats(Floats)), 0}};
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    test::WriteFileBytes(Dir / C.Name, C.Wav);
    TImpulseReport Report;
    const TFirFilter F = FilterFromImpulse(ReadImpulse(Dir / C.Name, C.Channel + 1), -30, "ir", Report);
    ASSERT_EQ(F.NbTaps, 2);
    EXPECT_EQ(F.Delays[0], 0);
    EXPECT_EQ(F.Coefs[0], 0.5f);
    EXPECT_EQ(F.Delays[1], 5);
    EXPECT_EQ(F.Coefs[1], -0.25f);
    EXPECT_EQ(Report.Kept, 2);
    EXPECT_EQ(Report.DroppedZero, 297);
    EXPECT_EQ(Report.Dropped, 1);
    EXPECT_LT(Report.LargestDropped, 0.02);
  }
}

TEST(FilterFromImpulse, RefusesResponsesNoFilterCanHold) {
  TImpulse Dense, Long, Silent;
  Dense.Samples.assign(1200, 0.5);
  Dense.Samples[0] = 1;
  for (int N = 0; N < 20000; ++N) Long.Append(N == 0 ? 1 : N == 16384 ? 0.5 : N == 17000 ? -0.75 : 0);
  Silent.Samples.assign(10, 0);
  const std::pair<TImpulse, const char*> Cases[] = {
      {Dense, "1200 samples of the impulse response reach -60 dB"},
      {Long, "at frame 17000, beyond the longest delay a filter can hold, 16383 frames; the WAV file itself can be the filter"},
      {Silent, "only silence"},
  };
  for (const auto& [Impulse, Expected] : Cases) {
    TImpulseReport Report;
    try {
      FilterFromImpulse(Impulse, -60, "ir", Report);
      ADD_FAILURE() << "no error for " << Expected;
    } catch (const EGeneralError& E) {
      EXPECT_NE(std::string(E.what()).find(Expected), std::string::npos) << E.what();
    }
  }
  // Read from a PCM file, such a sample ends the reading at once, whatever follows.
  const test::TScratchDir Dir;
  std::vector<int16_t> Words(40000, 0);
  Words[0] = 100, Words[18000] = 50, Words[30000] = 30000;
  test::WriteFileBytes(Dir / "long.wav", test::MakeWav(1, 16, 8000, test::Words(Words)));
  try {
    ReadImpulse(Dir / "long.wav", 1, -60);
    ADD_FAILURE() << "no error for a long PCM impulse";
  } catch (const EGeneralError& E) {
    EXPECT_NE(std::string(E.what()).find("long.wav: the impulse response reaches -60 dB re its peak at frame 18000"),
              std::string::npos) << E.what();
  }
}

}  // namespace
}  // namespace kestrum
