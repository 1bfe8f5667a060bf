// Ownership and published properties of components.
#include "kestrum/base/Component.h"

#include <algorithm>
#include <charconv>

#include "kestrum/base/Errors.h"

namespace kestrum {

namespace {

std::string Quote(const std::string& S) {
  std::string Q = "'";
  for (char C : S) Q += C == '\'' ? "''" : std::string(1, C);
  return Q + "'";
}

std::string Trim(const std::string& S) {
  const size_t First = S.find_first_not_of(" \t\r");
  if (First == std::string::npos) return "";
  return S.substr(First, S.find_last_not_of(" \t\r") - First + 1);
}

}  // namespace

TComponent::TComponent(TComponent* Owner) : FOwner(Owner) {
  if (FOwner) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  while (!FComponents.empty()) delete FComponents.back();  // each leaves the list
  if (FOwner) {
    auto& Siblings = FOwner->FComponents;
    Siblings.erase(std::remove(Siblings.begin(), Siblings.end(), this), Siblings.end());
  }
}

std::vector<std::string> TComponent::PublishedProperties() const {
  std::vector<std::string> Names;
  for (const TProperty& P : FProperties) Names.push_back(P.Name);
  return Names;
}

const TComponent::TProperty& TComponent::Find(const std::string& Name) const {
  for (const TProperty& P : FProperties)
    if (P.Name == Name) return P;
  throw EGeneralError("unknown property '" + Name + "'");
}

std::string TComponent::PropertyText(const std::string& Name) const { return Find(Name).Get(); }

void TComponent::SetPropertyText(const std::string& Name, const std::string& Value) {
  Find(Name).Set(Trim(Value));
}

void TComponent::LoadProperties(const std::string& Stored) {
  size_t Start = 0;
  while (Start < Stored.size()) {
    size_t End = Stored.find('\n', Start);
    if (End == std::string::npos) End = Stored.size();
    const std::string Line = Trim(Stored.substr(Start, End - Start));
    Start = End + 1;
    if (Line.empty()) continue;
    const size_t Equals = Line.find('=');
    if (Equals == std::string::npos) throw EGeneralError("expected 'Name = Value', found '" + Line + "'");
    SetPropertyText(Trim(Line.substr(0, Equals)), Line.substr(Equals + 1));
  }
}

void TComponent::PublishString(const std::string& Name, std::function<std::string()> Get,
                               std::function<void(const std::string&)> Set) {
  FProperties.push_back({Name, [Get] { return Quote(Get()); },
                         [Name, Set](const std::string& Text) {
                           if (Text.size() < 2 || Text.front() != '\'' || Text.back() != '\'')
                             throw EGeneralError("property " + Name + ": expected a quoted string, found " + Text);
                           std::string Value;
                           for (size_t I = 1; I + 1 < Text.size(); ++I) {
                             Value += Text[I];
                             if (Text[I] == '\'') ++I;  // '' stands for one quote
                           }
                           Set(Value);
                         }});
}

void TComponent::PublishInteger(const std::string& Name, std::function<int32_t()> Get,
                                std::function<void(int32_t)> Set) {
  FProperties.push_back({Name, [Get] { return std::to_string(Get()); },
                         [Name, Set](const std::string& Text) {
                           int32_t Value = 0;
                           const auto [End, Ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
                           if (Ec != std::errc{} || End != Text.data() + Text.size())
                             throw EGeneralError("property " + Name + ": expected an integer, found " + Text);
                           Set(Value);
                         }});
}

void TComponent::PublishBoolean(const std::string& Name, std::function<bool()> Get,
                                std::function<void(bool)> Set) {
  FProperties.push_back({Name, [Get] { return std::string(Get() ? "True" : "False"); },
                         [Name, Set](const std::string& Text) {
                           if (Text != "True" && Text != "False")
                             throw EGeneralError("property " + Name + ": expected True or False, found " + Text);
                           Set(Text == "True");
                         }});
}

}  // namespace kestrum
