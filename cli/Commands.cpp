// What the subcommands share: running a parsed command, and output files
// written whole or not at all.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>

#include <CLI/CLI.hpp>

#include "kestrum/base/Errors.h"
#include "kestrum/base/OutputFile.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Words.h"
#include "kestrum/wav/WavHeader.h"

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
  if (IsStreamTarget(Name)) {
    const int Fd = OpenStream(Name);
    const int Error = WriteAll(Fd, Text);
    if (close(Fd) != 0 || Error != 0)
      throw EInOutError::FromErrno(Error ? Error : errno, "cannot write", Name == "-" ? "standard output" : Name);
    return;
  }
  TReplaceFile File;
  File.Open(Name);
  if (std::fwrite(Text.data(), 1, Text.size(), File.File()) != Text.size())
    throw EInOutError::FromErrno(errno, "cannot write", Name);
  File.Commit();
}

void RefuseBlankName(const std::string& Option, const std::string& Name) {
  if (IsBlankName(Name)) throw CLI::ValidationError(Option, "expected a file name, found '" + Name + "'");
}

bool SameOutput(const std::string& A, const std::string& B) {
  const std::optional<int> DescriptorA = DescriptorOf(A), DescriptorB = DescriptorOf(B);
  if (DescriptorA || DescriptorB) return DescriptorA == DescriptorB;
  // Absolute first: a relative name whose first part does not exist would stay as it is.
  const auto Resolved = [](const std::string& Name) {
    std::error_code Ec;
    const auto Path = std::filesystem::weakly_canonical(std::filesystem::absolute(Name, Ec), Ec);
    return Ec ? std::filesystem::path(Name) : Path;
  };
  return A == B || Resolved(A) == Resolved(B);
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
