// Tests of the WAV reader: header walking, refusals, block boundaries, silence.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <fstream>

#include <bit>
#include <csignal>
#include <thread>
#include <unistd.h>

#include <climits>
#include <iterator>
#include <optional>

#include "kestrum/base/Errors.h"
#include "kestrum/base/Stop.h"
#include "tests/TestUtil.h"
#include "kestrum/wav/ReadWavFile.h"

namespace kestrum {
namespace {

using test::Bytes;
using test::MakeWav;

// Bytes 0, 1, 2, ... 255, 0, 1, ... as sample data.
Bytes Ramp(size_t Count) {
  Bytes B(Count);
  for (size_t I = 0; I < Count; ++I) B[I] = static_cast<uint8_t>(I);
  return B;
}

class ReadWavFileTest : public ::testing::Test {
protected:
  // Opens Wav, written to a file, at StartSample.
  void Open(const Bytes& Wav, int32_t StartSample = 0) {
    Reader.SetActive(false);
    test::WriteFileBytes(Name, Wav);
    Reader.FileName = Name;
    Reader.StartSample = StartSample;
    Reader.SetActive(true);
  }
  float Mono8() {
    float S;
    Reader.ReadMono8(S);
    return S;
  }
  float Mono16() {
    float S;
    Reader.ReadMono16(S);
    return S;
  }

