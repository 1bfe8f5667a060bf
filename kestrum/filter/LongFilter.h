// Filters of any length: an impulse response read from a WAV file, whose
// samples, as fractions of full scale, are the taps at delays 0, 1, 2, ...
// They run on the FFT engine (kestrum/kernel/FftKernel.h), or with --exact on the
// fast kernel's float arithmetic over the whole length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrum/filter/FirFile.h"
#include "kestrum/audio/Format.h"

namespace kestrum {

// The most taps a long filter may have: 2^21, 43.7 s at 48 kHz. The FFT
// engine then holds about 34 MB of spectra per filter channel and as much
// per source channel (kestrum/kernel/FftKernel.h).
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

class TReadWavFile;

// A filter file opened once: its first bytes, read on opening, tell a WAV
// impulse response from .fir text, and the reader chosen goes on from them,
// so that a pipe, a FIFO or a /dev/fd name is read once, as a file is.
// A regular file is read from its start again; a WAV file that arrives
// through anything else is taken whole into memory first, at most
// kMaxStreamedWavBytes, as the WAV reader reads a stream's data only once.
class TFilterFile {
public:
  // Opens FileName, used exactly as it is held, and reads its first 12 bytes
  // (fewer at its end). Throws EInOutError when it cannot be opened or read.
  explicit TFilterFile(std::string FileName);
  ~TFilterFile();
  TFilterFile(const TFilterFile&) = delete;
  TFilterFile& operator=(const TFilterFile&) = delete;

  const std::string& Name() const { return FName; }
  bool IsWav() const { return FIsWav; }

  // The .fir reader of the file, from its first byte; it takes the file
  // over, so this is called once, instead of the two below.
  TFirFileReader FirReader();
  // Opens Reader on the file from its first byte (it refuses one that is not
  // WAV); the file stays this object's.
  void OpenWav(TReadWavFile& Reader);
  // The file's samples as taps, scaled as Options say; throws as
  // ReadLongFilter does. Comment, when given, gets the file's own comment
  // (LIST INFO ICMT, as kestrum design writes a design's description), or "".
  TLongFilter ReadLong(const TLongFilterOptions& Options = {}, std::string* Comment = nullptr);

private:
  std::string FName;
  int FFd = -1;       // -1 once the .fir reader has it
  int FMemory = -1;   // a streamed WAV file, once read whole
  std::string FHead;  // the first bytes, read already
  bool FIsWav = false;
  bool FRegular = false;
};

// The bytes of a WAV filter that a pipe or FIFO may bring: the longest
// filter's samples in the widest frames, and room for its other chunks.
constexpr uint64_t kMaxStreamedWavBytes = uint64_t{kMaxLongTaps} * MAX_CHANNELS * 8 + (uint64_t{64} << 20);

// Reads a WAV file's samples as taps, scaled as Options say. Throws
// EInOutError for a file the WAV reader refuses, EGeneralError for a
// channel it lacks, non-finite samples, no samples, silence when
// normalising, a gain that takes a tap beyond single precision, or more
// than kMaxLongTaps taps.
TLongFilter ReadLongFilter(const std::string& FileName, const TLongFilterOptions& Options = {});

// A .fir filter's taps on a line: each coefficient at its effective delay,
// coefficients at the same delay added.
TLongFilter LongFilterOf(const TFirFilter& Filter);

// Throws EGeneralError naming FileName unless Filter can run on Channels
// source channels: one filter channel, or as many as the source has.
void CheckChannels(const TLongFilter& Filter, int Channels, const std::string& FileName);

}  // namespace kestrum
