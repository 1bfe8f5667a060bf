// What the subcommands share: running a parsed command, and output files
// written whole or not at all.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <CLI/CLI.hpp>

#include "base/Errors.h"
#include "base/OutputFile.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Words.h"

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
  if (IsStreamTarget(Name)) {
    const int Fd = OpenStream(Name);
    const int Error = WriteAll(Fd, Text);
    if (close(Fd) != 0 || Error != 0) throw EInOutError::FromErrno(Error ? Error : errno, "cannot write", Name);
    return;
  }
  TReplaceFile File;
  File.Open(Name);
  if (std::fwrite(Text.data(), 1, Text.size(), File.File()) != Text.size())
    throw EInOutError::FromErrno(errno, "cannot write", Name);
  File.Commit();
}

int RunCommand(CLI::App& App, int Argc, char** Argv, const std::function<int()>& Body) {
  try {
    App.parse(Argc, Argv);
    return Body();
  } catch (const CLI::ParseError& E) {
    if (E.get_exit_code() == 0) return App.exit(E);  // --help
    PrintUsageError(UsageMessage(E, App), App.get_name());
    return kUsageError;
  } catch (const std::exception& E) {
    PrintError(E.what());
  }
  return 1;
}

}  // namespace kestrum
