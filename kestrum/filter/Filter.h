// One filter value for every host and engine: a .fir table or a long filter's
// taps per channel, with its name, its description and the rate it was made
// for. Read once from a file (a pipe or FIFO too), or made in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "kestrum/filter/FirFile.h"
#include "kestrum/filter/LongFilter.h"

namespace kestrum {

struct TFilter {
  // The file or design it came from, as messages name it.
  std::string Name;
  // A .fir's first line; for a long filter a description: a WAV file's own
  // comment (LIST INFO ICMT) or "impulse response, 2 channels, 48000 Hz",
  // or a design's.
  std::string Comment;
  // The rate it was made for, in Hz; 0 when it does not say (a .fir file).
  uint32_t Rate = 0;
  // A long filter's taps are shared, never changed, by the copies of the
  // value and the engines that run it: they may be megabytes.
  std::variant<TFirFilter, std::shared_ptr<const TLongFilter>> Taps;
  // What reading found valid but odd, each naming the file and the line:
  // those about its head (comment and tap count), then those about its taps.
  std::vector<std::string> HeadWarnings, TapWarnings;

  bool IsLong() const { return Taps.index() == 1; }
  // The .fir table; only for a filter that is not long.
  const TFirFilter& Fir() const { return std::get<TFirFilter>(Taps); }
  // The taps per channel; only for a long filter.
  const TLongFilter& Long() const { return *SharedLong(); }
  const std::shared_ptr<const TLongFilter>& SharedLong() const { return std::get<1>(Taps); }
  // Taps of the longest channel: a .fir's NbTaps, a long filter's Length().
  size_t Length() const;
};

// Reads the filter in FileName, opening it once: its first bytes tell a WAV
// impulse response (read as Options say) from a .fir file. Throws as
// TFirFileReader and ReadLongFilter do, and EGeneralError for a blank name. OnHead, when given, sees the filter
// once its name, comment, rate and length are known and its head's warnings
// taken, before a .fir's taps are read (so that a host logs them first,
// whatever the taps then hold); its TapWarnings come with the result.
TFilter ReadFilter(const std::string& FileName, const TLongFilterOptions& Options = {},
                   const std::function<void(const TFilter& Head)>& OnHead = {});

// A filter value of a .fir table or of long taps, named Name.
TFilter FilterOf(TFirFilter Fir, std::string Name);
TFilter FilterOf(TLongFilter Long, std::string Name, std::string Comment);

// The delay in frames of a linear-phase filter, whose taps (a .fir's at
// their effective delays, each channel's of a long filter) are symmetric or
// antisymmetric between the first and the last that is not 0: that of the
// middle of this span. Throws EGeneralError, naming the filter and saying
// that a frame count is needed instead, for a filter that is not
// linear-phase, one whose delay is not a whole frame (an even span, such as
// that of an even-length symmetric filter), and channels of other delays.
int64_t GroupDelay(const TFilter& Filter);

// "impulse response, 2 channels, 48000 Hz": how a long filter read from a
// WAV file describes itself.
std::string ImpulseComment(const TLongFilter& Long);

}  // namespace kestrum
