// A filter named in a few words instead of a file, such as "lowpass:3000" or
// "bandpass:300-3400:60dB", designed at a rate into a filter value; and the
// one function that turns any filter argument, a design or a file's name,
// into a filter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrum/design/Design.h"
#include "kestrum/filter/Filter.h"

namespace kestrum {

// What a filter name asks for; the rate comes from each source.
struct TFilterDesign {
  std::string Text;        // as written
  TDesignRequest Request;  // Rate 0; Attenuation and Transition NaN when not given
};

// The written forms, for help and errors.
constexpr const char* kDesignForms =
    "lowpass:HZ, highpass:HZ, bandpass:LOW-HIGH or bandstop:LOW-HIGH, then\n"
    "optionally :60dB (stopband attenuation, default 60), :200Hz (transition\n"
    "width) or :101taps (a Blackman window of that many taps)";

// A rate or frequency in Hz: "44100", "44100Hz", "44.1k" or "44.1kHz" (the
// units in any case). nullopt for anything else, and for 0, negative or
// non-finite values.
std::optional<double> ParseHz(const std::string& Text);

// Text read as a design: nullopt when it does not start with a band kind and
// a colon, or names an existing file. Throws EGeneralError, naming Text and
// the written forms, when it starts so but the rest is wrong.
std::optional<TFilterDesign> ParseFilterDesign(const std::string& Text);

// The design made at Rate, in memory: a .fir table, or past FIR_MAX_TAPS
// taps a long filter (of one channel, in double), which runs on the FFT
// engine. Its Name is the design's text, its Comment the design's
// description, its Rate Rate. Warnings gets where the design misses its
// request (DesignShortfalls), each naming the design and the rate. Throws
// EGeneralError, naming them too, when the design cannot be made at Rate.
TFilter DesignedFilter(const TFilterDesign& Design, uint32_t Rate, std::vector<std::string>& Warnings);

// Any filter argument as a filter: a design (ParseFilterDesign) made at Rate
// (which must then not be 0), anything else read by ReadFilter as Options
// say. Throws as those do.
TFilter FilterFromArgument(const std::string& Text, uint32_t Rate, const TLongFilterOptions& Options,
                           std::vector<std::string>& Warnings);

}  // namespace kestrum
