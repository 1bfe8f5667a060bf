// Threads that leave signals to the thread that started them.
#pragma once

#include <pthread.h>

#include <csignal>
#include <thread>
#include <utility>

namespace kestrum {

// Starts a thread running Fn with every signal blocked, so that a stop
// signal (Ctrl-C) reaches the caller's thread, which waits on reads and
// writes, and ends its wait. Throws std::system_error when no thread can
// start.
template <class TFn>
std::thread QuietThread(TFn&& Fn) {
  sigset_t All, Old;
  sigfillset(&All);
  pthread_sigmask(SIG_SETMASK, &All, &Old);
  try {
    std::thread Thread(std::forward<TFn>(Fn));
    pthread_sigmask(SIG_SETMASK, &Old, nullptr);
    return Thread;
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &Old, nullptr);
    throw;
  }
}

}  // namespace kestrum
