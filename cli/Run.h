// What the single run and the batch run share: setting a TKestrum up from
// the options, and the line that describes its source.
#pragma once

#include <cstdint>
#include <string>

#include "cli/Options.h"
#include "kestrum/component/Kestrum.h"
#include "kestrum/design/Design.h"  // RateWarning

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
// EUsageError(StreamRefusal) when Source is "-", a pipe or a device.
TSourceFormat ReadSourceFormat(const std::string& Source, const std::string& StreamRefusal);

// Why the options cannot run on a batch's stream, which gives its rate only
// once the run reads it (a time in --start or --count), or "" when they can.
std::string RateRefusal(const TOptions& Options);

// The design Options name, made at Rate; where it misses its request goes
// to Warnings. Throws EUsageError when it cannot be made at Rate, or the
// engine cannot run it (CheckFilterUse).
TFilter DesignAt(const TOptions& Options, uint32_t Rate, std::vector<std::string>& Warnings);

// FILTER read once, as the options say; throws as ReadFilter, and
// EUsageError where CheckFilterUse refuses it.
TFilter ReadFilterOf(const TOptions& Options);

// Throws EUsageError when the options contradict the filter: an engine that
// cannot run its kind (CheckEngine), a WAV filter's scaling for a .fir,
// --align for a filter without one delay in whole frames (GroupDelay).
void CheckFilterUse(const TOptions& Options, const TFilter& Filter);

// Sets the files (Filter, when given, is the filter the run uses), the frame
// range for a source of Frequency Hz (needed only when NeedsRate; with 0 a
// range in times is left to OnSourceRate), the kernel and its Threads.
// Throws EUsageError as FrameRange.
void SetUpRun(TKestrum& Kestrum, const TOptions& Options, const std::string& Source,
              const std::string& Target, const TFilter* Filter, uint32_t Frequency, int Threads);

// Refuses (EUsageError) a Target that a run would wrongly replace
// (kestrum/wav/TargetRule.h): one of its inputs always; unless --force, a name
// ending in .fir or in another audio format's extension, and an existing
// file that is not a WAV file. Before that, when FILTER does not exist and
// Target looks like a filter, says that the order is SOURCE TARGET FILTER.
void CheckTarget(const TOptions& Options, const std::string& Target);

// Why a run from Source must not write Target, in the tool's words, or ""
// when it may: the rule CheckTarget applies.
std::string TargetRefusal(const TOptions& Options, const std::string& Source, const std::string& Target);


// Frames a run over a source of Format will filter: what the range selects,
// or the whole source's length when it selects none. Throws as FrameRange.
int32_t FramesToFilter(const TOptions& Options, const TSourceFormat& Format);

// The warning about samples beyond the sample width, or "" when none was.
std::string OverflowWarning(const TOverflowCount& Count, bool Clip);

// The warning that --start lies past the end of a source of NSamples frames
// at Frequency Hz, whose output is then silence; "" when it does not.
std::string StartPastEndWarning(const TOptions& Options, uint32_t Frequency, int32_t NSamples);

// "Source: music.wav: 2 channels, 44100 Hz, 16-bit, 0:10.000 (441000 frames)".
// A Streamed source's header gives at most its length: "up to 0:10.000
// (441000 frames)"; NSamples -1, none: "length unknown until the stream ends".
std::string DescribeSource(const std::string& Name, ff_bits Bits, int Channels, uint32_t Frequency,
                           int32_t NSamples, bool Streamed = false);

}  // namespace kestrum
