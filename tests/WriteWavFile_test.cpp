// Tests of the WAV writer: encodings, blocks, the header and atomic replacement.
#include <gtest/gtest.h>

#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>
#include <unistd.h>

#include "kestrum/base/Errors.h"
#include "kestrum/base/OutputFile.h"
#include "tests/TestUtil.h"
#include "kestrum/wav/ReadWavFile.h"
#include "kestrum/wav/WriteWavFile.h"

namespace kestrum {
namespace {

using test::Bytes;

class WriteWavFileTest : public ::testing::Test {
protected:
  void Open(bool Stereo = false, bool Bits16 = false, uint32_t Frequency = 8000) {
    Writer.FileName = Name;
    Writer.SetActive(true);
    Writer.Stereo = Stereo;
    Writer.Bits16 = Bits16;
    Writer.Frequency = Frequency;
  }
  // The sample bytes of the finished file.
  Bytes Data() const {
    const Bytes File = test::ReadFileBytes(Name);
    return test::WavSamples(File);
  }

  test::TScratchDir Dir;
  std::string Name = Dir / "out.wav";
  TWriteWavFile Writer;
};

TEST_F(WriteWavFileTest, WritesTheCanonicalHeader) {
  Open(true, true, 44100);
  for (int I = 0; I < 1000; ++I) Writer.WriteWordPair(I, -I);
  Writer.Close();
  const Bytes File = test::ReadFileBytes(Name);
  ASSERT_EQ(File.size(), 4044u);
  const Bytes Expected = {'R', 'I', 'F', 'F', 0xC4, 0x0F, 0, 0, 'W', 'A', 'V', 'E',
                          'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0,
                          0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0, 4, 0, 16, 0,
                          'd', 'a', 't', 'a', 0xA0, 0x0F, 0, 0};
  EXPECT_EQ(Bytes(File.begin(), File.begin() + 44), Expected);
  EXPECT_EQ(Writer.State(), TFileState::fsClosed);
}

TEST_F(WriteWavFileTest, StoresOnlyTheLowBitsLowByteFirst) {
  Open(true, true);
  Writer.WriteWordPair(0x1234, -2);
  Writer.WriteWord(-1);
  Writer.WriteWord(0x12345);
  Writer.WriteBytePair(1, 2);
  Writer.WriteByte(300);
  Writer.WriteByte(-1);
  Writer.Close();
  EXPECT_EQ(Data(), (Bytes{0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 0x45, 0x23, 1, 2, 0x2C, 0xFF}));
}

TEST_F(WriteWavFileTest, SizesTheHeaderFromTheFileAtBlockEdgesAndPadsOddData) {
  for (int Frames : {3, 4052, 4053, 4054, 2 * 4097 - 44, 2 * 4097 - 45, 20000}) {
    SCOPED_TRACE(Frames);
    Open();
    for (int I = 0; I < Frames; ++I) Writer.WriteByte(I);
    Writer.Close();
    Writer.SetActive(false);
    const Bytes File = test::ReadFileBytes(Name);
    const unsigned Pad = Frames % 2;  // one zero byte, in the RIFF size only
    ASSERT_EQ(File.size(), 44u + Frames + Pad);
    EXPECT_EQ(ReadU32LE(&File[4]), 36u + Frames + Pad);
    EXPECT_EQ(File.back(), Pad ? 0 : static_cast<uint8_t>(Frames - 1));
    EXPECT_EQ(ReadU32LE(&File[40]), static_cast<uint32_t>(Frames));
    EXPECT_EQ(File[44 + Frames - 1], static_cast<uint8_t>(Frames - 1));
  }
}

TEST_F(WriteWavFileTest, WritesTheHeadersOfWiderSamples) {
  struct Case {
    const char* What;
    bool Stereo, Float;
    std::vector<float> Samples;
    Bytes Expected;  // the whole file
  };
  const Case Cases[] = {
      {"24-bit mono, odd data size: padded", false, false, {0x123456, -1, 16777216.0f},  // 2^24 keeps no bit
       {'R', 'I', 'F', 'F', 46, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
        0x40, 0x1F, 0, 0, 0xC0, 0x5D, 0, 0, 3, 0, 24, 0, 'd', 'a', 't', 'a', 9, 0, 0, 0,
        0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}},
      {"float stereo, 58-byte header with fact chunk", true, true, {-0.0f, 1.5f, 1e-45f, -2.0f},
       {'R', 'I', 'F', 'F', 66, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 18, 0, 0, 0, 3, 0, 2, 0,
        0x40, 0x1F, 0, 0, 0x00, 0xFA, 0, 0, 8, 0, 32, 0, 0, 0, 'f', 'a', 'c', 't', 4, 0, 0, 0, 2, 0, 0, 0,
        'd', 'a', 't', 'a', 16, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0xC0, 0x3F, 1, 0, 0, 0, 0, 0, 0, 0xC0}},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.What);
    Open(C.Stereo);
    Writer.Bits24 = !C.Float;
    Writer.Float32 = C.Float;
    for (size_t I = 0; I < C.Samples.size(); I += C.Stereo ? 2 : 1)
      test::WriteFrame(Writer, {C.Samples[I], C.Stereo ? C.Samples[I + 1] : 0.0f});
    Writer.Close();
    Writer.SetActive(false);
    EXPECT_EQ(test::ReadFileBytes(Name), C.Expected);
  }
}

TEST_F(WriteWavFileTest, RoundTripsEveryFormatThroughTheReader) {
  for (bool Stereo : {false, true}) {
    for (int Bits : {8, 16, 24, 32}) {
      SCOPED_TRACE(testing::Message() << "stereo " << Stereo << ", " << Bits << " bits");
      const int Frames = 3000;  // more than one block in every format
      // Sample values that the format holds exactly, spread over its range.
      const auto Sample = [Bits](int I, int Channel) -> float {
        switch (Bits) {
          case 8: return static_cast<int8_t>(Channel ? 255 - I % 256 : I % 256);
          case 16: return Channel ? -I : I * 21 - 32000;
          case 24: return Channel ? -I : I * 5591 - 8388000;
          default: return Channel ? std::ldexp(static_cast<float>(I), -140) : (I - 1500) * 0.37f;
        }
      };
      Open(Stereo, Bits == 16, 22050);
      Writer.Bits24 = Bits == 24;
      Writer.Float32 = Bits == 32;
      for (int I = 0; I < Frames; ++I) test::WriteFrame(Writer, {Sample(I, 0), Sample(I, 1)});
      Writer.Close();
      Writer.SetActive(false);

      TReadWavFile Reader;
      Reader.FileName = Name;
      Reader.SetActive(true);
      EXPECT_EQ(Reader.Stereo, Stereo);
      EXPECT_EQ(Reader.SampleFormat(), Writer.SampleFormat());
      EXPECT_EQ(Reader.Frequency, 22050u);
      ASSERT_EQ(Reader.NSamples, Frames);
      for (int I = 0; I < Frames; ++I) {
        float In[2] = {0, 0};
        test::ReadFrame(Reader, In);
        ASSERT_EQ(In[0], Sample(I, 0)) << "frame " << I;
        if (Stereo) {
          ASSERT_EQ(In[1], Sample(I, 1)) << "frame " << I;
        }
      }
    }
  }
}

// More than two channels or a channel mask: the extensible format chunk,
// with the mask and the subformat, and a fact chunk for float; the reader
// reads the same format and frames back. 32-bit integers and 64-bit floats
// keep the plain header while they are mono or stereo.
TEST_F(WriteWavFileTest, WritesExtensibleHeadersForManyChannelsOrAMask) {
  using S = TSampleFormat;
  struct Case {
    TAudioFormat Format;
    int HeaderSize;
  };
  const Case Cases[] = {
      {{S::Pcm16, 6, 48000, 0x3F}, 68},  {{S::Pcm16, 2, 44100, 0x3}, 68}, {{S::Pcm24, 3, 8000, 0}, 68},
      {{S::Float32, 8, 8000, 0x63F}, 80}, {{S::Pcm32, 1, 8000, 0}, 44},    {{S::Float64, 2, 8000, 0}, 58},
      {{S::Pcm8, 64, 8000, 0}, 68},      {{S::Float64, 16, 96000, 0}, 80},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(testing::Message() << C.Format.Channels << " channels, " << C.Format.Bits() << " bits, mask "
                                    << C.Format.ChannelMask);
    Writer.FileName = Name;
    Writer.SetActive(true);
    Writer.SetFormat(C.Format);
    Bytes Frames(static_cast<size_t>(3 * C.Format.FrameBytes()));
    for (size_t I = 0; I < Frames.size(); ++I) Frames[I] = static_cast<uint8_t>(I * 7 + 1);
    Writer.WriteBytes(Frames.data(), Frames.size());
    Writer.Close();
    Writer.SetActive(false);
    const Bytes File = test::ReadFileBytes(Name);
    ASSERT_EQ(File.size(), static_cast<size_t>(C.HeaderSize) + Frames.size() + Frames.size() % 2);
    const bool Extensible = C.HeaderSize == 68 || C.HeaderSize == 80;
    EXPECT_EQ(ReadU16LE(&File[20]), Extensible ? 0xFFFE : C.Format.Float() ? 3 : 1);
    if (Extensible) {  // valid bits, the mask, the subformat's tag
      EXPECT_EQ(ReadU16LE(&File[38]), C.Format.Bits());
      EXPECT_EQ(ReadU16LE(&File[44]), C.Format.Float() ? 3 : 1);
    }
    TReadWavFile Reader;
    Reader.FileName = Name;
    Reader.SetActive(true);
    EXPECT_EQ(Reader.Format(), C.Format);
    Bytes Got(Frames.size());
    Reader.ReadFrames(Got.data(), 3);
    EXPECT_EQ(Got, Frames);
  }
}

// A declared length past 4 GiB gives RF64, an unknown one a JUNK chunk that
// stays JUNK in a small file and becomes ds64 in a large one; the silence
// goes to holes, so the 4 GiB files cost neither time nor disk.
TEST_F(WriteWavFileTest, WritesRf64PastFourGiBAndKeepsSmallFilesPlain) {
  const TAudioFormat Format{TSampleFormat::Pcm16, 8, 48000, 0};
  const uint64_t Big = (uint64_t{1} << 28) + 5;  // frames of 16 bytes: just over 4 GiB
  struct Case {
    const char* What;
    int64_t Reserve;  // -1: unknown length
    uint64_t Frames;
    const char* Form;
    const char* Chunk;  // at byte 12
    bool Descriptor;    // through /dev/fd/N, as standard output sent to the file
  };
  const Case Cases[] = {
      {"declared, large", int64_t(Big), Big, "RF64", "ds64", false},
      {"unknown, large", -1, Big, "RF64", "ds64", false},
      {"unknown, small", -1, 3, "RIFF", "JUNK", false},
      {"declared, small", 3, 3, "RIFF", "fmt ", false},
      {"unknown, large, a stream into the file", -1, Big, "RF64", "ds64", true},
      {"unknown, small, a stream into the file", -1, 3, "RIFF", "JUNK", true},
  };
  const Bytes Silence(1 << 20, 0), Last(16, 0x5A);
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.What);
    const int Fd = C.Descriptor ? open(Name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
    Writer.FileName = C.Descriptor ? "/dev/fd/" + std::to_string(Fd) : Name;
    Writer.SetActive(true);
    Writer.SetFormat(Format);
    C.Reserve < 0 ? Writer.ReserveUnknownLength() : Writer.Reserve(C.Reserve);
    for (uint64_t Left = (C.Frames - 1) * 16; Left > 0;) {
      const size_t N = static_cast<size_t>(std::min<uint64_t>(Left, Silence.size()));
      Writer.WriteBytes(Silence.data(), N);
      Left -= N;
    }
    Writer.WriteBytes(Last.data(), Last.size());
    Writer.Close();
    Writer.SetActive(false);
    if (Fd >= 0) close(Fd);
    std::ifstream File(Name, std::ios::binary);
    char Head[16];
    File.read(Head, 16);
    EXPECT_EQ(std::string(Head, 4), C.Form);
    EXPECT_EQ(std::string(Head + 12, 4), C.Chunk);
    TReadWavFile Reader;
    Reader.FileName = Name;
    Reader.StartSample = static_cast<int32_t>(C.Frames - 1);
    Reader.SetActive(true);
    EXPECT_EQ(Reader.Format(), Format);
    EXPECT_EQ(Reader.NSamples, static_cast<int32_t>(C.Frames));
    Bytes Got(16);
    Reader.ReadFrames(Got.data(), 1);
    EXPECT_EQ(Got, Last);
  }
}

