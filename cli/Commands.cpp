// What the subcommands share: running a parsed command, and output files
// written whole or not at all.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Errors.h"
#include "cli/Commands.h"

namespace kestrum {

void WriteOutput(const std::string& Name, const std::string& Text) {
  if (Name == "-") {
    if (std::fwrite(Text.data(), 1, Text.size(), stdout) != Text.size() || std::fflush(stdout) != 0)
      throw EInOutError::FromErrno(errno, "cannot write", "standard output");
    return;
  }
  std::vector<char> Temp(Name.begin(), Name.end());
  for (char C : std::string(".XXXXXX")) Temp.push_back(C);
  Temp.push_back('\0');
  const int Fd = mkstemp(Temp.data());
  if (Fd == -1) throw EInOutError::FromErrno(errno, "cannot create a file beside", Name);
  const auto Fail = [&](const char* Operation) {
    const int Error = errno;
    unlink(Temp.data());
    throw EInOutError::FromErrno(Error, Operation, Name);
  };
  // mkstemp makes the file private; give it the usual permissions.
  const mode_t Mask = umask(0);
  umask(Mask);
  fchmod(Fd, 0666 & ~Mask);
  for (size_t Done = 0; Done < Text.size();) {
    const ssize_t Count = write(Fd, Text.data() + Done, Text.size() - Done);
    if (Count < 0 && errno == EINTR) continue;
    if (Count < 0) {
      close(Fd);
      Fail("cannot write");
    }
    Done += static_cast<size_t>(Count);
  }
  if (close(Fd) != 0) Fail("cannot write");
  if (std::rename(Temp.data(), Name.c_str()) != 0) Fail("cannot replace");
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
