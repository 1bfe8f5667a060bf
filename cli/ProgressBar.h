// Progress drawn in place on one terminal line, and the closing summary.
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
  void Update(int64_t Done, int64_t Total);
  // Erases the bar, if one is drawn, leaving the cursor at the line's start.
  void Clear();

private:
  using TClock = std::chrono::steady_clock;

  std::FILE* FOut;
  TClock::time_point FStart = TClock::now();
  TClock::time_point FLastDraw{};
  size_t FDrawnLength = 0;  // columns of the bar on screen, 0 when none
};

// "Frames frames in Seconds s", and how many times faster than real time that
// was when the frames hold AudioSeconds of sound.
std::string FormatSummary(int64_t Frames, double Seconds, double AudioSeconds);

}  // namespace kestrum