// Every file-system block of zeros is a hole, however the writes cut it and
// wherever the file ends: in a replaced file and in a stream into a file
// (at the offset its descriptor had), whose descriptor ends past the frames.
TEST_F(WriteWavFileTest, LeavesHolesForZeroBlocksInFilesAndStreamsIntoFiles) {
  const size_t Size = (1 << 20) + 6;  // ends inside a block
  struct Case {
    const char* What;
    std::vector<size_t> Loud;  // the only nonzero bytes of the data
    size_t Piece;              // bytes per WriteBytes; 0: a WriteWord per frame
    int64_t At;                // -1: a replaced file; else a stream at this offset
  };
  const Case Cases[] = {
      {"silence, frame by frame", {}, 0, -1},
      {"loud bytes across blocks, frame by frame", {0, 4095, 4096, 300001, 700000}, 0, -1},
      {"loud bytes, in odd pieces", {5, 65536, 999999}, 10007, -1},
      {"silence, a stream into a file", {}, 0, 0},
      {"loud bytes, a stream at an offset", {4090, 500000}, 0, 5},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.What);
    Bytes Samples(Size, 0);
    for (size_t I : C.Loud) Samples[I] = static_cast<uint8_t>(I % 255 + 1);
    int Fd = -1;
    if (C.At >= 0) {
      test::WriteFileText(Name, std::string(static_cast<size_t>(C.At), 'k'));
      Fd = open(Name.c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_EQ(lseek(Fd, C.At, SEEK_SET), C.At);
    }
    Writer.FileName = Fd >= 0 ? "/dev/fd/" + std::to_string(Fd) : Name;
    Writer.SetActive(true);
    Writer.Bits16 = true;
    Writer.ReserveUnknownLength();
    if (C.Piece == 0) {
      for (size_t I = 0; I < Size; I += 2) Writer.WriteWord(Samples[I] | Samples[I + 1] << 8);
    } else {
      for (size_t I = 0; I < Size; I += C.Piece) Writer.WriteBytes(&Samples[I], std::min(C.Piece, Size - I));
    }
    Writer.Close();
    Writer.SetActive(false);
    const int64_t End = Fd >= 0 ? lseek(Fd, 0, SEEK_CUR) : -1;
    if (Fd >= 0) close(Fd);
    const Bytes File = test::ReadFileBytes(Name);
    const size_t Start = static_cast<size_t>(std::max<int64_t>(C.At, 0));
    ASSERT_EQ(File.size(), Start + 80 + Size);  // a 44-byte header and its 36-byte JUNK chunk
    if (Fd >= 0) {
      EXPECT_EQ(End, int64_t(File.size()));
    }
    EXPECT_EQ(ReadU32LE(&File[Start + 76]), Size);  // the true size, not "unknown"
    EXPECT_TRUE(Bytes(File.begin() + static_cast<std::ptrdiff_t>(Start + 80), File.end()) == Samples);
    // Only the blocks holding a nonzero byte take disk space.
    struct stat Stat {};
    ASSERT_EQ(stat(Name.c_str(), &Stat), 0);
    const size_t Block = static_cast<size_t>(Stat.st_blksize);
    std::vector<bool> Used(File.size() / Block + 1);
    for (size_t I = 0; I < File.size(); ++I) Used[I / Block] = Used[I / Block] || File[I] != 0;
    EXPECT_LE(size_t(Stat.st_blocks) * 512, size_t(std::count(Used.begin(), Used.end(), true)) * Block);
  }
}

