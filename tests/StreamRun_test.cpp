// Runs whose source is a pipe fed in pieces of random sizes, most of which
// end inside a frame, against runs over the same bytes as a file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <thread>

#include "kestrum/base/Errors.h"
#include "kestrum/component/Kestrum.h"
#include "tests/TestUtil.h"
#include "kestrum/audio/Format.h"
#include "kestrum/wav/WavHeader.h"

namespace kestrum {
namespace {

using test::Bytes;

// The engines a run may take, and how the component is set for each.
struct TEngineCase {
  const char* Name;
  bool WavFilter;  // a WAV impulse response rather than a .fir
  TEngine Engine;
};

const TEngineCase kEngines[] = {
    {"reference", false, TEngine::Reference},
    {"fast", false, TEngine::Fast},
    {".fir through the FFT", false, TEngine::Fft},
    {"WAV filter, exact", true, TEngine::Exact},
    {"WAV filter, FFT", true, TEngine::Auto},
};

// Random samples of Format, the integers anywhere in their range, the floats
// within -1 to 1.
Bytes Signal(const TAudioFormat& Format, int32_t Frames, std::mt19937& R) {
  Bytes Data(static_cast<size_t>(Frames) * static_cast<size_t>(Format.FrameBytes()));
  std::uniform_real_distribution<double> Level(-1.0, 1.0);
  if (Format.Samples == TSampleFormat::Float32) {
    for (size_t I = 0; I < Data.size(); I += 4) WriteU32LE(&Data[I], std::bit_cast<uint32_t>(float(Level(R))));
  } else if (Format.Samples == TSampleFormat::Float64) {
    for (size_t I = 0; I < Data.size(); I += 8) WriteU64LE(&Data[I], std::bit_cast<uint64_t>(Level(R)));
  } else {
    for (uint8_t& B : Data) B = static_cast<uint8_t>(R() >> 24);
  }
  return Data;
}

// A WAV image whose header says it runs to the end of the stream.
Bytes UnknownLength(Bytes Wav) {
  WriteU32LE(&Wav[4], 0xFFFFFFFF);
  for (size_t At = 12; At + 8 <= Wav.size(); At += 8 + ReadU32LE(&Wav[At + 4]))
    if (std::memcmp(&Wav[At], "data", 4) == 0) {
      WriteU32LE(&Wav[At + 4], 0xFFFFFFFF);
      break;
    }
  return Wav;
}

// The target's bytes after a success, or the message after a failure.
struct TOutcome {
  Bytes Target;
  std::string Error;
  bool operator==(const TOutcome&) const = default;
};

// Runs the component over Source (a file, or a WAV image fed through a pipe
// in random pieces when Piped, with Source as its name in messages).
TOutcome Filtered(const TEngineCase& Engine, const std::string& Source, const Bytes* Piped, const std::string& Filter,
          const std::string& Target, uint32_t Seed) {
  TKestrum Kestrum(nullptr);
  Kestrum.SourceFile = Source;
  Kestrum.CibleFile = Target;
  Kestrum.FirFile = Filter;
  Kestrum.Engine = Engine.Engine;
  Kestrum.Threads = 2;
  int Pipe[2] = {-1, -1};
  std::thread Feeder;
  if (Piped) {
    if (pipe2(Pipe, O_CLOEXEC) != 0) throw std::runtime_error("test: no pipe");
    Kestrum.SourceDescriptor = Pipe[0];
    Feeder = std::thread([&, Seed] {
      // Pieces of 1 to 6000 bytes, each given time to be read on its own.
      std::mt19937 R(Seed);
      for (size_t Done = 0; Done < Piped->size();) {
        const size_t Piece = std::min<size_t>(Piped->size() - Done, 1 + R() % 6000);
        for (size_t Put = 0; Put < Piece;) {
          const ssize_t N = write(Pipe[1], Piped->data() + Done + Put, Piece - Put);
          if (N <= 0) return;
          Put += static_cast<size_t>(N);
        }
        Done += Piece;
        std::this_thread::sleep_for(std::chrono::microseconds(R() % 100));
      }
      close(Pipe[1]);
      Pipe[1] = -1;
    });
  }
  std::string Error;
  try {
    Kestrum.Execute();
  } catch (const EKestrum& E) {
    Error = E.what();
  }
  if (Piped) {
    close(Pipe[0]);  // a feeder the run left behind sees the pipe closed
    Feeder.join();
    if (Pipe[1] >= 0) close(Pipe[1]);
  }
  return {Error.empty() ? test::ReadFileBytes(Target) : Bytes(), Error};
}

TEST(StreamRun, APipeFedInPiecesGivesTheFileRunsBytes) {
  std::signal(SIGPIPE, SIG_IGN);  // a run that fails leaves its feeder a closed pipe
  const test::TScratchDir Dir;
  std::mt19937 R(28);
  // A .fir whose taps reach across the fast kernel's blocks, and a WAV
  // filter long enough for several FFT partitions.
  std::string Fir = "Random taps\n12\n0 0.125\n16383 -0.0625\n";
  for (int I = 0; I < 10; ++I) Fir += std::to_string(R() % 3000) + " " + std::to_string(int(R() % 200) - 100) + "e-3\n";
  test::WriteFileText(Dir / "taps.fir", Fir);
  std::vector<float> Ir(700);
  for (float& Tap : Ir) Tap = float(int(R() % 2001) - 1000) * 1e-6f;
  test::WriteFileBytes(Dir / "ir.wav", test::MakeWav(1, 32, 44100, test::Floats(Ir)));

  const TAudioFormat Formats[] = {{TSampleFormat::Pcm8, 1, 8000},     {TSampleFormat::Pcm16, 2, 44100},
                                  {TSampleFormat::Pcm24, 3, 48000},   {TSampleFormat::Pcm32, 1, 48000},
                                  {TSampleFormat::Float32, 2, 44100}, {TSampleFormat::Float64, 1, 96000}};
  constexpr int32_t kFrames = 20000;  // more than a fast kernel's block
  for (const TAudioFormat& Format : Formats) {
    Bytes Samples = Signal(Format, kFrames, R);
    // A float source, a second time with a NaN: every run fails alike.
    for (const bool NaN : {false, Format.Float()}) {
      if (NaN) std::fill_n(Samples.begin() + 15000 * Format.FrameBytes(), Format.Bits() / 8, 0xFF);
      const Bytes Wav = test::MakeWav(Format, Samples);
      const Bytes Live = UnknownLength(Wav);
      test::WriteFileBytes(Dir / "in.wav", Wav);
      for (const TEngineCase& Engine : kEngines) {
        SCOPED_TRACE(testing::Message() << Format.Bits() << "-bit" << (Format.Float() ? " float" : "") << ", "
                                        << Format.Channels << " channels, " << Engine.Name << (NaN ? ", a NaN" : ""));
        const std::string Filter = Dir / (Engine.WavFilter ? "ir.wav" : "taps.fir");
        const TOutcome File = Filtered(Engine, Dir / "in.wav", nullptr, Filter, Dir / "file.wav", 0);
        if (NaN)
          EXPECT_NE(File.Error.find("in.wav: frame 15000 holds a sample that is not a finite number"),
                    std::string::npos) << File.Error;
        else
          ASSERT_EQ(test::WavSamples(File.Target).size(), size_t{kFrames} * size_t(Format.FrameBytes())) << File.Error;
        // The FFT engine takes its live plan for a pipe, whose last bits are
        // its own: then a pipe gives the bytes of any other cut of it.
        const bool LivePlan = Engine.Engine == TEngine::Fft || Engine.Engine == TEngine::Auto;
        const TOutcome Want = LivePlan ? Filtered(Engine, Dir / "in.wav", &Live, Filter, Dir / "want.wav", R()) : File;
        // Its length declared, a stream is read as the file is.
        const TOutcome Declared = Filtered(Engine, Dir / "in.wav", &Wav, Filter, Dir / "declared.wav", R());
        EXPECT_EQ(Declared.Error, File.Error);
        if (!LivePlan) {
          EXPECT_TRUE(Declared == File);
        }
        EXPECT_TRUE(test::WavSamples(Declared.Target) == test::WavSamples(Want.Target));
        // Of unknown length, it is filtered as it arrives.
        const TOutcome Stream = Filtered(Engine, Dir / "in.wav", &Live, Filter, Dir / "live.wav", R());
        EXPECT_EQ(Stream.Error, File.Error);
        EXPECT_TRUE(test::WavSamples(Stream.Target) == test::WavSamples(Want.Target));
      }
    }
  }
}

}  // namespace
}  // namespace kestrum
