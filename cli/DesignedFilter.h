// A filter named on the command line instead of a .fir file, such as
// "lowpass:3000" or "bandpass:300-3400:60dB", designed at a source's rate.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kestrum/design/Design.h"

namespace kestrum {

// What a filter name asks for; the rate comes from each source.
struct TFilterDesign {
  std::string Text;         // as written
  TDesignRequest Request;   // Rate 0; Attenuation and Transition NaN when not given
};

// The written forms, for help and errors.
constexpr const char* kDesignForms =
    "lowpass:HZ, highpass:HZ, bandpass:LOW-HIGH or bandstop:LOW-HIGH, then\n"
    "optionally :60dB (stopband attenuation, default 60), :200Hz (transition\n"
    "width) or :101taps (a Blackman window of that many taps)";

// Text read as a design: nullopt when it does not start with a band kind and
// a colon, or names an existing file. Throws EUsageError when it starts so
// but the rest is wrong.
std::optional<TFilterDesign> ParseFilterDesign(const std::string& Text);

// A design at one rate, in an anonymous file in memory that the component
// reads like any filter file by Path(): .fir text, or when the design needs
// more than FIR_MAX_TAPS taps, a long filter (a 64-bit float WAV file of
// the taps), which runs on the FFT engine.
class TDesignedFilterFile {
public:
  // Throws EUsageError when the design cannot be made at Rate, saying why.
  TDesignedFilterFile(const TFilterDesign& Design, uint32_t Rate);
  ~TDesignedFilterFile();
  TDesignedFilterFile(const TDesignedFilterFile&) = delete;
  TDesignedFilterFile& operator=(const TDesignedFilterFile&) = delete;

  const std::string& Path() const { return FPath; }
  const std::string& Comment() const { return FComment; }
  bool Long() const { return FLong; }
  // Where the design misses its request (DesignShortfalls), naming the
  // design and the rate.
  const std::vector<std::string>& Warnings() const { return FWarnings; }
  // "Filter: lowpass:3000, designed at 48000 Hz".
  std::string LogLine() const;

private:
  int FFd = -1;
  std::string FName, FPath, FComment;
  std::vector<std::string> FWarnings;
  uint32_t FRate;
  bool FLong = false;
};

}  // namespace kestrum