// The byte rate (rate times frame bytes) must fit its 32-bit field: past
// it, nothing is written and nothing is left.
TEST_F(WriteWavFileTest, RefusesAByteRateBeyond32Bits) {
  const struct {
    uint32_t Rate;
    bool Fits;
  } Cases[] = {{1073741823, true}, {1073741824, false}, {4000000000, false}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Rate);
    for (const size_t Bytes : {size_t{8}, size_t{40000}}) {  // closed from the buffer, or after a block
      std::string Error;
      {
        TWriteWavFile Writer;
        Writer.FileName = Name;
        Writer.SetActive(true);
        Writer.SetFormat({TSampleFormat::Pcm16, 2, C.Rate, 0});
        const test::Bytes Frames(Bytes, 1);
        try {
          Writer.WriteBytes(Frames.data(), Frames.size());
          Writer.Close();
        } catch (const EGeneralError& E) {
          Error = E.what();
        }
      }
      if (C.Fits) {
        EXPECT_EQ(Error, "");
        EXPECT_EQ(ReadU32LE(&test::ReadFileBytes(Name)[28]), C.Rate * 4);
        std::filesystem::remove(Name);
      } else {
        EXPECT_EQ(Error.rfind(Name + ": a WAV header cannot hold the byte rate of " + std::to_string(C.Rate) +
                                  " Hz with 4-byte frames",
                              0),
                  0u)
            << Error;
      }
      EXPECT_TRUE(Dir.Files().empty());
    }
  }
}

