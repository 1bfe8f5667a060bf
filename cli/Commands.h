// The kestrum subcommands beside the filtering form, and what they share.
#pragma once

#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace kestrum {

// "kestrum design ...": Argv[0] is "design". Returns the exit status.
int RunDesignCommand(int Argc, char** Argv);

// "kestrum response ...": Argv[0] is "response". Returns the exit status.
int RunResponseCommand(int Argc, char** Argv);

// Writes Text to the file Name, or to stdout when Name is "-". A device or
// pipe is written directly; any other name is replaced whole or not at all,
// as TReplaceFile (kestrum/base/OutputFile.h) does. Throws EInOutError.
void WriteOutput(const std::string& Name, const std::string& Text);

// Throws CLI::ValidationError "Option: expected a file name, found ''" when
// Name is blank (kestrum/base/WavHeader.h's IsBlankName): such a name opens nothing.
void RefuseBlankName(const std::string& Option, const std::string& Name);

// Whether output names A and B end at the same place: one file through any
// links, or one descriptor ("-" and /dev/stdout).
bool SameOutput(const std::string& A, const std::string& B);

// Parses the command line with App, then runs Body. Returns Body's status;
// for a wrong command line, the usage error and kUsageError (0 after --help);
// for an error Body throws, 1 after printing it with PrintError.
int RunCommand(CLI::App& App, int Argc, char** Argv, const std::function<int()>& Body);

}  // namespace kestrum