  test::TScratchDir Dir;
  std::string Name = Dir / "in.wav";
  TReadWavFile Reader;
};

TEST_F(ReadWavFileTest, TakesTheFormatFromTheHeader) {
  Open(MakeWav(2, 16, 44100, Ramp(10)));
  EXPECT_TRUE(Reader.Stereo);
  EXPECT_TRUE(Reader.Bits16);
  EXPECT_EQ(Reader.Frequency, 44100u);
  EXPECT_EQ(Reader.FrameBytes(), 4);
  EXPECT_EQ(Reader.NSamples, 2);  // 10 bytes: two whole frames
  EXPECT_EQ(Reader.State(), TFileState::fsOpen);
  float First, Second;
  Reader.ReadStereo16(First, Second);
  EXPECT_EQ(First, 0x0100);
  EXPECT_EQ(Second, 0x0302);
  Reader.SetActive(false);
  EXPECT_EQ(Reader.State(), TFileState::fsClosed);
}

TEST_F(ReadWavFileTest, DeliversSamplesAsSignedValues) {
  Open(MakeWav(2, 8, 8000, {0x7F, 0x80, 0xFF, 0x00}));
  float First, Second;
  Reader.ReadStereo8(First, Second);
  EXPECT_EQ(First, 127.0f);
  EXPECT_EQ(Second, -128.0f);
  Reader.ReadStereo8(First, Second);
  EXPECT_EQ(First, -1.0f);
  EXPECT_EQ(Second, 0.0f);

  Open(MakeWav(1, 16, 8000, {0x00, 0x80, 0xFF, 0x7F}));
  EXPECT_EQ(Mono16(), -32768.0f);
  EXPECT_EQ(Mono16(), 32767.0f);

  Open(MakeWav(2, 24, 8000, test::Int24s({8388607, -8388608, -1, 0})));
  Reader.ReadStereo24(First, Second);
  EXPECT_EQ(First, 8388607.0f);
  EXPECT_EQ(Second, -8388608.0f);
  Reader.ReadStereo24(First, Second);
  EXPECT_EQ(First, -1.0f);

  // Float samples come bit for bit, whatever they hold.
  const uint32_t Floats[] = {0x80000000, 0x00000001, 0x7F800000, 0xFFC00001, 0x3FC00000};
  Bytes Data(sizeof Floats);
  for (size_t I = 0; I < std::size(Floats); ++I) WriteU32LE(&Data[4 * I], Floats[I]);
  Open(MakeWav(1, 32, 8000, Data));
  for (uint32_t Bits : Floats) {
    float S;
    Reader.ReadMonoFloat(S);
    EXPECT_EQ(std::bit_cast<uint32_t>(S), Bits);
  }
}

TEST_F(ReadWavFileTest, ReadsAWordThatSpansTwoBlocks) {
  // File bytes 4096 and 4097 form one sample: the last byte of block 0 and
  // the first of block 1.
  Open(MakeWav(1, 16, 8000, Ramp(6000)), (4096 - 44) / 2);
  EXPECT_EQ(Mono16(), static_cast<int16_t>((4097 - 44) % 256 << 8 | (4096 - 44) % 256));
}

TEST_F(ReadWavFileTest, PlacesTheStartFrameInAnyBlock) {
  struct Case {
    const char* What;
    size_t DataBytes;
    int32_t StartSample;
    int Expected;  // first sample byte delivered, or -1 for silence
  };
  const Case Cases[] = {
      {"inside block 0", 5000, 1000, 1000 % 256},
      {"first byte of block 1", 5000, 4053, 4053 % 256},
      {"inside the last, short block", 5000 - 44, 4456, 4456 % 256},
      {"last byte of the file", 5000 - 44, 5000 - 45, (5000 - 45) % 256},
      {"just past the end of a 4097-byte file", 4097 - 44, 4053, -1},
      {"far past the end", 100, 1000000, -1},
      {"where 32-bit offsets would wrap", 100, INT32_MAX, -1},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.What);
    Open(MakeWav(1, 8, 8000, Ramp(C.DataBytes)), C.StartSample);
    const float Expected = C.Expected < 0 ? -128.0f : static_cast<int8_t>(C.Expected);
    EXPECT_EQ(Mono8(), Expected);
  }
}

TEST_F(ReadWavFileTest, DeliversSilencePastTheEndOfTheData) {
  Open(MakeWav(1, 8, 8000, {0x10}));
  EXPECT_EQ(Mono8(), 16.0f);
  EXPECT_EQ(Mono8(), -128.0f);  // the byte 0x80, level 0
  EXPECT_EQ(Mono8(), -128.0f);

  Open(MakeWav(1, 16, 8000, {0x05, 0x00, 0x07}));  // a trailing half sample
  EXPECT_EQ(Reader.NSamples, 1);
  EXPECT_EQ(Mono16(), 5.0f);
  EXPECT_EQ(Mono16(), 0.0f);
}

TEST_F(ReadWavFileTest, WalksPastOtherChunksAndStopsAtTheDataChunksEnd) {
  // RIFF, WAVE, a LIST chunk of odd size (padded), an 18-byte fmt chunk, the
  // data chunk, then a trailing chunk whose bytes must never become samples.
  Bytes Wav = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  auto Chunk = [&Wav](const char* Id, Bytes Body) {
    Wav.insert(Wav.end(), Id, Id + 4);
    const uint32_t Size = static_cast<uint32_t>(Body.size());
    for (int I = 0; I < 4; ++I) Wav.push_back(static_cast<uint8_t>(Size >> 8 * I));
    Wav.insert(Wav.end(), Body.begin(), Body.end());
    if (Size & 1) Wav.push_back(0);
  };
  Chunk("LIST", Bytes(4999, 0x55));
  Chunk("fmt ", {1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0, 0, 0});
  Chunk("data", {0x01, 0x00, 0xFF, 0xFF});
  Chunk("junk", {0x34, 0x12});
  Open(Wav);
  EXPECT_EQ(Reader.Frequency, 8000u);
  EXPECT_EQ(Reader.NSamples, 2);
  EXPECT_EQ(Mono16(), 1.0f);
  EXPECT_EQ(Mono16(), -1.0f);
  EXPECT_EQ(Mono16(), 0.0f);
}

TEST_F(ReadWavFileTest, CountsOnlyTheDataTheFileHolds) {
  Bytes Wav = MakeWav(1, 16, 8000, Ramp(20));
  Wav[40] = Wav[41] = Wav[42] = Wav[43] = 0xFF;  // size left by a streaming writer
  Open(Wav);
  EXPECT_EQ(Reader.NSamples, 10);
}

TEST_F(ReadWavFileTest, RefusesWhatItCannotRead) {
  const Bytes Good = MakeWav(1, 16, 8000, Ramp(8));
  auto With = [&Good](size_t Offset, Bytes Patch) {
    Bytes Wav = Good;
    std::copy(Patch.begin(), Patch.end(), Wav.begin() + static_cast<long>(Offset));
    return Wav;
  };
  struct Case {
    const char* What;
    Bytes Wav;
    const char* Message;
  };
  const Case Cases[] = {
      {"text", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '\n'},
       "not a WAV file"},
      {"RIFF of another form", With(8, {'A', 'V', 'I', ' '}), "not a WAV file"},
      {"a truncated header", Bytes(Good.begin(), Good.begin() + 30), "file ends inside its header"},
      {"no data chunk", Bytes(Good.begin(), Good.begin() + 36), "no 'data' chunk"},
      {"data before fmt", With(12, {'d', 'a', 't', 'a'}), "no 'fmt ' chunk before the 'data' chunk"},
      {"a short fmt chunk", With(16, {12}), "'fmt ' chunk is 12 bytes, expected at least 16"},
      {"16-bit floating point", With(20, {3}), "16 bits per sample (floating point); only 8-, 16-, 24- and 32-bit PCM"},
      {"A-law", With(20, {6}), "format tag 6 (A-law) is not PCM or float"},
      {"65 channels", With(22, {65}), "65 channels; from 1 to 64 can be read"},
      {"no channel", With(22, {0}), "0 channels"},
      {"20 bits", With(34, {20}), "20 bits per sample; only 8-, 16-, 24- and 32-bit PCM and 32- and 64-bit float"},
      {"64-bit integers", With(34, {64}), "64 bits per sample; only"},
      {"3 channels, frames unpacked", With(22, {3, 0, 0x40, 0x1F, 0, 0, 0, 0, 0, 0, 8, 0, 16}),
       "block align 8, expected 6 for 16-bit samples, 3 channels"},
      {"24 bits in 4-byte frames", With(32, {4, 0, 24}), "block align 4, expected 3 for 24-bit mono"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.What);
    TReadWavFile Fresh;
    test::WriteFileBytes(Name, C.Wav);
    Fresh.FileName = Name;
    try {
      Fresh.SetActive(true);
      ADD_FAILURE() << "no error";
    } catch (const EInOutError& E) {
      EXPECT_NE(std::string(E.what()).find(Name + ": " + C.Message), std::string::npos) << E.what();
    }
    EXPECT_EQ(Fresh.State(), TFileState::fsClosed);
    EXPECT_TRUE(Fresh.Active());
  }
}