TEST_F(WriteWavFileTest, RefusesToCloseAFileWithoutFramesAndLeavesNothing) {
  Open();
  try {
    Writer.Close();
    FAIL() << "no error";
  } catch (const EGeneralError& E) {
    EXPECT_STREQ(E.what(), "Le fichier Wav n'a pas été ecrit");
  }
  EXPECT_TRUE(Dir.Files().empty());
  EXPECT_EQ(Writer.State(), TFileState::fsClosed);
}

TEST_F(WriteWavFileTest, LeavesAnExistingTargetUntouchedUntilClose) {
  const Bytes Old = {'o', 'l', 'd'};
  test::WriteFileBytes(Name, Old);
  {
    TWriteWavFile Abandoned;  // destroyed without Close, as a failed run does
    Abandoned.FileName = Name;
    Abandoned.SetActive(true);
    for (int I = 0; I < 10000; ++I) Abandoned.WriteByte(I);
    EXPECT_EQ(test::ReadFileBytes(Name), Old);
  }
  EXPECT_EQ(test::ReadFileBytes(Name), Old);
  EXPECT_EQ(Dir.Files(), std::vector<std::string>{"out.wav"});

  Open();  // a failed Close leaves it too
  EXPECT_THROW(Writer.Close(), EGeneralError);
  EXPECT_EQ(test::ReadFileBytes(Name), Old);
  EXPECT_EQ(Dir.Files(), std::vector<std::string>{"out.wav"});

  Writer.SetActive(false);
  Open();
  Writer.WriteByte(7);
  Writer.Close();
  EXPECT_EQ(Data(), Bytes{7});
  EXPECT_EQ(Dir.Files(), std::vector<std::string>{"out.wav"});
}

