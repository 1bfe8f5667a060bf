// The application object's one service the core needs: letting the host's
// user interface process its pending messages during a long run.
#pragma once

#include <functional>

namespace kestrum {

class TApplication {
public:
  // Installs the host's message processing (a dialog installs its toolkit's
  // event processing); an empty function removes it.
  static void SetProcessMessagesHook(std::function<void()> Hook);
  // Runs the installed hook; without one it does nothing.
  static void ProcessMessages();
};

}  // namespace kestrum