TEST_F(ReadWavFileTest, ReportsAMissingFileWithItsName) {
  Reader.FileName = Dir / "missing.wav";
  try {
    Reader.SetActive(true);
    FAIL() << "no error";
  } catch (const EInOutError& E) {
    EXPECT_EQ(E.ErrorCode(), ENOENT);
    EXPECT_EQ(std::string(E.what()),
              "cannot open '" + Reader.FileName + "' for reading: No such file or directory");
  }
  EXPECT_EQ(Reader.State(), TFileState::fsClosed);
}

TEST_F(ReadWavFileTest, OpensNothingForABlankName) {
  Reader.FileName = " \t ";
  Reader.SetActive(true);
  EXPECT_EQ(Reader.State(), TFileState::fsClosed);
  EXPECT_EQ(Mono8(), -128.0f);
}

TEST_F(ReadWavFileTest, DoesNothingWhenActiveIsSetTwice) {
  Open(MakeWav(1, 8, 8000, {1, 2, 3}));
  EXPECT_EQ(Mono8(), 1.0f);
  Reader.SetActive(true);  // no re-read, no re-positioning
  EXPECT_EQ(Mono8(), 2.0f);
  Reader.SetActive(false);
  Reader.SetActive(true);  // re-opened: back at the start frame
  EXPECT_EQ(Mono8(), 1.0f);
}

TEST_F(ReadWavFileTest, DeliversSilenceWhenTheFileShrinksAfterOpening) {
  const Bytes Data = Ramp(20000);
  Open(MakeWav(1, 8, 8000, Data));
  TReadWavFile Bulk;
  Bulk.FileName = Name;
  Bulk.SetActive(true);
  ASSERT_EQ(truncate(Name.c_str(), 44 + 6000), 0);  // beyond the first block, already read
  Bytes Fetched, Read(Data.size());
  for (size_t I = 0; I < Data.size(); ++I) Fetched.push_back(static_cast<uint8_t>(static_cast<int>(Mono8())));
  Bulk.ReadFrames(Read.data(), static_cast<int32_t>(Read.size()));
  Bytes Expected(Data.begin(), Data.begin() + 6000);
  Expected.resize(Data.size(), 0x80);  // silence, level 0, as past any end
  EXPECT_EQ(Fetched, Expected);
  EXPECT_EQ(Read, Expected);
}

TEST_F(ReadWavFileTest, ReadsAStreamToItsRealEnd) {
  // Writers that cannot seek back give 0xFFFFFFFF, 0 or (sox) 0x7FFFF000 as
  // the data size: the length is unknown until the end. A real size is the
  // most there is. Bulk, as it arrives, or a sample at a time: the same
  // frames, and a frame that the end cuts short is silence.
  const Bytes Data = test::Words({1, -2, 3, -4, 5, 6});
  const struct {
    uint32_t Declared;
    int32_t NSamples;
    size_t Frames;
  } Cases[] = {{0xFFFFFFFFu, -1, 6}, {0u, -1, 6}, {0x7FFFF000u, -1, 6}, {4000u, 2000, 6}, {8u, 4, 4}, {7u, 3, 3}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Declared);
    Bytes Wav = MakeWav(1, 16, 8000, Data);
    WriteU32LE(&Wav[40], C.Declared);
    Wav.push_back(7);  // half a frame: dropped at the end
    for (const int Mode : {0, 1, 2}) {  // bulk, as it arrives, by fetches
      const bool Arrived = Mode == 1;
      const std::string Fifo = Dir / "stream";
      const test::TFifoFeeder Feeder(Fifo, Wav);
      TReadWavFile Stream;
      Stream.FileName = Fifo;
      Stream.SetActive(true);
      EXPECT_TRUE(Stream.Streamed());
      EXPECT_EQ(Stream.NSamples, C.NSamples);
      Bytes Got(2 * 8);
      size_t Frames = 0;
      if (Arrived) {
        while (const int32_t N = Stream.ReadArrived(Got.data() + 2 * Frames, static_cast<int32_t>(8 - Frames)))
          Frames += static_cast<size_t>(N);
      } else if (Mode == 0) {
        Stream.ReadFrames(Got.data(), 8);  // silence past the end
      } else {
        Got.clear();
        for (int I = 0; I < 8; ++I) {
          float Sample;
          Stream.ReadMono16(Sample);
          const Bytes Word = test::Words({static_cast<int16_t>(Sample)});
          Got.insert(Got.end(), Word.begin(), Word.end());
        }
      }
      if (Arrived) Got.resize(2 * Frames);  // only the frames delivered
      Bytes Expected(Data.begin(), Data.begin() + static_cast<std::ptrdiff_t>(2 * C.Frames));
      if (!Arrived) Expected.resize(Got.size(), 0);  // then silence
      EXPECT_EQ(Got, Expected);
    }
  }
}

