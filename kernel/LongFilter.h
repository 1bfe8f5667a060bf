// Filters of any length: an impulse response read from a WAV file, whose
// samples, as fractions of full scale, are the taps at delays 0, 1, 2, ...
// They run on the FFT engine (kernel/FftKernel.h), or with --exact on the
// fast kernel's float arithmetic over the whole length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fir/FirFile.h"

namespace kestrum {

// The most taps a long filter may have: 2^21, 43.7 s at 48 kHz. The FFT
// engine then holds about 34 MB of spectra per filter channel and as much
// per source channel (kernel/FftKernel.h).
constexpr size_t kMaxLongTaps = size_t{1} << 21;

// How a filter's taps are scaled after reading.
enum class TNormalize { None, Peak, Energy };

struct TLongFilterOptions {
  int Channel = 0;                          // 1 for the file's first channel; 0: every channel
  double GainDb = 0.0;                      // applied after normalising
  TNormalize Normalize = TNormalize::None;  // Peak: largest |tap| 1; Energy: sum of squares 1
};

// Taps per channel: one list for every source channel, or one per channel.
struct TLongFilter {
  std::vector<std::vector<double>> Channels;
  uint32_t Rate = 0;  // the WAV file's rate; 0 for a filter from a .fir

  size_t Length() const;  // taps of the longest channel
  // The taps that source channel C (from 0) of Count channels goes through;
  // throws EGeneralError when the filter has channels but not Count of them.
  const std::vector<double>& For(int C) const { return Channels[Channels.size() == 1 ? 0 : size_t(C)]; }
};

// Whether FileName holds a WAV file (it starts with RIFF or RF64), which a
// run then reads as a long filter rather than as a .fir file.
bool IsWavFilter(const std::string& FileName);

// Reads a WAV file's samples as taps, scaled as Options say. Throws
// EInOutError for a file the WAV reader refuses, EGeneralError for a
// channel it lacks, non-finite samples, no samples, silence when
// normalising, or more than kMaxLongTaps taps.
TLongFilter ReadLongFilter(const std::string& FileName, const TLongFilterOptions& Options = {});

// A .fir filter's taps on a line: each coefficient at its effective delay,
// coefficients at the same delay added.
TLongFilter LongFilterOf(const TFirFilter& Filter);

// Throws EGeneralError naming FileName unless Filter can run on Channels
// source channels: one filter channel, or as many as the source has.
void CheckChannels(const TLongFilter& Filter, int Channels, const std::string& FileName);

}  // namespace kestrum
