// A run's progress drawn in place on one terminal line, then its summary.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrum {

// Draws on Out, which should be a terminal: every drawing starts with a
// carriage return and overwrites the previous one. Write failures are ignored.
class TProgressBar {
public:
  explicit TProgressBar(std::FILE* Out);

  // Draws Done of Total frames, at most about ten times a second (the first
  // call always draws). Does nothing when Total is not positive.
  void Update(int32_t Done, int32_t Total);
  // Erases the bar, if one is drawn, leaving the cursor at the line's start.
  void Clear();
  // Clears the bar and prints one line: the frames, the seconds since
  // construction and how many times faster than real time at Frequency.
  void Summary(int32_t Frames, uint32_t Frequency);

private:
  using TClock = std::chrono::steady_clock;
  double Elapsed() const;

  std::FILE* FOut;
  TClock::time_point FStart = TClock::now();
  TClock::time_point FLastDraw{};
  size_t FDrawnLength = 0;  // columns of the bar on screen, 0 when none
};

}  // namespace kestrum
