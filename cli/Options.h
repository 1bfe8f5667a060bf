// The command line: what it holds, how it is read, and the frame range it
// selects once the source's rate is known.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrum/base/FrameTime.h"
#include "kestrum/component/Kestrum.h"
#include "kestrum/design/FilterArgument.h"

namespace kestrum {

struct TOptions {
  // SOURCE TARGET FILTER; with an output folder, SOURCE... FILTER.
  std::vector<std::string> Files;
  std::optional<std::string> OutputDir;
  // --files-from: a file naming more sources, one a line ("-": standard input).
  std::optional<std::string> FilesFrom;
  TFrameTime Start, Count;
  TEngine Engine = TEngine::Auto;  // --kernel, --fft, --exact
  int32_t Threads = 0;  // 0: one per core
  bool Quiet = false;
  // Saturate samples beyond the sample width; false (--wrap) keeps the
  // component's own arithmetic, which keeps their low bits.
  bool Clip = true;
  bool Force = false;  // replace a TARGET that is not a WAV file
  // The target's sample width (-b, 0: the source's) and encoding (-e).
  bool KeepMetadata = false;  // --keep-metadata
  int TargetBits = 0;
  TEncoding TargetEncoding = TEncoding::Source;
  // --dither, and its generator's seed (--dither-seed, which implies it).
  bool Dither = false;
  uint64_t DitherSeed = TDither::kDefaultSeed;
  // A WAV FILTER: how its samples become taps.
  TLongFilterOptions Long;
  // --align: a frame count, or kAlignDelay (kestrum/component/Kestrum.h).
  int32_t Align = kAlignOff;
  // The first of --filter-channel, --filter-gain and --normalize given, or "".
  std::string Scaling;
  // FILTER read as a design ("lowpass:3000"), made at each source's rate.
  std::optional<TFilterDesign> Design;

  const std::string& Filter() const { return Files.back(); }
};

// Reads the command line into Options. Returns the exit status when the tool
// should stop there: 0 after printing --help or --version on stdout,
// kUsageError after printing a usage error on stderr.
std::optional<int> ParseCommandLine(int argc, const char* const* argv, TOptions& Options);

// A wrong command line found only once a source is open.
class EUsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// First frame and end frame (StartPos, EndPos) that Options select in a
// source of Frequency Hz. Throws EUsageError when they go beyond 32 bits,
// and for a --count time that is not 0 but rounds to no frame.
std::pair<int32_t, int32_t> FrameRange(const TOptions& Options, uint32_t Frequency);

// Whether FrameRange needs the source's rate: a time was given.
inline bool NeedsRate(const TOptions& Options) { return Options.Start.IsTime || Options.Count.IsTime; }

}  // namespace kestrum
