// The rule of what a writer may replace.
#include "kestrum/wav/TargetRule.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>

#include "kestrum/base/OutputFile.h"
#include "kestrum/wav/WavHeader.h"

namespace kestrum {

namespace {

const char* const kOtherAudio[] = {".flac", ".mp3", ".ogg", ".oga", ".opus", ".m4a", ".aac",
                                   ".aif",  ".aiff", ".aifc", ".wma", ".au",  ".caf", ".mka",
                                   ".w64", ".wv",   ".ape",  ".mp2", ".ac3", ".amr"};

// Bytes read to tell text from a binary file: enough to pass a long first
// line, few enough to cost nothing.
constexpr std::streamsize kHeadBytes = 512;

bool IsText(const std::string& Head) {
  return std::all_of(Head.begin(), Head.end(), [](char C) {
    const auto U = static_cast<unsigned char>(C);
    return std::isprint(U) || std::isspace(U) || U >= 0x80;  // UTF-8 and Latin-1 letters too
  });
}

// What the first bytes of a file say it is, for a message.
std::string KindOfFile(const std::string& Head) {
  const auto Starts = [&](const char* Magic) { return Head.rfind(Magic, 0) == 0; };
  if (IsWavHead(Head)) return "a WAV file";
  if (Starts("fLaC")) return "a FLAC file";
  if (Starts("OggS")) return "an Ogg file";
  if (Starts("ID3") || (Head.size() > 1 && uint8_t(Head[0]) == 0xFF && (uint8_t(Head[1]) & 0xE0) == 0xE0))
    return "an MP3 file";
  if (Starts("FORM")) return "an AIFF file";
  if (Head.size() >= 8 && Head.compare(4, 4, "ftyp") == 0) return "an MP4 file";
  return IsText(Head) ? "a text file (a filter file?)" : "not a WAV file";
}

// The first bytes of Target when it is a non-empty regular file, else "".
std::string HeadOf(const std::string& Target) {
  std::error_code Ec;
  if (!std::filesystem::is_regular_file(Target, Ec) || std::filesystem::file_size(Target, Ec) == 0) return "";
  std::ifstream File(Target, std::ios::binary);
  std::string Head(kHeadBytes, '\0');
  File.read(Head.data(), kHeadBytes);
  Head.resize(static_cast<size_t>(File.gcount()));
  return Head;
}

bool SameFile(const std::string& A, const std::string& B) {
  struct stat StatA {}, StatB {};
  return stat(A.c_str(), &StatA) == 0 && stat(B.c_str(), &StatB) == 0 && StatA.st_dev == StatB.st_dev &&
         StatA.st_ino == StatB.st_ino;
}

}  // namespace

std::string LowerExtension(const std::string& Name) {
  std::string Extension = std::filesystem::path(Name).extension().string();
  for (char& C : Extension) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Extension;
}

bool IsOtherAudioExtension(const std::string& Extension) {
  return std::find(std::begin(kOtherAudio), std::end(kOtherAudio), Extension) != std::end(kOtherAudio);
}

TTargetProblem TargetProblem(const std::string& Target, TTargetContent Content,
                             const std::vector<TTargetInput>& Inputs, bool Replace) {
  if (IsStreamTarget(Target)) return {};
  const std::string Quoted = "'" + Target + "'";
  for (const TTargetInput& Input : Inputs)
    if (Input.Name != "-" && SameFile(Target, Input.Name))
      return {TTargetRefusal::Input, Quoted + " is " + Input.Role + " itself"};
  if (Replace) return {};
  const bool Wav = Content == TTargetContent::Wav;
  const std::string Extension = LowerExtension(Target);
  if (Wav && Extension == ".fir")
    return {TTargetRefusal::Name, Quoted + " is named like a filter file, and a run writes WAV there"};
  if (IsOtherAudioExtension(Extension) || (!Wav && Extension == ".wav"))
    return {TTargetRefusal::Name, Quoted + " is named like " +
                                      (Extension == ".wav" ? "a WAV file" : "an audio file (" + Extension + ")") +
                                      ", and " + (Wav ? "WAV" : "text") + " would be written there"};
  const std::string Head = HeadOf(Target);
  if (Head.empty() || (Wav ? IsWavHead(Head) : !IsWavHead(Head) && IsText(Head))) return {};
  return {TTargetRefusal::Existing, Quoted + " exists and is " + KindOfFile(Head) +
                                        (Wav ? "; a run would replace it with WAV" : "; text would replace it")};
}

}  // namespace kestrum
