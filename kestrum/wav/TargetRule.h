// What a writer may replace: one rule for every writer of the system (the
// filtering run, the designer, the response's table and plot, the Python
// and Dask writers), so that none of them replaces a file the others keep.
#pragma once

#include <string>
#include <vector>

namespace kestrum {

// What a writer puts in its target.
enum class TTargetContent {
  Wav,   // a WAV file
  Text,  // filter text, a table or a plot
};

// Why a target is refused. A name or an existing file may be replaced all
// the same when the caller says so; one of the run's inputs never is.
enum class TTargetRefusal { None, Input, Name, Existing };

struct TTargetProblem {
  TTargetRefusal Refusal = TTargetRefusal::None;
  std::string Message;  // names the target as given; "" when nothing is refused
  explicit operator bool() const { return Refusal != TTargetRefusal::None; }
};

// A file the writer's run reads, and what it is to that run, for a message:
// {"in.wav", "the source"}, {"lp.fir", "the filter"}.
struct TTargetInput {
  std::string Name;
  std::string Role;
};

// Whether Target may receive Content, and why not:
// - Input: Target is one of Inputs (the same file by device and inode,
//   links followed): "'x.wav' is the source itself". Never overridden.
// - Name, unless Replace: WAV under a name ending in .fir or in another
//   audio format's extension; text under a name ending in .wav or another
//   audio extension.
// - Existing, unless Replace: an existing non-empty regular file that
//   holds something else: for WAV, anything but a WAV file (RIFF, RF64,
//   BW64); for text, a WAV file or a binary one.
// A stream target (kestrum/base/OutputFile.h's IsStreamTarget: "-", a pipe, a
// device) is written straight and never refused; nor is an input "-".
TTargetProblem TargetProblem(const std::string& Target, TTargetContent Content,
                             const std::vector<TTargetInput>& Inputs = {}, bool Replace = false);

// The lower-case extension of Name, with its dot: ".mp3"; "" when none.
std::string LowerExtension(const std::string& Name);

// Whether Extension (lower case, with its dot) is an audio format's other
// than WAV, which a WAV file must not be named after.
bool IsOtherAudioExtension(const std::string& Extension);

}  // namespace kestrum
