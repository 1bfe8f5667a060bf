// Text-to-integer conversion for the dialog's edits, and the error it raises.
#pragma once

#include <cstdint>
#include <string>

#include "kestrum/base/Errors.h"

namespace kestrum {

// A text that is not what a conversion expects.
class EConvertError : public EKestrum {
public:
  using EKestrum::EKestrum;
};

// Text as a signed 32-bit decimal integer: an optional '+' or '-', then one
// or more ASCII digits, nothing else (blanks refused). Throws EConvertError
// "'abc' is not a valid integer value" otherwise, or when out of range.
int32_t StrToInt(const std::string& Text);

}  // namespace kestrum
