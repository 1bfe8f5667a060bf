// Strict decimal conversion of the dialog's texts.
#include "demo/ConvertError.h"

#include <limits>

namespace kestrum {

int32_t StrToInt(const std::string& Text) {
  const auto Refuse = [&Text] { return EConvertError("'" + Text + "' is not a valid integer value"); };
  size_t I = 0;
  const bool Negative = !Text.empty() && Text[0] == '-';
  if (!Text.empty() && (Text[0] == '-' || Text[0] == '+')) ++I;
  if (I == Text.size()) throw Refuse();
  // The magnitude may reach 2^31 for the most negative value.
  const int64_t Limit = int64_t{std::numeric_limits<int32_t>::max()} + (Negative ? 1 : 0);
  int64_t Magnitude = 0;
  for (; I < Text.size(); ++I) {
    if (Text[I] < '0' || Text[I] > '9') throw Refuse();
    Magnitude = Magnitude * 10 + (Text[I] - '0');
    if (Magnitude > Limit) throw Refuse();
  }
  return static_cast<int32_t>(Negative ? -Magnitude : Magnitude);
}

}  // namespace kestrum