TEST_F(ReadWavFileTest, OpensAStreamBeforeItsFirstFrameArrives) {
  // A live source's header comes first; its frames come later, and the run
  // sets itself up meanwhile: opening waits for the header only.
  Bytes Wav = MakeWav(1, 16, 8000, test::Words({1, -2, 3}));
  WriteU32LE(&Wav[40], 0xFFFFFFFFu);
  int Pipe[2];
  ASSERT_EQ(pipe(Pipe), 0);
  ASSERT_EQ(write(Pipe[1], Wav.data(), 44), 44);
  TReadWavFile Stream;
  Stream.Descriptor = Pipe[0];
  auto Opened = std::async(std::launch::async, [&] { Stream.SetActive(true); });
  const bool Early = Opened.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
  EXPECT_TRUE(Early) << "opening waited for the first frame";
  ASSERT_EQ(write(Pipe[1], Wav.data() + 44, Wav.size() - 44), static_cast<ssize_t>(Wav.size() - 44));
  close(Pipe[1]);
  Opened.get();
  Bytes Got(6);
  EXPECT_EQ(Stream.ReadArrived(Got.data(), 3), 3);
  EXPECT_EQ(Got, test::Words({1, -2, 3}));
  Stream.SetActive(false);
  close(Pipe[0]);
}

