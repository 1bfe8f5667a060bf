// Helpers shared by the tests.
#include "tests/TestUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>

#include "wav/WavHeader.h"

namespace kestrum::test {

TScratchDir::TScratchDir() {
  std::random_device Seed;
  FPath = std::filesystem::temp_directory_path() /
          ("kestrum-test-" + std::to_string(Seed()) + std::to_string(Seed()));
  std::filesystem::create_directories(FPath);
}

TScratchDir::~TScratchDir() {
  std::error_code Ec;
  std::filesystem::remove_all(FPath, Ec);
}

std::vector<std::string> TScratchDir::Files(const std::string& Sub) const {
  std::vector<std::string> Names;
  for (const auto& Entry : std::filesystem::directory_iterator(FPath / Sub))
    Names.push_back(Entry.path().filename().string());
  std::sort(Names.begin(), Names.end());
  return Names;
}

Bytes ReadFileBytes(const std::string& Name) {
  std::ifstream In(Name, std::ios::binary);
  if (!In) throw std::runtime_error("test: cannot read " + Name);
  return Bytes(std::istreambuf_iterator<char>(In), {});
}

void WriteFileBytes(const std::string& Name, const Bytes& Data) {
  std::ofstream Out(Name, std::ios::binary);
  Out.write(reinterpret_cast<const char*>(Data.data()), static_cast<std::streamsize>(Data.size()));
}

void WriteFileText(const std::string& Name, const std::string& Text) {
  std::ofstream Out(Name, std::ios::binary);
  Out << Text;
}

Bytes MakeWav(int Channels, int Bits, uint32_t Rate, const Bytes& Data) {
  const auto Header = TWavHeader::ForFormat(Channels == 2, Bits == 16, Rate,
                                            WAV_HEADER_SIZE + Data.size());
  auto Encoded = Header.Encode();
  // Keep odd channel counts and widths as given, to test what the reader refuses.
  WriteU16LE(&Encoded[22], static_cast<uint16_t>(Channels));
  WriteU16LE(&Encoded[34], static_cast<uint16_t>(Bits));
  Bytes Wav(Encoded.size() + Data.size());
  std::copy(Encoded.begin(), Encoded.end(), Wav.begin());
  std::copy(Data.begin(), Data.end(), Wav.begin() + WAV_HEADER_SIZE);
  return Wav;
}

Bytes Words(const std::vector<int16_t>& Samples) {
  Bytes B;
  for (int16_t S : Samples) {
    B.push_back(static_cast<uint8_t>(S));
    B.push_back(static_cast<uint8_t>(static_cast<uint16_t>(S) >> 8));
  }
  return B;
}

TFifoFeeder::TFifoFeeder(std::string Name, Bytes Data) : FName(std::move(Name)) {
  if (mkfifo(FName.c_str(), 0600) != 0) throw std::runtime_error("test: cannot make FIFO " + FName);
  FThread = std::thread([this, Data = std::move(Data)] {
    const int Fd = open(FName.c_str(), O_WRONLY);
    for (size_t Done = 0; Fd >= 0 && Done < Data.size();) {
      const ssize_t N = write(Fd, Data.data() + Done, Data.size() - Done);
      if (N <= 0) break;
      Done += static_cast<size_t>(N);
    }
    if (Fd >= 0) close(Fd);
  });
}

TFifoFeeder::~TFifoFeeder() {
  const int Fd = open(FName.c_str(), O_RDONLY | O_NONBLOCK);  // lets a waiting open return
  FThread.join();
  if (Fd >= 0) close(Fd);
  unlink(FName.c_str());
}

Bytes WavSamples(const Bytes& File) {
  if (File.size() < WAV_HEADER_SIZE) return {};
  const size_t Size = std::min<size_t>(ReadU32LE(&File[40]), File.size() - WAV_HEADER_SIZE);
  return Bytes(File.begin() + WAV_HEADER_SIZE, File.begin() + WAV_HEADER_SIZE + static_cast<std::ptrdiff_t>(Size));
}

std::string DataFile(const std::string& Name) { return std::string(KESTRUM_TEST_DATA) + "/" + Name; }

}  // namespace kestrum::test
