// Helpers shared by the tests.
#include "tests/TestUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <random>
#include <stdexcept>

#include "kestrum/wav/ReadWavFile.h"
#include "kestrum/wav/WavHeader.h"
#include "kestrum/wav/WriteWavFile.h"

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
  const TSampleFormat Format = Bits == 32 ? TSampleFormat::Float32 : SampleFormatOf(Bits == 16, Bits == 24, false);
  auto Encoded = TWavHeader::ForData({Format, Channels, Rate}, Data.size()).Encode();
  // Keep odd channel counts and widths as given, to test what the reader refuses.
  WriteU16LE(&Encoded[22], static_cast<uint16_t>(Channels));
  WriteU16LE(&Encoded[34], static_cast<uint16_t>(Bits));
  Bytes Wav = Encoded;
  Wav.insert(Wav.end(), Data.begin(), Data.end());
  return Wav;
}

Bytes MakeWav(const TAudioFormat& Format, const Bytes& Data) {
  Bytes Wav = TWavHeader::ForData(Format, Data.size()).Encode();
  Wav.insert(Wav.end(), Data.begin(), Data.end());
  return Wav;
}

Bytes WavSamples(const Bytes& File) {
  for (size_t Pos = 12; Pos + 8 <= File.size(); Pos += 8 + (ReadU32LE(&File[Pos + 4]) + 1ull) / 2 * 2) {
    if (!std::equal(File.begin() + Pos, File.begin() + Pos + 4, "data")) continue;
    const size_t Size = std::min<size_t>(ReadU32LE(&File[Pos + 4]), File.size() - Pos - 8);
    return Bytes(File.begin() + Pos + 8, File.begin() + Pos + 8 + static_cast<std::ptrdiff_t>(Size));
  }
  return {};
}

Bytes Words(const std::vector<int16_t>& Samples) {
  Bytes B;
  for (int16_t S : Samples) {
    B.push_back(static_cast<uint8_t>(S));
    B.push_back(static_cast<uint8_t>(static_cast<uint16_t>(S) >> 8));
  }
  return B;
}

Bytes Int24s(const std::vector<int32_t>& Samples) {
  Bytes B;
  for (int32_t S : Samples)
    for (int Shift : {0, 8, 16}) B.push_back(static_cast<uint8_t>(S >> Shift));
  return B;
}

Bytes Floats(const std::vector<float>& Samples) {
  Bytes B(4 * Samples.size());
  for (size_t I = 0; I < Samples.size(); ++I) WriteU32LE(&B[4 * I], std::bit_cast<uint32_t>(Samples[I]));
  return B;
}

void ReadFrame(TReadWavFile& Reader, float (&In)[2]) {
  const bool Stereo = Reader.Stereo;
  switch (Reader.SampleFormat()) {
    case TSampleFormat::Pcm8: Stereo ? Reader.ReadStereo8(In[0], In[1]) : Reader.ReadMono8(In[0]); break;
    case TSampleFormat::Pcm16: Stereo ? Reader.ReadStereo16(In[0], In[1]) : Reader.ReadMono16(In[0]); break;
    case TSampleFormat::Pcm24: Stereo ? Reader.ReadStereo24(In[0], In[1]) : Reader.ReadMono24(In[0]); break;
    case TSampleFormat::Float32: Stereo ? Reader.ReadStereoFloat(In[0], In[1]) : Reader.ReadMonoFloat(In[0]); break;
    default: break;  // read in bulk only
  }
}

void WriteFrame(TWriteWavFile& Writer, const float (&Out)[2]) {
  const bool Stereo = Writer.Stereo;
  const int32_t A = static_cast<int32_t>(Out[0]), B = static_cast<int32_t>(Out[1]);
  switch (Writer.SampleFormat()) {
    case TSampleFormat::Pcm8: Stereo ? Writer.WriteBytePair(A, B) : Writer.WriteByte(A); break;
    case TSampleFormat::Pcm16: Stereo ? Writer.WriteWordPair(A, B) : Writer.WriteWord(A); break;
    case TSampleFormat::Pcm24: Stereo ? Writer.WriteInt24Pair(A, B) : Writer.WriteInt24(A); break;
    case TSampleFormat::Float32: Stereo ? Writer.WriteFloatPair(Out[0], Out[1]) : Writer.WriteFloat(Out[0]); break;
    default: break;  // written in bulk only
  }
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

std::string DataFile(const std::string& Name) { return std::string(KESTRUM_TEST_DATA) + "/" + Name; }

}  // namespace kestrum::test
