// Bytes per second of copying a 100 MB 16-bit stereo WAV file through the
// reader and writer, frame by frame and in bulk, beside a plain file copy.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "kestrum/wav/ReadWavFile.h"
#include "kestrum/wav/WriteWavFile.h"

namespace kestrum {
namespace {

const std::filesystem::path kDir =
    std::filesystem::temp_directory_path() / ("kestrum-bench-" + std::to_string(std::random_device{}()));
const std::string kSource = (kDir / "in.wav").string();
const std::string kTarget = (kDir / "out.wav").string();
constexpr int32_t kFrames = 100'000'000 / 4;

void MakeSource() {
  TWriteWavFile Writer;
  Writer.FileName = kSource;
  Writer.SetActive(true);
  Writer.Stereo = Writer.Bits16 = true;
  Writer.Frequency = 44100;
  std::vector<uint8_t> Noise(1 << 20);
  std::mt19937 Random(3);
  for (uint8_t& B : Noise) B = static_cast<uint8_t>(Random());
  for (int64_t Left = int64_t{kFrames} * 4; Left > 0; Left -= static_cast<int64_t>(Noise.size()))
    Writer.WriteBytes(Noise.data(), static_cast<size_t>(std::min<int64_t>(Left, static_cast<int64_t>(Noise.size()))));
  Writer.Close();
}

// Runs Copy(Reader, Writer) on the source and the target once per iteration.
template <class F>
void CopyWav(benchmark::State& State, F Copy) {
  for (auto _ : State) {
    TReadWavFile Reader;
    Reader.FileName = kSource;
    Reader.SetActive(true);
    TWriteWavFile Writer;
    Writer.FileName = kTarget;
    Writer.SetActive(true);
    Writer.Stereo = Writer.Bits16 = true;
    Writer.Frequency = Reader.Frequency;
    Copy(Reader, Writer);
    Writer.Close();
  }
  State.SetBytesProcessed(State.iterations() * static_cast<int64_t>(std::filesystem::file_size(kSource)));
}

void FrameByFrame(benchmark::State& State) {
  CopyWav(State, [](TReadWavFile& Reader, TWriteWavFile& Writer) {
    for (int32_t I = 0; I < Reader.NSamples; ++I) {
      float Left, Right;
      Reader.ReadStereo16(Left, Right);
      Writer.WriteWordPair(static_cast<int32_t>(Left), static_cast<int32_t>(Right));
    }
  });
}

void InBulk(benchmark::State& State) {
  CopyWav(State, [](TReadWavFile& Reader, TWriteWavFile& Writer) {
    std::vector<uint8_t> Block(32768 * 4);
    for (int32_t Done = 0; Done < Reader.NSamples; Done += 32768) {
      const int32_t Count = std::min(32768, Reader.NSamples - Done);
      Reader.ReadFrames(Block.data(), Count);
      Writer.WriteBytes(Block.data(), static_cast<size_t>(Count) * 4);
    }
  });
}

// What cp does without copy offload: read and write 128 KiB at a time.
void PlainReadWrite(benchmark::State& State) {
  std::vector<char> Buffer(128 * 1024);
  for (auto _ : State) {
    const int In = open(kSource.c_str(), O_RDONLY);
    const int Out = open(kTarget.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (ssize_t Got; (Got = read(In, Buffer.data(), Buffer.size())) > 0;)
      if (write(Out, Buffer.data(), static_cast<size_t>(Got)) != Got) State.SkipWithError("write failed");
    close(In);
    close(Out);
  }
  State.SetBytesProcessed(State.iterations() * static_cast<int64_t>(std::filesystem::file_size(kSource)));
}

void CopyFile(benchmark::State& State) {
  for (auto _ : State)
    std::filesystem::copy_file(kSource, kTarget, std::filesystem::copy_options::overwrite_existing);
  State.SetBytesProcessed(State.iterations() * static_cast<int64_t>(std::filesystem::file_size(kSource)));
}

}  // namespace
}  // namespace kestrum

int main(int argc, char** argv) {
  using namespace kestrum;
  std::filesystem::create_directories(kDir);
  MakeSource();
  for (auto* B : {benchmark::RegisterBenchmark("WAV copy/frame by frame (ReadStereo16, WriteWordPair)", FrameByFrame),
                  benchmark::RegisterBenchmark("WAV copy/in bulk (ReadFrames, WriteBytes)", InBulk),
                  benchmark::RegisterBenchmark("WAV copy/plain read-write, 128 KiB", PlainReadWrite),
                  benchmark::RegisterBenchmark("WAV copy/std::filesystem::copy_file", CopyFile)})
    B->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(kDir);
}