TEST_F(WriteWavFileTest, ReplacesItsOwnSourceOnlyAtClose) {
  test::WriteFileBytes(Name, test::MakeWav(1, 8, 8000, {1, 2, 3}));
  TReadWavFile Reader;
  Reader.FileName = Name;
  Reader.SetActive(true);
  Open();
  for (int I = 0; I < 3; ++I) {
    float S;
    Reader.ReadMono8(S);
    Writer.WriteByte(static_cast<int>(S) * 2);
  }
  Reader.SetActive(false);
  Writer.Close();
  EXPECT_EQ(Data(), (Bytes{2, 4, 6}));
}

// A tag scope names the temporary files of its thread, also beside a name at
// the file system's length limit, and only while it lives.
TEST_F(WriteWavFileTest, TagsItsTemporaryFileWhileATagScopeLives) {
  EXPECT_THROW(TTempNameTag("a/b"), std::invalid_argument);
  for (const std::string& Target : {std::string("out.wav"), std::string(255, 'n')}) {
    const std::string Tag = "run-" + std::to_string(Target.size());
    {
      const TTempNameTag Scope(Tag);
      TReplaceFile Replacement;
      Replacement.Open(Dir / Target);
      const std::string Temp = std::filesystem::path(Replacement.TempName()).filename();
      EXPECT_EQ(Temp.substr(0, 4), "." + Target.substr(0, 3));
      EXPECT_EQ(Temp.substr(Temp.size() - 22 - Tag.size(), Tag.size() + 2), "." + Tag + ".") << Temp;
      EXPECT_LE(Temp.size(), 255u);
    }
    TReplaceFile Untagged;
    Untagged.Open(Dir / Target);
    EXPECT_EQ(Untagged.TempName().find(Tag), std::string::npos);
  }
}

