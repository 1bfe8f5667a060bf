// Kestrum's own words for command-line mistakes: "did you mean", CLI11's
// errors said plainly, and rates written as 44100 or 44.1k.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
class ParseError;
class Validator;
}  // namespace CLI

namespace kestrum {

// The candidate closest to Word, when it is close enough to be a typo of it
// (at most 2 edits, fewer than half of Word's letters), else "".
std::string Closest(const std::string& Word, const std::vector<std::string>& Candidates);

// E's message in Kestrum's words. App is the command that threw it: its
// options and subcommands (and those of the subcommand it ran) are the
// candidates for "did you mean".
std::string UsageMessage(const CLI::ParseError& E, const CLI::App& App);

// A CLI11 conversion of a frequency option: stores ParseHz's value, or
// refuses with "give What in Hz, e.g. Example", and values above Max.
CLI::Validator HzValidator(const std::string& What, const std::string& Example, double Max);

// A CLI11 check that a number lies from Low to High, refusing with
// "expected What from Low to High, found 'x'".
CLI::Validator RangeCheck(double Low, double High, const std::string& What);

// A CLI11 check that a word is one of Choices, refusing with the choices and
// "did you mean" the closest.
CLI::Validator ChoiceCheck(const std::vector<std::string>& Choices);

// ChoiceCheck as a conversion that also takes, as sox does, a word that
// begins one choice alone ("signed", "float", "u") and gives that choice.
CLI::Validator ChoicePrefix(const std::vector<std::string>& Choices);

}  // namespace kestrum
