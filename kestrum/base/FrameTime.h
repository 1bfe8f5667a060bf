// A position or length in the source, given as frames or as a time that
// becomes frames once the source's rate is known.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

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

// The most frames a position or a length may count: a run counts its frames
// in signed 32 bits.
constexpr int64_t kMaxFrame = INT32_MAX;

// Why Text is not a position or length a run takes, "" when it is: "expected
// frames (an integer up to 2147483647) or a time (1.5s, 250ms, 1:30,
// 1:02:03.5), found 'x'".
std::string FrameTimeProblem(const std::string& Text);

// The frames [first, end) that Start and Count select in a source of
// Frequency Hz; end = first when Count is 0, which a run takes for the whole
// source. Throws EGeneralError naming the options as StartName and CountName:
// a Count time above zero that rounds to no frame (0 would mean the whole
// source), or a range beyond kMaxFrame (with the frames the times gave).
std::pair<int32_t, int32_t> FrameRange(const TFrameTime& Start, const TFrameTime& Count, uint32_t Frequency,
                                       const std::string& StartName = "--start",
                                       const std::string& CountName = "--count");

}  // namespace kestrum