TEST_F(ReadWavFileTest, AStopEndsTheWaitForTheRestOfAFrame) {
  // The poll that found a frame's second byte vouches for one read only:
  // the read after it, for the rest of the frame, waits as usual, and a stop
  // ends that wait.
  Bytes Wav = MakeWav(2, 16, 8000, {});
  WriteU32LE(&Wav[40], 0xFFFFFFFFu);
  Wav.push_back(1);
  int Pipe[2];
  ASSERT_EQ(pipe(Pipe), 0);
  ASSERT_EQ(write(Pipe[1], Wav.data(), Wav.size()), static_cast<ssize_t>(Wav.size()));
  TReadWavFile Stream;
  Stream.Descriptor = Pipe[0];
  Stream.SetActive(true);
  ASSERT_EQ(write(Pipe[1], Wav.data(), 1), 1);
  EXPECT_TRUE(Stream.Ready());
  auto Reading = std::async(std::launch::async, [&] {
    uint8_t Frames[8];
    return Stream.ReadArrived(Frames, 2);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  RequestStop(SIGINT);
  const bool Ended = Reading.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
  close(Pipe[1]);  // else a read that missed the stop would wait for ever
  EXPECT_TRUE(Ended) << "the stop did not end the wait";
  EXPECT_THROW(Reading.get(), EStopped);
  ClearStop();
  close(Pipe[0]);
}

TEST_F(ReadWavFileTest, ReadsFramesInBulkAsTheFetchesWould) {
  const Bytes Data = Ramp(9000);
  Open(MakeWav(2, 16, 8000, Data), 3);
  Bytes Got(4 * 2300);
  Reader.ReadFrames(Got.data(), 100);
  Reader.ReadFrames(Got.data() + 400, 2200);  // crosses blocks and the end
  for (size_t I = 0; I < Got.size(); ++I) {
    const uint8_t Expected = 12 + I < Data.size() ? Data[12 + I] : 0;
    ASSERT_EQ(Got[I], Expected) << "byte " << I;
  }
}

// Files written by other tools: every frame the reader delivers must be the
// frame in the data chunk, whatever chunks stand around it.
TEST(ReadWavFile, ReadsFilesWrittenByOtherTools) {
  struct Case {
    const char* Name;
    bool Stereo;
    int Bits;  // 32: float
    uint32_t Frequency;
    int32_t Frames;
    uint16_t ValidBits = 0;  // when set, patched into the extensible format chunk first
  };
  const Case Cases[] = {
      {"sox_s16_stereo_list", true, 16, 44100, 1000},
      {"sox_u8_mono", false, 8, 8000, 800},
      {"ffmpeg_s16_mono", false, 16, 22050, 1500},
      {"ffmpeg_u8_stereo", true, 8, 11025, 1200},
      {"extensible_s16_stereo", true, 16, 96000, 2000},
      {"trailing_chunk_s16_mono", false, 16, 16000, 700},
      {"odd_u8_mono_trailing", false, 8, 8000, 501},
      {"odd_chunk_s16_mono", false, 16, 8000, 400},
      {"streamed_s16_mono", false, 16, 8000, 160},
      {"s24_mono", false, 24, 8000, 101},
      {"sox_s24_stereo", true, 24, 48000, 700},
      {"ffmpeg_s24_mono", false, 24, 44100, 900},
      {"ffmpeg_s24_mono", false, 24, 44100, 900, 20},  // 20 valid bits: still 24-bit samples
      {"float32_mono", false, 32, 8000, 100},
      {"sox_f32_stereo", true, 32, 22050, 500},
      {"ffmpeg_f32_stereo", true, 32, 32000, 800},
  };
  test::TScratchDir Dir;
  for (const Case& C : Cases) {
    SCOPED_TRACE(testing::Message() << C.Name << ", valid bits " << C.ValidBits);
    TReadWavFile Reader;
    Reader.FileName = test::DataFile(std::string(C.Name) + ".wav");
    if (C.ValidBits) {
      Bytes Wav = test::ReadFileBytes(Reader.FileName);
      WriteU16LE(&Wav[38], C.ValidBits);
      Reader.FileName = Dir / "patched.wav";
      test::WriteFileBytes(Reader.FileName, Wav);
    }
    Reader.SetActive(true);
    EXPECT_EQ(Reader.Stereo, C.Stereo);
    EXPECT_EQ(Reader.Bits16, C.Bits == 16);
    EXPECT_EQ(Reader.Bits24, C.Bits == 24);
    EXPECT_EQ(Reader.Float32, C.Bits == 32);
    EXPECT_EQ(Reader.Frequency, C.Frequency);
    ASSERT_EQ(Reader.NSamples, C.Frames);
    const Bytes Raw = test::ReadFileBytes(test::DataFile(std::string(C.Name) + ".raw"));
    // One frame more than the file holds: it must be silence.
    Bytes Expected = Raw;
    Expected.resize(Raw.size() + Reader.FrameBytes(), C.Bits == 8 ? 0x80 : 0x00);
    Bytes Got;
    for (int32_t I = 0; I <= C.Frames; ++I) {
      float In[2] = {0, 0};
      test::ReadFrame(Reader, In);
      for (int Channel = 0; Channel < (C.Stereo ? 2 : 1); ++Channel) {
        const Bytes Sample = C.Bits == 32 ? test::Floats({In[Channel]})
                             : C.Bits == 24 ? test::Int24s({static_cast<int32_t>(In[Channel])})
                                            : test::Words({static_cast<int16_t>(In[Channel])});
        Got.insert(Got.end(), Sample.begin(), Sample.begin() + C.Bits / 8);
      }
    }
    EXPECT_EQ(Got, Expected);
  }
}

TEST(ReadWavFile, RefusesUnreadableFilesWrittenByOtherTools) {
  const std::pair<const char*, const char*> Cases[] = {
      {"alaw_mono.wav", "format tag 6 (A-law) is not PCM or float"},
      {"not_a_wav.wav", "not a WAV file"},
      {"truncated_header.wav", "file ends inside its header"},
  };
  for (const auto& [Name, Message] : Cases) {
    SCOPED_TRACE(Name);
    TReadWavFile Reader;
    Reader.FileName = test::DataFile(Name);
    try {
      Reader.SetActive(true);
      ADD_FAILURE() << "no error";
    } catch (const EInOutError& E) {
      EXPECT_NE(std::string(E.what()).find(Message), std::string::npos) << E.what();
    }
  }
}

// RF64 and BW64: the data's size from the ds64 chunk, past 4 GiB in a sparse
// file; refusals for a ds64 chunk missing or not adding up.
TEST(ReadWavFile, ReadsRf64AndBw64BeyondFourGiBAndRefusesBadDs64Chunks) {
  test::TScratchDir Dir;
  const TAudioFormat Format{TSampleFormat::Pcm16, 8, 48000, 0};
  const uint64_t Frames = (uint64_t{1} << 28) + 5, Data = Frames * 16;  // just over 4 GiB
  const Bytes Header = TWavHeader::ForData(Format, Data, TWavLayout::Rf64).Encode();
  const Bytes Last = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  for (const char* Form : {"RF64", "BW64"}) {
    SCOPED_TRACE(Form);
    const std::string Name = Dir / "big.wav";
    Bytes Start = Header;
    std::copy(Form, Form + 4, Start.begin());
    test::WriteFileBytes(Name, Start);
    std::filesystem::resize_file(Name, Header.size() + Data);
    {
      std::fstream File(Name, std::ios::in | std::ios::out | std::ios::binary);
      File.seekp(static_cast<std::streamoff>(Header.size() + Data - 16));
      File.write(reinterpret_cast<const char*>(Last.data()), 16);
    }
    TReadWavFile Reader;
    Reader.FileName = Name;
    Reader.StartSample = static_cast<int32_t>(Frames - 1);
    Reader.SetActive(true);
    EXPECT_EQ(Reader.Format(), Format);
    EXPECT_EQ(Reader.NSamples, static_cast<int32_t>(Frames));
    Bytes Got(32);
    Reader.ReadFrames(Got.data(), 2);  // the last frame, then silence
    EXPECT_EQ(Bytes(Got.begin(), Got.begin() + 16), Last);
    EXPECT_EQ(Bytes(Got.begin() + 16, Got.end()), Bytes(16, 0));
  }
  const Bytes Small = [&] {
    Bytes Wav = TWavHeader::ForData(Format, 32, TWavLayout::Rf64).Encode();
    Wav.resize(Wav.size() + 32);
    return Wav;
  }();
  auto With = [&Small](size_t Offset, Bytes Patch) {
    Bytes Wav = Small;
    std::copy(Patch.begin(), Patch.end(), Wav.begin() + static_cast<long>(Offset));
    return Wav;
  };
  const std::pair<Bytes, const char*> Cases[] = {
      {With(12, {'J', 'U', 'N', 'K'}), "first chunk is 'JUNK', not 'ds64'"},
      {With(16, {20}), "'ds64' chunk is 20 bytes, expected at least 28"},
      {With(28, {0, 0, 0, 0, 1}), "sizes do not add up: 4294967296 bytes of data"},
      {With(44, {3}), "table of 3 entries does not fit its 28 bytes"},
      {With(52, {0xFF, 0xFF, 0xFF, 0xFF}), "the size of the 'fmt ' chunk is in no entry of the 'ds64' chunk's table"},
  };
  for (const auto& [Wav, Message] : Cases) {
    SCOPED_TRACE(Message);
    test::WriteFileBytes(Dir / "bad.wav", Wav);
    TReadWavFile Reader;
    Reader.FileName = Dir / "bad.wav";
    try {
      Reader.SetActive(true);
      ADD_FAILURE() << "no error";
    } catch (const EInOutError& E) {
      EXPECT_NE(std::string(E.what()).find(Message), std::string::npos) << E.what();
    }
  }
}

// A chunk: its identifier, its 32-bit size field, its bytes.
Bytes Chunk(const char* Id, uint32_t Size, const Bytes& Body = {}) {
  Bytes B(8 + Body.size());
  std::copy(Id, Id + 4, B.begin());
  WriteU32LE(&B[4], Size);
  std::copy(Body.begin(), Body.end(), B.begin() + 8);
  return B;
}
Bytes Cat(std::initializer_list<Bytes> Parts) {
  Bytes B;
  for (const Bytes& P : Parts) B.insert(B.end(), P.begin(), P.end());
  return B;
}
// "RF64", its size field, "WAVE" and a ds64 chunk with the given sizes and
// table (identifier, size) entries.
Bytes Rf64Head(uint64_t Riff, uint64_t Data, const std::vector<std::pair<std::string, uint64_t>>& Table) {
  Bytes Ds64(28 + 12 * Table.size());
  WriteU64LE(&Ds64[0], Riff);
  WriteU64LE(&Ds64[8], Data);
  WriteU32LE(&Ds64[24], static_cast<uint32_t>(Table.size()));
  for (size_t I = 0; I < Table.size(); ++I) {
    std::copy(Table[I].first.begin(), Table[I].first.end(), Ds64.begin() + static_cast<long>(28 + 12 * I));
    WriteU64LE(&Ds64[32 + 12 * I], Table[I].second);
  }
  return Cat({Chunk("RF64", UINT32_MAX, {'W', 'A', 'V', 'E'}), Chunk("ds64", static_cast<uint32_t>(Ds64.size()), Ds64)});
}

// The walk to the data: every size added to a position is checked, a chunk
// that runs past the end of the source is refused (or, the data chunk, cut
// short), the first of two format chunks counts, a stream's zero ds64 sizes
// run to its end, and what is held in memory is bounded.
TEST(ReadWavFile, WalksOnlyChunksThatFitAndBoundsWhatItHolds) {
  test::TScratchDir Dir;
  const Bytes Fmt = Chunk("fmt ", 16, Bytes(16)), Data = test::Words({1, -2, 3, -4});
  Bytes Fmt16 = Fmt;  // 16-bit mono at 8000 Hz
  WriteU16LE(&Fmt16[8], 1), WriteU16LE(&Fmt16[10], 1), WriteU32LE(&Fmt16[12], 8000), WriteU16LE(&Fmt16[20], 2),
      WriteU16LE(&Fmt16[22], 16);
  Bytes Fmt8 = Fmt16;  // 8-bit stereo at 44100 Hz
  WriteU16LE(&Fmt8[10], 2), WriteU32LE(&Fmt8[12], 44100), WriteU16LE(&Fmt8[22], 8);
  // The chunk after the ds64 chunk is 2^64 - 8 bytes long: skipping it would
  // wrap to its own header, again and again.
  const Bytes Wrap = Cat({Rf64Head(100, 8, {{"LIST", UINT64_MAX - 7}}), Chunk("LIST", UINT32_MAX), Fmt16,
                          Chunk("data", UINT32_MAX, Data)});
  const Bytes Unfilled = Cat({Rf64Head(0, 0, {}), Fmt16, Chunk("data", UINT32_MAX, Data)});
  std::vector<std::pair<std::string, uint64_t>> Long(1025, {"LIST", 1});
  // Four chunks of 16 MiB to keep and one more byte (empty Wav: written apart).
  const auto WriteMetadata = [&](const std::string& Name) {
    std::ofstream File(Name, std::ios::binary);
    const auto Put = [&File](const Bytes& B) { File.write(reinterpret_cast<const char*>(B.data()), static_cast<long>(B.size())); };
    Put(Cat({Chunk("RIFF", 0, {'W', 'A', 'V', 'E'}), Fmt16}));
    const Bytes Body(16 << 20);
    for (int I = 0; I < 4; ++I) Put(Chunk("LIST", 16 << 20)), Put(Body);
    Put(Cat({Chunk("iXML", 1, {'<', 0}), Chunk("data", 8, Data)}));
  };
  const struct {
    const char* What;
    Bytes Wav;
    bool Stream, Keep;
    std::string Refusal;  // empty: it opens
    int32_t NSamples;
    std::string Warning;
    std::vector<std::string> Kept = {};  // the ids of the chunks kept
  } Cases[] = {
      {"an RF64 chunk of 2^64 - 8 bytes", Wrap, false, false,
       "the 'LIST' chunk's 18446744073709551608 bytes run past the end of the file", 0, ""},
      {"the same, streamed", Wrap, true, false,
       "the 'LIST' chunk's 18446744073709551608 bytes run past the end of the stream", 0, ""},
      {"a chunk past the end", Cat({Chunk("RIFF", 0, {'W', 'A', 'V', 'E'}), Fmt16, Chunk("LIST", 1000, Bytes(4))}),
       false, false, "the 'LIST' chunk's 1000 bytes run past the end of the file", 0, ""},
      {"a 'fmt ' chunk past the end", Cat({Chunk("RIFF", 0, {'W', 'A', 'V', 'E'}), Chunk("fmt ", 40, Bytes(Fmt16.begin() + 8, Fmt16.end()))}), false,
       false, "the 'fmt ' chunk's 40 bytes run past the end of the file", 0, ""},
      {"a data chunk past the end", Cat({Chunk("RIFF", 0, {'W', 'A', 'V', 'E'}), Fmt16, Chunk("data", 80, Data)}),
       false, false, "", 4, "the 'data' chunk declares 40 frames but the file holds only 4"},
      {"a stream's ds64 sizes left at zero", Unfilled, true, false, "", -1, ""},
      {"a file's ds64 sizes left at zero", Unfilled, false, false, "the 'ds64' chunk's sizes do not add up", 0, ""},
      {"two 'fmt ' chunks", Cat({Chunk("RIFF", 0, {'W', 'A', 'V', 'E'}), Fmt16, Fmt8, Chunk("data", 8, Data)}), false,
       false, "", 4, "a second 'fmt ' chunk is ignored; the first gives the format"},
      {"a ds64 table of 1025 entries", Cat({Rf64Head(100000, 8, Long), Fmt16, Chunk("data", 8, Data)}), false, false,
       "the 'ds64' chunk's table holds 1025 entries, more than the 1024 that are read", 0, ""},
      {"64 MiB and a byte of chunks to keep", {}, false, true,
       "its chunks to keep pass 64 MiB in all, more than is kept in memory", 0, ""},
      {"metadata after the data, kept", Cat({Chunk("RIFF", 0, {'W', 'A', 'V', 'E'}), Fmt16, Chunk("bext", 2, {1, 2}),
                                             Chunk("data", 8, Data), Chunk("LIST", 5, {'I', 'N', 'F', 'O', 'x'}), {0},
                                             Chunk("iXML", 2, {'<', '>'})}),
       false, true, "", 4, "", {"bext", "LIST", "iXML"}},
      {"a chunk after the data past the end", Cat({Chunk("RIFF", 0, {'W', 'A', 'V', 'E'}), Fmt16, Chunk("data", 8, Data),
                                                   Chunk("LIST", 100, Bytes(4))}),
       false, true, "", 4, "the 'LIST' chunk after the data runs past the end of the file"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    const std::string Name = Dir / (C.Stream ? "stream" : "in.wav");
    std::optional<test::TFifoFeeder> Feeder;
    if (C.Stream)
      Feeder.emplace(Name, C.Wav);
    else if (C.Wav.empty())
      WriteMetadata(Name);
    else
      test::WriteFileBytes(Name, C.Wav);
    TReadWavFile Reader;
    Reader.FileName = Name;
    Reader.KeepChunks = C.Keep;
    try {
      Reader.SetActive(true);
      EXPECT_EQ(C.Refusal, "");
      EXPECT_EQ(Reader.Format(), (TAudioFormat{TSampleFormat::Pcm16, 1, 8000, 0}));
      EXPECT_EQ(Reader.NSamples, C.NSamples);
      std::vector<std::string> Kept;
      for (const TWavChunk& K : Reader.Chunks) Kept.push_back(K.Id);
      EXPECT_EQ(Kept, C.Kept);
      Bytes Got(Data.size());
      Reader.ReadFrames(Got.data(), 4);
      EXPECT_EQ(Got, Data);
      const auto Warnings = Reader.TakeWarnings();
      EXPECT_EQ(Warnings.size(), C.Warning.empty() ? 0u : 1u);
      for (const std::string& W : Warnings) EXPECT_NE(W.find(Name + ": " + C.Warning), std::string::npos) << W;
    } catch (const EInOutError& E) {
      EXPECT_NE(C.Refusal, "") << E.what();
      EXPECT_NE(std::string(E.what()).find(Name + ": " + C.Refusal), std::string::npos) << E.what();
    }
  }
}

// A stream is never sought: a start frame far into it, and a long chunk
// before its data, are read past.
TEST(ReadWavFile, SkipsThroughAStreamByReading) {
  test::TScratchDir Dir;
  Bytes Data(4 << 20);
  for (size_t I = 0; I < Data.size(); ++I) Data[I] = static_cast<uint8_t>(I * 7 + I / 4097);
  const TAudioFormat Format{TSampleFormat::Pcm16, 2, 48000, 0};
  const Bytes Plain = test::MakeWav(Format, Data);
  const Bytes WithChunk = TWavHeader::ForData(Format, Data.size(), TWavLayout::Plain,
                                              EncodeChunks({{"LIST", Bytes(3 << 20, 'x')}})).Encode();
  const struct {
    const char* What;
    Bytes Head;  // what comes before the data
    int32_t Start;
  } Cases[] = {
      {"a start frame 4 MiB in", Bytes(Plain.begin(), Plain.end() - static_cast<long>(Data.size())), 1000000},
      {"a 3 MiB chunk before the data", WithChunk, 0},
      {"both", WithChunk, 1000001},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    const std::string Fifo = Dir / "stream";
    const test::TFifoFeeder Feeder(Fifo, Cat({C.Head, Data}));
    TReadWavFile Reader;
    Reader.FileName = Fifo;
    Reader.StartSample = C.Start;
    Reader.SetActive(true);
    Bytes Got(8);
    Reader.ReadFrames(Got.data(), 2);
    EXPECT_EQ(Got, Bytes(Data.begin() + 4 * C.Start, Data.begin() + 4 * C.Start + 8));
    for (Bytes Rest(1 << 16); Reader.ReadArrived(Rest.data(), 1 << 14) > 0;) {
    }  // to the end, so that the feeder is done
  }
}

}  // namespace
// Formats without fetch operations (more than two channels, 32-bit integers,
// 64-bit floats), RF64 and metadata from sox and ffmpeg: the format and mask
// as the header gives them, and the bulk read delivers the data chunk's bytes.
TEST(ReadWavFile, ReadsWideSamplesAndManyChannelsInBulk) {
  struct Case {
    const char* Name;
    int Channels;
    TSampleFormat Samples;
    uint32_t Mask;
    int32_t Frames;
    uint32_t Rate;
  };
  const Case Cases[] = {
      {"s32_mono", 1, TSampleFormat::Pcm32, 0x4, 100, 8000},
      {"f64_mono", 1, TSampleFormat::Float64, 0, 100, 8000},
      {"mono_3ch_s16", 3, TSampleFormat::Pcm16, 0, 100, 8000},
      {"sox_s16_6ch", 6, TSampleFormat::Pcm16, 0x3F, 300, 48000},
      {"ffmpeg_s24_8ch", 8, TSampleFormat::Pcm24, 0x63F, 400, 48000},
      {"ffmpeg_f32_6ch", 6, TSampleFormat::Float32, 0x3F, 350, 44100},
      {"ffmpeg_rf64_s16_stereo", 2, TSampleFormat::Pcm16, 0, 500, 8000},
      {"ffmpeg_bext_s16_stereo", 2, TSampleFormat::Pcm16, 0, 600, 48000},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    TReadWavFile Reader;
    Reader.FileName = test::DataFile(std::string(C.Name) + ".wav");
    Reader.SetActive(true);
    EXPECT_EQ(Reader.Format(), (TAudioFormat{C.Samples, C.Channels, C.Rate, C.Mask}));
    ASSERT_EQ(Reader.NSamples, C.Frames);
    Bytes Got(static_cast<size_t>(C.Frames) * static_cast<size_t>(Reader.FrameBytes()));
    Reader.ReadFrames(Got.data(), C.Frames);
    EXPECT_EQ(Got, test::WavSamples(test::ReadFileBytes(Reader.FileName)));
  }
}

}  // namespace kestrum
