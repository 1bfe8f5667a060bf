// Everything the tool prints for a person, all on stderr so that stdout
// carries nothing but audio.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "cli/ProgressBar.h"

namespace kestrum {

// Lines, errors and, when stderr is a terminal, a progress bar that the other
// output clears first. Every member may be called from several threads.
class TConsole {
public:
  // Quiet: print errors only, no lines and no bar.
  explicit TConsole(bool Quiet);

  bool Quiet() const { return FQuiet; }
  // Whether a progress bar is drawn.
  bool HasBar() const { return FBar.has_value(); }
  // Seconds since construction.
  double Elapsed() const;

  // Prints Line unless quiet. Here and below, control bytes (a line break,
  // an escape sequence from a file name or a filter's comment) are shown
  // escaped as errors show them (kestrum/base/Errors.h), so that one call prints one
  // line and nothing reaches the terminal raw.
  void Print(const std::string& Line);
  // Prints "kestrum: Message" on one line, line breaks turned into blanks.
  void Error(std::string Message);
  // Prints "kestrum: warning: Message" unless quiet; an empty Message is none.
  // Once: not when the same warning was printed before.
  void Warning(const std::string& Message, bool Once = false);
  // Draws Done of Total frames on the bar, if there is one (see
  // TProgressBar::Update: Total -1 for a length unknown until the end).
  void Progress(int64_t Done, int64_t Total, uint32_t Frequency = 0);

private:
  void PrintLocked(const std::string& Line);

  const bool FQuiet;
  const std::chrono::steady_clock::time_point FStart = std::chrono::steady_clock::now();
  std::mutex FLock;
  std::optional<TProgressBar> FBar;
  std::set<std::string> FWarned;
};

// Prints "kestrum: Message" on stderr, on one line: line breaks turned into
// blanks, other control bytes escaped.
void PrintError(std::string Message);

// Prints a command-line error the way every one is printed: "kestrum: ",
// Message and where to look, "Run 'Command --help' for more."; the caller
// exits with kUsageError.
void PrintUsageError(const std::string& Message, const std::string& Command = "kestrum");
constexpr int kUsageError = 2;

}  // namespace kestrum
