// Printing on stderr, with the progress bar kept out of the way.
#include "cli/Console.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "kestrum/base/Errors.h"

namespace kestrum {

TConsole::TConsole(bool Quiet) : FQuiet(Quiet) {
  if (!Quiet && isatty(STDERR_FILENO) == 1) FBar.emplace(stderr);
}

double TConsole::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
}

void TConsole::PrintLocked(const std::string& Line) {
  if (FBar) FBar->Clear();
  std::fprintf(stderr, "%s\n", EscapeControl(Line).c_str());
  std::fflush(stderr);
}

void TConsole::Print(const std::string& Line) {
  if (FQuiet) return;
  const std::lock_guard Guard(FLock);
  PrintLocked(Line);
}

void TConsole::Error(std::string Message) {
  const std::lock_guard Guard(FLock);
  if (FBar) FBar->Clear();
  PrintError(std::move(Message));
}

void TConsole::Warning(const std::string& Message, bool Once) {
  if (FQuiet || Message.empty()) return;
  const std::lock_guard Guard(FLock);
  if (!FWarned.insert(Message).second && Once) return;
  PrintLocked("kestrum: warning: " + Message);
}

void TConsole::Progress(int64_t Done, int64_t Total, uint32_t Frequency) {
  if (!FBar) return;
  const std::lock_guard Guard(FLock);
  FBar->Update(Done, Total, Frequency);
}

void PrintError(std::string Message) {
  // One line, whatever the file names hold: the line breaks of a message
  // become blanks, any other control byte is shown escaped.
  std::replace(Message.begin(), Message.end(), '\n', ' ');
  std::fprintf(stderr, "kestrum: %s\n", EscapeControl(Message).c_str());
  std::fflush(stderr);
}

void PrintUsageError(const std::string& Message, const std::string& Command) {
  PrintError(Message);
  std::fprintf(stderr, "Run '%s --help' for more.\n", Command.c_str());
}

}  // namespace kestrum
