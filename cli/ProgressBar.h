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
  // call always draws). Total -1: a length unknown until the end, drawn as
  // the frames done, the audio time they hold at Frequency Hz and the speed
  // against real time, without a percentage. Does nothing when Total is 0.
  void Update(int64_t Done, int64_t Total, uint32_t Frequency = 0);
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
// was when the frames hold AudioSeconds of sound ("times as fast as real
// time" below 1).
std::string FormatSummary(int64_t Frames, double Seconds, double AudioSeconds);

}  // namespace kestrum
