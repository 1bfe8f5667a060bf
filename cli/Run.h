// What the single run and the batch run share: setting a TKestrum up from
// the options, and the line that describes its source.
#pragma once

#include <cstdint>
#include <string>

#include "cli/Options.h"
#include "filter/Kestrum.h"

namespace kestrum {

// The source's rate and length, read from its header alone.
struct TSourceFormat {
  uint32_t Frequency = 0;
  int32_t NSamples = 0;
};

// Whether Source can be opened twice, once for its header and once for the
// run: a regular file, not "-", a pipe or a device.
bool CanReadTwice(const std::string& Source);

// Opens Source, reads its header and closes it. Raises the reader's errors;
// EUsageError when !CanReadTwice(Source).
TSourceFormat ReadSourceFormat(const std::string& Source);

// Sets the files, the frame range for a source of Frequency Hz (needed only
// when NeedsRate), the kernel and its Threads. Throws EUsageError as FrameRange.
void SetUpRun(TKestrum& Kestrum, const TOptions& Options, const std::string& Source,
              const std::string& Target, uint32_t Frequency, int Threads);

// Frames a run over a source of Format will filter: what the range selects,
// or the whole source's length when it selects none. Throws as FrameRange.
int32_t FramesToFilter(const TOptions& Options, const TSourceFormat& Format);

// The warning about samples beyond the sample width, or "" when none was.
std::string OverflowWarning(const TOverflowCount& Count, bool Clip);

// The warning that --start lies past the end of a source of NSamples frames
// at Frequency Hz, whose output is then silence; "" when it does not.
std::string StartPastEndWarning(const TOptions& Options, uint32_t Frequency, int32_t NSamples);

// "Source: music.wav: 2 channels, 44100 Hz, 16-bit, 0:10.000 (441000 frames)".
std::string DescribeSource(const std::string& Name, ff_bits Bits, ff_channels Channels,
                           uint32_t Frequency, int32_t NSamples);

}  // namespace kestrum
