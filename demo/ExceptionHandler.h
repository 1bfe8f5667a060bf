// The application's one handler for errors that leave an event handler, so
// that no exception crosses the toolkit's event loop.
#pragma once

#include <exception>
#include <functional>
#include <stdexcept>

namespace kestrum {

using TExceptionHandler = std::function<void(const std::exception&)>;

// Replaces the handler; an empty one brings back the default, which shows the
// error's message in a critical message box over the active window.
void SetExceptionHandler(TExceptionHandler Handler);

// Passes E to the installed handler.
void HandleException(const std::exception& E);

// Runs Handler and passes whatever it throws to HandleException. Every slot
// that enters the system's code goes through here.
template <class F>
void Guard(F&& Handler) {
  try {
    Handler();
  } catch (const std::exception& E) {
    HandleException(E);
  } catch (...) {
    HandleException(std::runtime_error("unknown error"));
  }
}

}  // namespace kestrum
