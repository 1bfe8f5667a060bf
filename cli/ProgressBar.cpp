// Formats and draws the progress bar, and formats the summary line.
#include "cli/ProgressBar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kestrum {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// "m:ss" or "h:mm:ss".
std::string FormatDuration(double Seconds) {
  const long Whole = std::lround(std::max(Seconds, 0.0));
  char Text[32];
  if (Whole >= 3600)
    std::snprintf(Text, sizeof Text, "%ld:%02ld:%02ld", Whole / 3600, Whole / 60 % 60, Whole % 60);
  else
    std::snprintf(Text, sizeof Text, "%ld:%02ld", Whole / 60, Whole % 60);
  return Text;
}

int TerminalWidth(std::FILE* Out) {
  winsize Size{};
  if (ioctl(fileno(Out), TIOCGWINSZ, &Size) == 0 && Size.ws_col > 0) return Size.ws_col;
  return 80;
}

// The bar's text for Done of Total frames after Seconds, at most Width - 1
// columns so that the terminal never wraps it.
std::string FormatProgress(int64_t Done, int64_t Total, double Seconds, int Width) {
  const double Fraction = std::clamp(static_cast<double>(Done) / Total, 0.0, 1.0);
  const double Rate = Seconds > 0 ? Done / Seconds : 0.0;
  std::string Percent = std::to_string(static_cast<int>(Fraction * 100)) + "%";
  Percent.insert(0, 4 - Percent.size(), ' ');
  // Padded so that the line keeps its length from one drawing to the next.
  const std::string TotalText = std::to_string(Total);
  char Figures[160];
  std::snprintf(Figures, sizeof Figures, " %*lld/%s frames, %7.0f frames/s, %s left",
                static_cast<int>(TotalText.size()), static_cast<long long>(Done), TotalText.c_str(),
                Rate, Rate > 0 ? FormatDuration((Total - Done) / Rate).c_str() : "?:??");

  // The bar takes what the figures leave, from 10 to 40 cells; none on a
  // terminal too narrow for that.
  const int Room = Width - 1 - static_cast<int>(Percent.size() + std::strlen(Figures)) - 3;
  std::string Line = Percent;
  if (Room >= 10) {
    const int Cells = std::min(Room, 40);
    const int Filled = static_cast<int>(Fraction * Cells);
    Line += " [" + std::string(Filled, '#') + std::string(Cells - Filled, '.') + "]";
  }
  Line += Figures;
  if (Width > 1 && Line.size() > static_cast<size_t>(Width - 1)) Line.resize(Width - 1);
  return Line;
}

// The line for a length unknown until the end: frames done, audio time, speed.
std::string FormatStreamProgress(int64_t Done, uint32_t Frequency, double Seconds, int Width) {
  char Line[160];
  const int Length = std::snprintf(Line, sizeof Line, "%lld frames", static_cast<long long>(Done));
  if (Frequency > 0) {
    const double Audio = static_cast<double>(Done) / Frequency;
    std::snprintf(Line + Length, sizeof Line - Length, ", %s of audio, %.2fx real time",
                  FormatDuration(Audio).c_str(), Seconds > 0 ? Audio / Seconds : 0.0);
  }
  std::string Text = Line;
  if (Width > 1 && Text.size() > static_cast<size_t>(Width - 1)) Text.resize(Width - 1);
  return Text;
}

}  // namespace

TProgressBar::TProgressBar(std::FILE* Out) : FOut(Out) {}

void TProgressBar::Update(int64_t Done, int64_t Total, uint32_t Frequency) {
  if (Total == 0 || Total < -1) return;
  const auto Now = TClock::now();
  if (FDrawnLength != 0 && Now - FLastDraw < kRedrawInterval) return;
  FLastDraw = Now;
  const double Seconds = std::chrono::duration<double>(Now - FStart).count();
  const std::string Line = Total < 0 ? FormatStreamProgress(Done, Frequency, Seconds, TerminalWidth(FOut))
                                     : FormatProgress(Done, Total, Seconds, TerminalWidth(FOut));
  // Spaces cover what is left of a longer earlier drawing.
  const size_t Padding = FDrawnLength > Line.size() ? FDrawnLength - Line.size() : 0;
  std::fprintf(FOut, "\r%s%s", Line.c_str(), std::string(Padding, ' ').c_str());
  std::fflush(FOut);
  FDrawnLength = std::max<size_t>(Line.size() + Padding, 1);
}

void TProgressBar::Clear() {
  if (FDrawnLength == 0) return;
  std::fprintf(FOut, "\r%s\r", std::string(FDrawnLength, ' ').c_str());
  std::fflush(FOut);
  FDrawnLength = 0;
}

std::string FormatSummary(int64_t Frames, double Seconds, double AudioSeconds) {
  char Text[160];
  int Length = std::snprintf(Text, sizeof Text, "%lld frames in %.3f s",
                             static_cast<long long>(Frames), Seconds);
  // A run slower than real time is not "0.6 times faster".
  if (AudioSeconds > 0 && Seconds > 0)
    std::snprintf(Text + Length, sizeof Text - Length,
                  AudioSeconds >= Seconds ? ", %.1f times faster than real time" : ", %.1f times as fast as real time",
                  AudioSeconds / Seconds);
  return Text;
}

}  // namespace kestrum
