// Tests the reading of FIR filter files, mostly from text.
#include "kestrum/filter/FirFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kestrum/base/Errors.h"
#include "tests/TestUtil.h"

namespace kestrum {
namespace {

using namespace std::string_literals;

TFirFilter Read(const std::string& Text) {
  TFirFilter Filter;
  TFirFileReader Reader = TFirFileReader::FromText(Text, "f.fir");
  Reader.ReadHead(Filter);
  Reader.ReadTaps(Filter);
  return Filter;
}

// The error of type E that Action throws, or none.
template <class E, class F> std::optional<E> ErrorOf(F Action) {
  try {
    Action();
  } catch (const E& Error) {
    return Error;
  }
  return std::nullopt;
}

// The message of the content error that reading Text raises.
std::string ContentError(const std::string& Text) {
  const auto Error = ErrorOf<EInOutError>([&] { Read(Text); });
  if (!Error) return "no error";
  EXPECT_EQ(Error->ErrorCode(), 0);
  return Error->what();
}

TEST(FirFile, ReadsTheThreeTapExample) {
  const TFirFilter Filter = Read("Smoothing, three taps\n3\n0 0.25\n1 0.5\n2 0.25\n");
  EXPECT_EQ(Filter.FilterComment, "Smoothing, three taps");
  ASSERT_EQ(Filter.NbTaps, 3);
  EXPECT_EQ(std::vector<int32_t>(Filter.Delays.begin(), Filter.Delays.begin() + 3),
            (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(std::vector<float>(Filter.Coefs.begin(), Filter.Coefs.begin() + 3),
            (std::vector<float>{0.25f, 0.5f, 0.25f}));
}

TEST(FirFile, KeepsTheFirstLineWholeAsTheComment) {
  const struct { const char* Text; const char* Comment; } Cases[] = {
      {"Lowpass\r\n0\r\n", "Lowpass"},
      {"\n0\n", ""},
      {"\r\n0\n", ""},
      {" \t both sides  \n0\n", " \t both sides  "},
      {"one CR only\r\r\n0\n", "one CR only\r"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Text);
    EXPECT_EQ(Read(Case.Text).FilterComment, Case.Comment);
  }
}

TEST(FirFile, ReadsTheSameTapsWhateverTheLayout) {
  const char* Cases[] = {
      "c\n2\n0 0.5\n7 -0.25\n",
      "c\r\n2\r\n0 0.5\r\n7 -0.25\r\n",
      "c\n2 taps\n0 0.5 centre\n7 -0.25 echo\n",
      "c\n\n \t\n2\n0\t0.5\n\n\n7 -0.25",
      "c\n2\n0\n0.5\n  7\r\n\r\n-0.25\nanything here\n1x y z\n",
  };
  for (const char* Text : Cases) {
    SCOPED_TRACE(Text);
    const TFirFilter Filter = Read(Text);
    ASSERT_EQ(Filter.NbTaps, 2);
    EXPECT_EQ(Filter.Delays[0], 0);
    EXPECT_EQ(Filter.Delays[1], 7);
    EXPECT_EQ(Filter.Coefs[0], 0.5f);
    EXPECT_EQ(Filter.Coefs[1], -0.25f);
  }
}

TEST(FirFile, ReadsNoTapsForACountOfZeroOrLess) {
  for (const char* Count : {"0", "-1", "-2147483648"}) {
    SCOPED_TRACE(Count);
    const TFirFilter Filter = Read(std::string("c\n") + Count + "\nnot a tap\n");
    EXPECT_EQ(Filter.NbTaps, std::stol(Count));
    EXPECT_EQ(Filter.Delays[0], 0);
  }
}

TEST(FirFile, StoresDelaysAsWritten) {
  const TFirFilter Filter = Read("c\n3\n-7 1\n2147483647 1\n-2147483648 1\n");
  EXPECT_EQ(Filter.Delays[0], -7);
  EXPECT_EQ(Filter.Delays[1], INT32_MAX);
  EXPECT_EQ(Filter.Delays[2], INT32_MIN);
}

TEST(FirFile, WarnsAboutFiltersThatAreValidButOdd) {
  const std::string Silent = "the filter has no taps and the output is silent";
  const struct {
    const char* What;
    std::string Text;
    std::vector<std::string> Warnings;
  } Cases[] = {
      {"a plain filter", "c\n2 taps\n0 0.5\n16383 0.5\n", {}},
      {"no taps", "c\n0\n", {"f.fir, line 2: the tap count is 0: " + Silent}},
      {"a negative count", "c\n\n-3\n", {"f.fir, line 3: the tap count is -3: " + Silent}},
      {"a missing count line", "nocount\r\n0 0.5\r\n1 0.5\r\n",
       {"f.fir, line 2: the tap count is 0: " + Silent,
        "f.fir, line 2: the tap count line '0 0.5' holds more than one number; is the tap count line missing?"}},
      {"delays outside the history",
       "c\n2\n22050 1\n-1 1\n",
       {"f.fir, line 3: delay 22050 (tap 1 of 2) is outside 0 to 16383: it is taken modulo 16384 and 5666 is used",
        "f.fir, line 4: delay -1 (tap 2 of 2) is outside 0 to 16383: it is taken modulo 16384 and 16383 is used"}},
      {"many such delays: three, then a count", "c\n5\n-1 1\n-2 1\n-3 1\n-4 1\n16384 1\n",
       {"f.fir, line 3: delay -1 (tap 1 of 5) is outside 0 to 16383: it is taken modulo 16384 and 16383 is used",
        "f.fir, line 4: delay -2 (tap 2 of 5) is outside 0 to 16383: it is taken modulo 16384 and 16382 is used",
        "f.fir, line 5: delay -3 (tap 3 of 5) is outside 0 to 16383: it is taken modulo 16384 and 16381 is used",
        "f.fir: 2 more taps have delays outside 0 to 16383"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    TFirFilter Filter;
    TFirFileReader Reader = TFirFileReader::FromText(C.Text, "f.fir");
    Reader.ReadHead(Filter);
    std::vector<std::string> Warnings = Reader.TakeWarnings();
    Reader.ReadTaps(Filter);
    for (std::string& W : Reader.TakeWarnings()) Warnings.push_back(std::move(W));
    EXPECT_EQ(Warnings, C.Warnings);
    EXPECT_TRUE(Reader.TakeWarnings().empty());
  }
}

TEST(FirFile, RoundsCoefficientsOnceToTheNearestSingle) {
  const struct { const char* Token; float Expected; } Cases[] = {
      {"0.1", 0.1f},
      {".5", 0.5f},
      {"1.", 1.0f},
      {"-1", -1.0f},
      {"2.5E+1", 25.0f},
      {"3.4028235e38", FLT_MAX},
      {"1E-40", 0x1.16c2p-133f},  // subnormal
      {"1e-45", 0x1p-149f},       // smallest subnormal
      {"1e-46", 0.0f},
      {"-1e-50", -0.0f},
      {"100000e-51", 0.0f},
      {"0.000000000000000000000000000000000000000000000001e1", 0.0f},
      {"1e-99999999999999999999999", 0.0f},
      // Just above the midpoint of 1 and the next single; through double it
      // would land on the midpoint and round down to 1.
      {"1.00000005960464477539062500001", 0x1.000002p+0f},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Token);
    const float Coef = Read(std::string("c\n1\n0 ") + Case.Token + "\n").Coefs[0];
    EXPECT_EQ(std::memcmp(&Coef, &Case.Expected, sizeof Coef), 0) << Coef;
  }
}

TEST(FirFile, RefusesCoefficientsBeyondSinglePrecision) {
  for (const char* Token : {"1e39", "-1e39", "3.40282357e38", "0.00001e44",
                            "1000000000000000000000000000000000000000000e-2", "1e99999999999999999999",
                            "10e9223372036854775807", "0.1e9223372036854775807"}) {
    SCOPED_TRACE(Token);
    const auto Error = ErrorOf<EMathError>([&] { Read(std::string("c\n1\n\n0 ") + Token + "\n"); });
    ASSERT_TRUE(Error);
    EXPECT_EQ(Error->what(), "f.fir, line 4: coefficient " + std::string(Token) +
                                 " (tap 1 of 1) is beyond single precision");
  }
}

TEST(FirFile, AcceptsAtMost1000Taps) {
  std::string Text = "c\n1000\n";
  for (int I = 0; I < 1000; ++I) Text += std::to_string(I) + " 1\n";
  EXPECT_EQ(Read(Text).Delays[999], 999);
  EXPECT_EQ(ContentError("c\n\n1001\n0 1\n"), "f.fir, line 3: 1001 taps, at most 1000 are supported");
}

TEST(FirFile, RefusesCoefficientsThatAreNotPlainDecimals) {
  for (const char* Token : {"abc", "inf", "nan", "+1", "1,5", "0x1p3", "1e", "1e+", "-", ".", "e5", "1.5.2", "1f"}) {
    SCOPED_TRACE(Token);
    EXPECT_EQ(ContentError(std::string("c\n1\n0 ") + Token + "\n"),
              "f.fir, line 3: expected a coefficient (tap 1 of 1), found '" + std::string(Token) + "'");
  }
}

TEST(FirFile, RefusesBadContentNamingTheFileAndLine) {
  const struct { std::string Text; const char* Message; } Cases[] = {
      {"no line end", "f.fir, line 1: expected a tap count, found end of file"},
      {"c\n\n", "f.fir, line 3: expected a tap count, found end of file"},
      {"c\n3taps\n", "f.fir, line 2: expected a tap count, found '3taps'"},
      {"c\n+3\n", "f.fir, line 2: expected a tap count, found '+3'"},
      {"c\n2147483648\n", "f.fir, line 2: tap count 2147483648 does not fit in 32 bits"},
      {"c\n5\n0 1\n1 2\n", "f.fir, line 5: expected a delay (tap 3 of 5), found end of file"},
      {"c\n2\n0 1\n1", "f.fir, line 4: expected a coefficient (tap 2 of 2), found end of file"},
      {"c\n2\n0 1\n\n1.5 1\n", "f.fir, line 5: expected a delay (tap 2 of 2), found '1.5'"},
      {"c\n1\n-2147483649 1\n", "f.fir, line 3: delay -2147483649 (tap 1 of 1) does not fit in 32 bits"},
      {"c\n1\n0 ab\0\x1b[2J\n"s, "f.fir, line 3: expected a coefficient (tap 1 of 1), found 'ab\\x00\\x1b[2J'"},
      {"c\n" + std::string(5000, '1') + "\n", "f.fir, line 2: line longer than 4096 bytes; not a filter file"},
      {"RIFF\x24\0\0\0WAVEfmt \n"s, "f.fir is a WAV file, not a filter file; the order is SOURCE TARGET FILTER"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Text);
    EXPECT_EQ(ContentError(Case.Text), Case.Message);
  }
}

TEST(FirFile, ReadsAFileAndReportsOneItCannotRead) {
  const test::TScratchDir Scratch;
  const std::filesystem::path& Dir = Scratch.Path();
  const std::string Name = (Dir / "smooth.fir").string();
  std::ofstream(Name, std::ios::binary) << "Smooth\r\n1\r\n3 0.5\r\n";
  TFirFilter Filter;
  TFirFileReader Reader = TFirFileReader::FromFile(Name);
  Reader.ReadHead(Filter);
  Reader.ReadTaps(Filter);
  EXPECT_EQ(Filter.FilterComment, "Smooth");
  EXPECT_EQ(Filter.Delays[0], 3);

  const std::string Missing = (Dir / "missing.fir").string();
  const auto NotFound = ErrorOf<EInOutError>([&] { TFirFileReader::FromFile(Missing); });
  ASSERT_TRUE(NotFound);
  EXPECT_EQ(NotFound->ErrorCode(), ENOENT);
  EXPECT_EQ(NotFound->what(), "cannot open '" + Missing + "' for reading: " + std::strerror(ENOENT));

  const auto NotAFile = ErrorOf<EInOutError>([&] {
    TFirFilter Read;
    TFirFileReader::FromFile(Dir.string()).ReadHead(Read);
  });
  ASSERT_TRUE(NotAFile);
  EXPECT_NE(NotAFile->ErrorCode(), 0);  // EISDIR on Linux, from the read
  EXPECT_NE(std::string(NotAFile->what()).find("'" + Dir.string() + "'"), std::string::npos);
}

TEST(FirFile, ReadsNoFurtherThanItsLastTap) {
  // /dev/zero is one endless line; a FIFO whose writer stays open blocks a
  // read beyond what was written.
  const auto Zero = ErrorOf<EInOutError>([] {
    TFirFilter Filter;
    TFirFileReader::FromFile("/dev/zero").ReadHead(Filter);
  });
  ASSERT_TRUE(Zero);
  EXPECT_STREQ(Zero->what(), "/dev/zero, line 1: line longer than 4096 bytes; not a filter file");

  const test::TScratchDir Dir;
  const std::string Fifo = Dir / "fifo";
  ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
  std::atomic<bool> Done{false}, WaitedInVain{false};
  std::thread Writer([&] {
    const int Fd = open(Fifo.c_str(), O_WRONLY);
    const std::string Text = "Two\n2\n0 0.5\n1 0.5\n";
    EXPECT_EQ(write(Fd, Text.data(), Text.size()), static_cast<ssize_t>(Text.size()));
    // Open and silent until the taps are read, or for five seconds.
    for (int Tries = 0; !Done && Tries < 500; ++Tries) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    WaitedInVain = !Done;
    close(Fd);
  });
  TFirFilter Filter;
  TFirFileReader Reader = TFirFileReader::FromFile(Fifo);
  Reader.ReadHead(Filter);
  Reader.ReadTaps(Filter);
  Done = true;
  Writer.join();
  EXPECT_FALSE(WaitedInVain);
  EXPECT_EQ(Filter.Coefs[1], 0.5f);
}

}  // namespace
}  // namespace kestrum
