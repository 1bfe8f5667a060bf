// What a writer may replace: by what an existing file holds, by its name,
// and never one of the run's inputs, however it is reached.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "tests/TestUtil.h"
#include "kestrum/wav/TargetRule.h"

namespace kestrum {
namespace {

void WriteFile(const std::string& Name, const std::string& Content) {
  std::ofstream(Name, std::ios::binary) << Content;
}

TEST(TargetRule, RefusesWhatAWriterMustNotReplace) {
  const test::TScratchDir Dir;
  const std::string Riff = std::string("RIFF\x24\0\0\0WAVEfmt ", 16);
  WriteFile(Dir / "riff.wav", Riff);
  WriteFile(Dir / "rf64.wav", "RF64\xff\xff\xff\xffWAVEds64");
  WriteFile(Dir / "bw64.dat", "BW64\xff\xff\xff\xffWAVEds64");
  WriteFile(Dir / "notes.wav", "notes\n");
  WriteFile(Dir / "lp.fir", "lowpass\n1\n0 1.0\n");
  WriteFile(Dir / "song.wav", "ID3\x04\0\0\0\0\0\0");
  WriteFile(Dir / "plot.svg", std::string("\x89PNG\r\n\x1a\n", 8));
  WriteFile(Dir / "short.wav", "RIF");  // a WAV head takes 12 bytes
  WriteFile(Dir / "empty.fir", "");
  std::filesystem::create_symlink(Dir / "riff.wav", Dir / "link.wav");
  std::filesystem::create_hard_link(Dir / "lp.fir", Dir / "hard.txt");
  mkfifo((Dir / "fifo").c_str(), 0600);

  using C = TTargetContent;
  using R = TTargetRefusal;
  const std::vector<TTargetInput> Inputs{{Dir / "riff.wav", "the source"}, {Dir / "lp.fir", "the filter"}, {"-", "x"}};
  struct TCase {
    std::string Target;
    C Content;
    R Refusal;
    std::string Mentions;
  };
  const TCase Cases[] = {
      // WAV replaces WAV, whatever its form, a new name and an empty file.
      {"rf64.wav", C::Wav, R::None, ""},
      {"bw64.dat", C::Wav, R::None, ""},
      {"new.wav", C::Wav, R::None, ""},
      {"empty.fir", C::Text, R::None, ""},
      // ... and nothing else that exists.
      {"notes.wav", C::Wav, R::Existing, "exists and is a text file (a filter file?); a run would replace it with WAV"},
      {"song.wav", C::Wav, R::Existing, "exists and is an MP3 file"},
      {"short.wav", C::Wav, R::Existing, "is a text file"},
      // Names of other kinds.
      {"new.fir", C::Wav, R::Name, "named like a filter file"},
      {"new.MP3", C::Wav, R::Name, "named like an audio file (.mp3), and WAV would be written there"},
      {"new.wav", C::Text, R::Name, "named like a WAV file, and text would be written there"},
      {"new.flac", C::Text, R::Name, "an audio file (.flac)"},
      // Text replaces text, and neither WAV nor a binary file.
      {"new.fir", C::Text, R::None, ""},
      {"notes.wav/", C::Text, R::None, ""},  // not a file: the writer's own error
      {"rf64.wav", C::Text, R::Name, "named like a WAV file"},
      {"bw64.dat", C::Text, R::Existing, "exists and is a WAV file; text would replace it"},
      {"plot.svg", C::Text, R::Existing, "exists and is not a WAV file; text would replace it"},
      // The inputs themselves, by any name.
      {"riff.wav", C::Wav, R::Input, "riff.wav' is the source itself"},
      {"link.wav", C::Wav, R::Input, "link.wav' is the source itself"},
      {"lp.fir", C::Text, R::Input, "lp.fir' is the filter itself"},
      {"hard.txt", C::Text, R::Input, "hard.txt' is the filter itself"},
      // Streams are written straight.
      {"fifo", C::Wav, R::None, ""},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Target);
    const TTargetProblem Problem = TargetProblem(Dir / Case.Target, Case.Content, Inputs);
    EXPECT_EQ(Problem.Refusal, Case.Refusal) << Problem.Message;
    EXPECT_NE(Problem.Message.find(Case.Mentions), std::string::npos) << Problem.Message;
    // Replace lets through all but the inputs.
    EXPECT_EQ(TargetProblem(Dir / Case.Target, Case.Content, Inputs, true).Refusal,
              Case.Refusal == R::Input ? R::Input : R::None);
  }
  EXPECT_EQ(TargetProblem("-", C::Wav, {{"-", "the source"}}).Refusal, R::None);
}

}  // namespace
}  // namespace kestrum
