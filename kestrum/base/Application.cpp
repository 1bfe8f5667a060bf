// Holds the host's message-processing hook.
#include "kestrum/base/Application.h"

#include <utility>

namespace kestrum {

namespace {
std::function<void()>& Hook() {
  static std::function<void()> Installed;
  return Installed;
}
}  // namespace

void TApplication::SetProcessMessagesHook(std::function<void()> NewHook) { Hook() = std::move(NewHook); }

void TApplication::ProcessMessages() {
  if (Hook()) Hook()();
}

}  // namespace kestrum
