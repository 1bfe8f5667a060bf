// A position or length in the source, given as frames or as a time that
// becomes frames once the source's rate is known.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrum {

struct TFrameTime {
  bool IsTime = false;
  int64_t Frames = 0;       // when !IsTime
  int64_t Nanoseconds = 0;  // when IsTime
  std::string Text;         // as written, for messages

  // Frames at Frequency: Frames as they are, or the time converted to the
  // nearest frame (halves round up). Saturates at INT64_MAX.
  int64_t ToFrames(uint32_t Frequency) const;
};

// Reads a plain decimal integer (frames) or a time: "1.5s", "250ms" (up to
// 9 and 6 decimals), "1:30" (m:ss) or "1:02:03.5" (h:mm:ss), the fields after
// the first of two digits and below 60. Nothing else: no sign, no blanks, no
// unit on a plain number. Empty when Text is none of these or overflows.
std::optional<TFrameTime> ParseFrameTime(const std::string& Text);

}  // namespace kestrum
