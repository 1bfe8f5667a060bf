// Suggestions by edit distance, CLI11's errors reworded, and rates in Hz.
#include "cli/Words.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "kestrum/design/FilterArgument.h"

namespace kestrum {

namespace {

// Edits (insertions, deletions, substitutions, swaps of neighbours) from A to B.
size_t EditDistance(const std::string& A, const std::string& B) {
  std::vector<std::vector<size_t>> D(A.size() + 1, std::vector<size_t>(B.size() + 1));
  for (size_t I = 0; I <= A.size(); ++I) D[I][0] = I;
  for (size_t J = 0; J <= B.size(); ++J) D[0][J] = J;
  for (size_t I = 1; I <= A.size(); ++I) {
    for (size_t J = 1; J <= B.size(); ++J) {
      D[I][J] = std::min({D[I - 1][J] + 1, D[I][J - 1] + 1, D[I - 1][J - 1] + (A[I - 1] != B[J - 1])});
      if (I > 1 && J > 1 && A[I - 1] == B[J - 2] && A[I - 2] == B[J - 1])
        D[I][J] = std::min(D[I][J], D[I - 2][J - 2] + 1);
    }
  }
  return D[A.size()][B.size()];
}

// The names a user may type to App: its long options and its subcommands.
void AddNames(const CLI::App& App, std::vector<std::string>& Names) {
  for (const CLI::Option* Option : App.get_options())
    for (const std::string& Long : Option->get_lnames()) Names.push_back("--" + Long);
  for (const CLI::App* Sub : App.get_subcommands([](const CLI::App*) { return true; }))
    Names.push_back(Sub->get_name());
}

// The words of an ExtrasError's message, after its colon.
std::vector<std::string> ExtraWords(const std::string& Message) {
  std::vector<std::string> Words;
  const size_t Colon = Message.find(": ");
  if (Colon == std::string::npos) return Words;
  std::string Word;
  for (char C : Message.substr(Colon + 2) + " ") {
    if (C != ' ') {
      Word += C;
    } else if (!Word.empty()) {
      Words.push_back(Word);
      Word.clear();
    }
  }
  return Words;
}

std::string Quoted(const std::string& Word) { return "'" + Word + "'"; }

std::string Extras(const std::string& Message, const CLI::App& App) {
  std::vector<std::string> Names;
  AddNames(App, Names);
  for (const CLI::App* Sub : App.get_subcommands()) AddNames(*Sub, Names);
  const std::vector<std::string> Words = ExtraWords(Message);
  if (Words.empty()) return Message;
  // An option that is not a negative number says most; CLI11 lists its
  // value beside it, not always after it.
  const auto Option = std::find_if(Words.begin(), Words.end(), [](const std::string& W) {
    return W.size() > 1 && W[0] == '-' && !std::isdigit(static_cast<unsigned char>(W[1])) && W[1] != '.';
  });
  const std::string& Word = Option != Words.end() ? *Option : Words.front();
  const std::string Bare = Word.substr(0, Word.find('='));
  std::string Text = Word.starts_with("-") ? "unknown option " + Quoted(Bare)
                                           : "unexpected argument " + Quoted(Word);
  if (const std::string Near = Closest(Bare, Names); !Near.empty())
    Text += "; did you mean " + Quoted(Near) + "?";
  return Text;
}

}  // namespace

std::string Closest(const std::string& Word, const std::vector<std::string>& Candidates) {
  std::string Best;
  size_t BestDistance = 3;
  for (const std::string& Candidate : Candidates) {
    const size_t Distance = EditDistance(Word, Candidate);
    if (Distance < BestDistance && 2 * Distance < Word.size()) {
      Best = Candidate;
      BestDistance = Distance;
    }
  }
  return Best;
}

std::string UsageMessage(const CLI::ParseError& E, const CLI::App& App) {
  const std::string Message = E.what();
  if (dynamic_cast<const CLI::ExtrasError*>(&E)) return Extras(Message, App);
  if (dynamic_cast<const CLI::RequiredError*>(&E) && Message.starts_with("A subcommand")) {
    std::string Names;
    const auto Subs = App.get_subcommands([](const CLI::App*) { return true; });
    for (size_t I = 0; I < Subs.size(); ++I)
      Names += (I == 0 ? "" : I + 1 == Subs.size() ? " or " : ", ") + Subs[I]->get_name();
    std::string Text = "name one of " + Names + " after '" + App.get_name() + "'";
    const std::vector<std::string> Left = App.remaining();
    if (!Left.empty()) {
      std::vector<std::string> Candidates;
      for (const CLI::App* Sub : Subs) Candidates.push_back(Sub->get_name());
      Text = "unknown filter kind '" + Left.front() + "'; " + Text;
      if (const std::string Near = Closest(Left.front(), Candidates); !Near.empty())
        Text = "unknown filter kind '" + Left.front() + "'; did you mean '" + Near + "'?";
    }
    return Text;
  }
  // "--rate: At Most 1 required but received 2"
  if (const size_t At = Message.find(": At Most 1 required but received ");
      dynamic_cast<const CLI::ArgumentMismatch*>(&E) && At != std::string::npos)
    return Message.substr(0, At) + " is given " + Message.substr(Message.rfind(' ') + 1) +
           " times; give it once";
  // "Could not convert: --taps = abc"
  if (const size_t Equals = Message.find(" = ");
      dynamic_cast<const CLI::ConversionError*>(&E) && Message.starts_with("Could not convert: ") &&
      Equals != std::string::npos)
    return Message.substr(19, Equals - 19) + ": expected a number, found '" +
           Message.substr(Equals + 3) + "'";
  // "--start: 1 required POS missing"
  if (const size_t Required = Message.find(": 1 required ");
      dynamic_cast<const CLI::ArgumentMismatch*>(&E) && Required != std::string::npos &&
      Message.ends_with(" missing"))
    return Message.substr(0, Required) + " needs a value";
  return Message;
}

CLI::Validator HzValidator(const std::string& What, const std::string& Example, double Max) {
  return CLI::Validator(
      [=](std::string& Text) -> std::string {
        const auto Hz = ParseHz(Text);
        if (!Hz) return "give " + What + " in Hz, e.g. " + Example + ", found '" + Text + "'";
        if (*Hz > Max) {
          char Limit[32];
          std::snprintf(Limit, sizeof Limit, "%.0f", Max);
          return What + " must be at most " + std::string(Limit) + " Hz, found '" + Text + "'";
        }
        char Stored[32];
        std::snprintf(Stored, sizeof Stored, "%.17g", *Hz);
        Text = Stored;  // what the option then converts
        return "";
      },
      "");
}

CLI::Validator RangeCheck(double Low, double High, const std::string& What) {
  return CLI::Validator(
      [=](const std::string& Text) -> std::string {
        char* End = nullptr;
        const double Value = std::strtod(Text.c_str(), &End);
        if (!Text.empty() && *End == '\0' && Value >= Low && Value <= High) return "";
        char Range[64];
        std::snprintf(Range, sizeof Range, " from %.10g to %.10g", Low, High);
        return "expected " + What + Range + ", found '" + Text + "'";
      },
      "");
}

CLI::Validator ChoiceCheck(const std::vector<std::string>& Choices) {
  return CLI::Validator(
      [=](const std::string& Text) -> std::string {
        if (std::find(Choices.begin(), Choices.end(), Text) != Choices.end()) return "";
        std::string Message = "expected ";
        for (size_t I = 0; I < Choices.size(); ++I)
          Message += (I == 0 ? "" : I + 1 == Choices.size() ? " or " : ", ") + Choices[I];
        Message += ", found '" + Text + "'";
        if (const std::string Near = Closest(Text, Choices); !Near.empty())
          Message += "; did you mean '" + Near + "'?";
        return Message;
      },
      "");
}

CLI::Validator ChoicePrefix(const std::vector<std::string>& Choices) {
  const CLI::Validator Exact = ChoiceCheck(Choices);
  return CLI::Validator(
      [=](std::string& Text) -> std::string {
        std::vector<std::string> Begun;
        for (const std::string& Choice : Choices)
          if (!Text.empty() && Choice.compare(0, Text.size(), Text) == 0) Begun.push_back(Choice);
        if (Begun.size() == 1) Text = Begun.front();
        return Exact(Text);
      },
      "");
}

}  // namespace kestrum
