// Helpers shared by the tests: a scratch folder, byte files and WAV images.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace kestrum {
struct TAudioFormat;
class TReadWavFile;
class TWriteWavFile;
}  // namespace kestrum

namespace kestrum::test {

using Bytes = std::vector<uint8_t>;

// A fresh folder under the system's temporary folder, removed with the object.
class TScratchDir {
public:
  TScratchDir();
  ~TScratchDir();
  std::string operator/(const std::string& Name) const { return (FPath / Name).string(); }
  const std::filesystem::path& Path() const { return FPath; }
  // Names of the files in the folder, or in its subfolder Sub, sorted.
  std::vector<std::string> Files(const std::string& Sub = "") const;

private:
  std::filesystem::path FPath;
};

// A FIFO at Name into which a thread writes Data, and then closes it, once a
// reader opens it. The destructor unblocks the thread if no reader came.
class TFifoFeeder {
public:
  TFifoFeeder(std::string Name, Bytes Data);
  ~TFifoFeeder();

private:
  std::string FName;
  std::thread FThread;
};

Bytes ReadFileBytes(const std::string& Name);
void WriteFileBytes(const std::string& Name, const Bytes& Data);
void WriteFileText(const std::string& Name, const std::string& Text);

// A WAV image with the header the writer writes, holding Data as its sample
// bytes: PCM for 8, 16 and 24 bits, float for 32, other widths as 8-bit PCM
// with that width in the header.
Bytes MakeWav(int Channels, int Bits, uint32_t Rate, const Bytes& Data);
// A WAV image of Format, as the writer writes it, holding Data.
Bytes MakeWav(const TAudioFormat& Format, const Bytes& Data);
// The sample bytes of a WAV image: its data chunk, without the pad byte that
// follows data of odd size; empty when it has none.
Bytes WavSamples(const Bytes& File);
// Sample bytes of 16-bit, 24-bit and float samples, little-endian; 24-bit
// samples keep the low 24 bits of each value.
Bytes Words(const std::vector<int16_t>& Samples);
Bytes Int24s(const std::vector<int32_t>& Samples);
Bytes Floats(const std::vector<float>& Samples);

// One frame through the fetch or append operation that matches the
// reader's or writer's format (the second sample only in stereo); integer
// formats take the values as integers.
void ReadFrame(TReadWavFile& Reader, float (&In)[2]);
void WriteFrame(TWriteWavFile& Writer, const float (&Out)[2]);

// Path of a fixture in tests/data.
std::string DataFile(const std::string& Name);

}  // namespace kestrum::test