TEST_F(WriteWavFileTest, KeepsTheModeAndOwnerOfTheFileItReplaces) {
  const bool Root = geteuid() == 0;
  const mode_t Mask = umask(0022);
  test::WriteFileBytes(Name, {1});
  chmod(Name.c_str(), 0640);
  if (Root) {
    ASSERT_EQ(chown(Name.c_str(), 1234, 5678), 0);
  }
  Open();
  Writer.WriteByte(1);
  Writer.Close();
  const std::string Fresh = Dir / "fresh.wav";
  Writer.FileName = Fresh;
  Writer.SetActive(false);
  Writer.SetActive(true);
  Writer.WriteByte(1);
  Writer.Close();
  umask(Mask);
  struct stat Replaced {}, New {};
  ASSERT_EQ(stat(Name.c_str(), &Replaced), 0);
  ASSERT_EQ(stat(Fresh.c_str(), &New), 0);
  EXPECT_EQ(Replaced.st_mode & 07777, 0640u);
  EXPECT_EQ(New.st_mode & 07777, 0644u);  // a new file gets the mode new files get
  if (!Root) GTEST_SKIP() << "owner and group kept: only root may give a file away";
  EXPECT_EQ(Replaced.st_uid, 1234u);
  EXPECT_EQ(Replaced.st_gid, 5678u);
}

TEST_F(WriteWavFileTest, ReplacesTheFileALinkNamesAndKeepsTheLink) {
  struct TCase {
    const char* What;
    // Link, what it points to; a leading / stands for the scratch folder.
    std::vector<std::pair<std::string, std::string>> Links;
    std::string Target, Real;  // the name written to, the file that must receive the WAV
  };
  const TCase Cases[] = {
      {"a chain of relative links", {{"a.wav", "b.wav"}, {"b.wav", "sub/real.wav"}}, "a.wav", "sub/real.wav"},
      {"an absolute link", {{"a.wav", "/sub/real.wav"}}, "a.wav", "sub/real.wav"},
      {"a dangling link creates the file", {{"a.wav", "sub/new.wav"}}, "a.wav", "sub/new.wav"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.What);
    const test::TScratchDir Scratch;
    std::filesystem::create_directory(Scratch.Path() / "sub");
    test::WriteFileBytes(Scratch / "sub/real.wav", {'o', 'l', 'd'});
    for (const auto& [Link, To] : C.Links)
      std::filesystem::create_symlink(To[0] == '/' ? Scratch.Path().string() + To : To, Scratch.Path() / Link);
    TWriteWavFile Linked;
    Linked.FileName = Scratch / C.Target;
    Linked.SetActive(true);
    Linked.WriteByte(9);
    Linked.Close();
    for (const auto& [Link, To] : C.Links) EXPECT_TRUE(std::filesystem::is_symlink(Scratch.Path() / Link)) << Link;
    EXPECT_EQ(test::WavSamples(test::ReadFileBytes(Scratch / C.Real)), Bytes{9});
    for (const auto& Entry : std::filesystem::recursive_directory_iterator(Scratch.Path()))
      EXPECT_NE(Entry.path().extension(), ".tmp") << Entry.path();
  }
}

