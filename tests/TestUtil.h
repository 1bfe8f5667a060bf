// Helpers shared by the tests: a scratch folder, byte files and WAV images.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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

// A canonical 44-byte-header PCM WAV image holding Data as its sample bytes.
Bytes MakeWav(int Channels, int Bits, uint32_t Rate, const Bytes& Data);
// The sample bytes of a canonical WAV image: its data chunk, without the pad
// byte that follows data of odd size.
Bytes WavSamples(const Bytes& File);
// Sample bytes of 16-bit samples, little-endian.
Bytes Words(const std::vector<int16_t>& Samples);

// Path of a fixture in tests/data.
std::string DataFile(const std::string& Name);

}  // namespace kestrum::test
