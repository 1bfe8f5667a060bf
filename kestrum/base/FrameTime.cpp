// Parses frame counts and times, and converts times to frames.
#include "kestrum/base/FrameTime.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <vector>

#include "kestrum/base/Errors.h"

namespace kestrum {

namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

bool IsDigits(std::string_view Text) {
  return !Text.empty() &&
         std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// A + B * C, or empty on overflow; all three are 0 or more.
std::optional<int64_t> MulAdd(int64_t A, int64_t B, int64_t C) {
  if (C != 0 && B > (kInt64Max - A) / C) return std::nullopt;
  return A + B * C;
}

// Digits as an integer, or empty on overflow.
std::optional<int64_t> ParseDigits(std::string_view Text) {
  int64_t Value = 0;
  for (char C : Text) {
    const auto Next = MulAdd(C - '0', Value, 10);
    if (!Next) return std::nullopt;
    Value = *Next;
  }
  return Value;
}

// "12", "12.5", ".5" or "12." in units of Unit nanoseconds, as nanoseconds;
// empty when the decimals go below one nanosecond.
std::optional<int64_t> ParseDecimal(std::string_view Text, int64_t Unit) {
  const size_t Point = Text.find('.');
  const std::string_view Whole = Text.substr(0, Point);
  const std::string_view Fraction =
      Point == std::string_view::npos ? std::string_view() : Text.substr(Point + 1);
  if (Whole.empty() && Fraction.empty()) return std::nullopt;
  if ((!Whole.empty() && !IsDigits(Whole)) || (!Fraction.empty() && !IsDigits(Fraction)))
    return std::nullopt;
  const auto WholeValue = ParseDigits(Whole);
  if (!WholeValue) return std::nullopt;
  int64_t Nanoseconds = 0;
  int64_t Place = Unit;
  for (char C : Fraction) {
    if (Place % 10 != 0) return std::nullopt;
    Place /= 10;
    Nanoseconds += (C - '0') * Place;
  }
  return MulAdd(Nanoseconds, *WholeValue, Unit);
}

// Two digits from 00 to 59.
bool IsSexagesimal(std::string_view Field) {
  return Field.size() == 2 && IsDigits(Field) && Field[0] <= '5';
}

// "m:ss" or "h:mm:ss", the seconds with optional decimals.
std::optional<int64_t> ParseClock(std::string_view Text) {
  std::vector<std::string_view> Fields;
  for (size_t Colon; (Colon = Text.find(':')) != std::string_view::npos;) {
    Fields.push_back(Text.substr(0, Colon));
    Text.remove_prefix(Colon + 1);
  }
  Fields.push_back(Text);
  if (Fields.size() > 3 || !IsDigits(Fields.front())) return std::nullopt;
  std::optional<int64_t> Minutes = ParseDigits(Fields.front());
  if (Fields.size() == 3) {
    if (!IsSexagesimal(Fields[1])) return std::nullopt;
    if (Minutes) Minutes = MulAdd(*ParseDigits(Fields[1]), *Minutes, 60);
  }
  const std::string_view Seconds = Fields.back();
  if (!Minutes || !IsSexagesimal(Seconds.substr(0, 2)) ||
      (Seconds.size() > 2 && Seconds[2] != '.'))
    return std::nullopt;
  const auto Nanoseconds = ParseDecimal(Seconds, kNsPerSecond);
  if (!Nanoseconds) return std::nullopt;
  return MulAdd(*Nanoseconds, *Minutes, 60 * kNsPerSecond);
}

}  // namespace

int64_t TFrameTime::ToFrames(uint32_t Frequency) const {
  if (!IsTime) return Frames;
  const int64_t Seconds = Nanoseconds / kNsPerSecond;
  // Below 1e9 times below 2^32: fits in 64 bits.
  const int64_t Rest = ((Nanoseconds % kNsPerSecond) * Frequency + kNsPerSecond / 2) / kNsPerSecond;
  return MulAdd(Rest, Seconds, Frequency).value_or(kInt64Max);
}

std::optional<TFrameTime> ParseFrameTime(const std::string& Text) {
  const std::string_view View(Text);
  std::optional<int64_t> Nanoseconds;
  if (IsDigits(View)) {
    const auto Frames = ParseDigits(View);
    if (!Frames) return std::nullopt;
    return TFrameTime{false, *Frames, 0, Text};
  }
  if (View.find(':') != std::string_view::npos)
    Nanoseconds = ParseClock(View);
  else if (View.ends_with("ms"))
    Nanoseconds = ParseDecimal(View.substr(0, View.size() - 2), kNsPerSecond / 1000);
  else if (View.ends_with("s"))
    Nanoseconds = ParseDecimal(View.substr(0, View.size() - 1), kNsPerSecond);
  if (!Nanoseconds) return std::nullopt;
  return TFrameTime{true, 0, *Nanoseconds, Text};
}

std::string FrameTimeProblem(const std::string& Text) {
  const auto Parsed = ParseFrameTime(Text);
  if (Parsed && Parsed->Frames <= kMaxFrame) return "";
  return "expected frames (an integer up to " + std::to_string(kMaxFrame) +
         ") or a time (1.5s, 250ms, 1:30, 1:02:03.5), found '" + Text + "'";
}

std::pair<int32_t, int32_t> FrameRange(const TFrameTime& Start, const TFrameTime& Count, uint32_t Frequency,
                                       const std::string& StartName, const std::string& CountName) {
  const int64_t First = Start.ToFrames(Frequency);
  const int64_t Length = Count.ToFrames(Frequency);
  if (Count.IsTime && Count.Nanoseconds > 0 && Length == 0) {
    // 0 would mean the whole source: a time that rounds to no frame is a mistake.
    const int64_t Shortest = (int64_t{500'000'000} + Frequency - 1) / std::max<uint32_t>(Frequency, 1);
    std::string Ms = std::to_string(Shortest / 1'000'000) + "." + std::to_string(1'000'000 + Shortest % 1'000'000).substr(1);
    while (Ms.back() == '0') Ms.pop_back();
    if (Ms.back() == '.') Ms.pop_back();
    throw EGeneralError(CountName + " " + Count.Text + " is less than half a frame at " + std::to_string(Frequency) +
                        " Hz and rounds to no frame; the shortest time at that rate is " + Ms + "ms");
  }
  if (Length > kMaxFrame || First > kMaxFrame - Length) {
    std::string Message = StartName + " + " + CountName + " must not exceed " + std::to_string(kMaxFrame) + " frames";
    if (Start.IsTime || Count.IsTime)
      Message += "; at " + std::to_string(Frequency) + " Hz they are " + std::to_string(First) + " + " +
                 std::to_string(Length);
    throw EGeneralError(Message);
  }
  return {static_cast<int32_t>(First), static_cast<int32_t>(First + Length)};
}

}  // namespace kestrum