TEST_F(WriteWavFileTest, StreamsIntoWhatIsNotARegularFile) {
  // Through a FIFO: the header comes first, sized from the declared frames,
  // with the pad byte after the odd data; no temporary file anywhere.
  const std::string Fifo = Dir / "fifo";
  ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
  Bytes Streamed;
  std::thread Drain([&] { Streamed = test::ReadFileBytes(Fifo); });
  Writer.FileName = Fifo;
  Writer.SetActive(true);
  Writer.Bits16 = false;
  Writer.Frequency = 8000;
  Writer.Reserve(3);
  EXPECT_TRUE(Writer.Streaming());
  for (int I = 1; I <= 3; ++I) Writer.WriteByte(I);
  Writer.Close();
  Drain.join();
  Bytes Expected = test::MakeWav(1, 8, 8000, {1, 2, 3, 0});
  WriteU32LE(&Expected[40], 3);
  EXPECT_EQ(Streamed, Expected);
  EXPECT_EQ(Dir.Files(), std::vector<std::string>{"fifo"});

  // Into /dev/null: nothing is created beside it.
  TWriteWavFile Null;
  Null.FileName = "/dev/null";
  Null.SetActive(true);
  Null.WriteByte(1);
  Null.Close();
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

TEST_F(WriteWavFileTest, HandlesTheLongestNamesAndRefusesUndeclaredOutputBeyond4GiB) {
  Writer.FileName = Dir / (std::string(251, 'n') + ".wav");  // 255 bytes, the usual limit
  Writer.SetActive(true);
  Writer.Bits16 = Writer.Stereo = true;
  Writer.Reserve(1073741814);  // 44 + 4 * frames, just within the RIFF size's 32 bits: plain
  Writer.WriteWordPair(1, 2);
  Writer.Close();
  EXPECT_EQ(Dir.Files(), std::vector<std::string>{std::string(251, 'n') + ".wav"});
  EXPECT_EQ(test::ReadFileBytes(Dir / (std::string(251, 'n') + ".wav")).size(), 48u);

  // Without a declared length, no RF64: a file past 4 GiB is refused.
  TWriteWavFile Undeclared;
  Undeclared.FileName = Dir / "big.wav";
  Undeclared.SetActive(true);
  Undeclared.Bits16 = true;
  const Bytes Silence(1 << 20, 0);
  EXPECT_THROW(
      for (int I = 0; I <= 4096; ++I) Undeclared.WriteBytes(Silence.data(), Silence.size()), EGeneralError);
}

TEST_F(WriteWavFileTest, RefusesAppendsWhileNoFileIsOpen) {
  EXPECT_THROW(Writer.WriteByte(1), EGeneralError);
  Writer.FileName = "  ";
  Writer.SetActive(true);  // a blank name opens nothing
  EXPECT_EQ(Writer.State(), TFileState::fsClosed);
  EXPECT_THROW(Writer.WriteWordPair(1, 2), EGeneralError);
  Writer.Close();  // closing what is not open does nothing
}

TEST_F(WriteWavFileTest, ReportsATargetInAMissingFolder) {
  Writer.FileName = Dir / "no/such/out.wav";
  try {
    Writer.SetActive(true);
    FAIL() << "no error";
  } catch (const EInOutError& E) {
    EXPECT_EQ(E.ErrorCode(), ENOENT);
    EXPECT_EQ(std::string(E.what()),
              "cannot create '" + Writer.FileName + "': No such file or directory");
  }
  EXPECT_TRUE(Writer.Active());
  EXPECT_EQ(Writer.State(), TFileState::fsClosed);
}

}  // namespace
}  // namespace kestrum
