// What the subcommands share: running a parsed command, and output files
// written whole or not at all.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Errors.h"
#include "cli/Commands.h"

namespace kestrum {

namespace {

// Writes all of Text to Fd; returns 0 or the errno of the failure.
int WriteAll(int Fd, const std::string& Text) {
  for (size_t Done = 0; Done < Text.size();) {
    const ssize_t Count = write(Fd, Text.data() + Done, Text.size() - Done);
    if (Count < 0 && errno == EINTR) continue;
    if (Count < 0) return errno;
    Done += static_cast<size_t>(Count);
  }
  return 0;
}

}  // namespace

void WriteOutput(const std::string& Name, const std::string& Text) {
  if (Name == "-") {
    if (std::fwrite(Text.data(), 1, Text.size(), stdout) != Text.size() || std::fflush(stdout) != 0)
      throw EInOutError::FromErrno(errno, "cannot write", "standard output");
    return;
  }
  // Through a symbolic link, the file it names is the one replaced.
  std::string Final = Name;
  if (char* Real = realpath(Name.c_str(), nullptr)) {
    Final = Real;
    std::free(Real);
  }
  struct stat Old {};
  const bool Exists = stat(Final.c_str(), &Old) == 0;
  // A device or a pipe is written as it is: renaming over it would replace it.
  if (Exists && !S_ISREG(Old.st_mode)) {
    const int Fd = open(Final.c_str(), O_WRONLY);
    if (Fd == -1) throw EInOutError::FromErrno(errno, "cannot open", Name, "for writing");
    const int Error = WriteAll(Fd, Text);
    if (close(Fd) != 0 || Error != 0) throw EInOutError::FromErrno(Error ? Error : errno, "cannot write", Name);
    return;
  }
  std::vector<char> Temp(Final.begin(), Final.end());
  for (char C : std::string(".XXXXXX")) Temp.push_back(C);
  Temp.push_back('\0');
  const int Fd = mkstemp(Temp.data());
  if (Fd == -1) throw EInOutError::FromErrno(errno, "cannot create a file beside", Name);
  // mkstemp makes the file private: give it the mode of the file it
  // replaces, or the usual one.
  mode_t Mode = Old.st_mode & 07777;
  if (!Exists) {
    const mode_t Mask = umask(0);
    umask(Mask);
    Mode = 0666 & ~Mask;
  }
  fchmod(Fd, Mode);
  int Error = WriteAll(Fd, Text);
  if (close(Fd) != 0 && Error == 0) Error = errno;
  if (Error == 0 && std::rename(Temp.data(), Final.c_str()) != 0) Error = errno;
  if (Error != 0) {
    unlink(Temp.data());
    throw EInOutError::FromErrno(Error, "cannot write", Name);
  }
}

int RunCommand(CLI::App& App, int Argc, char** Argv, const std::function<int()>& Body) {
  try {
    App.parse(Argc, Argv);
    return Body();
  } catch (const CLI::ParseError& E) {
    return App.exit(E) == 0 ? 0 : kUsageError;
  } catch (const std::exception& E) {
    PrintError(E.what());
  }
  return 1;
}

void PrintError(std::string Message) {
  std::replace(Message.begin(), Message.end(), '\n', ' ');
  std::fprintf(stderr, "kestrum: %s\n", Message.c_str());
}

}  // namespace kestrum
