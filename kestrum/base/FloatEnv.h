// The floating-point environment in which the filter's arithmetic is defined.
//
// Every public entry that computes (reading and formatting filters, reading
// impulse responses, designs, responses, kernels, streams, a TKestrum run,
// the Python calls) holds a TDefaultFloatEnv from its first numeric step,
// so its results do not depend on what the caller's thread has set.
#pragma once

#include <cfenv>

namespace kestrum {

// For its lifetime, the calling thread computes in the default environment:
// rounding to nearest, ties to even, subnormals kept (no flush-to-zero, no
// denormals-are-zero, which a host or a library it loads may have switched
// on); the caller's environment, exception flags included, comes back at the
// end. Threads started meanwhile inherit the default one.
class TDefaultFloatEnv {
public:
  TDefaultFloatEnv() {
    std::fegetenv(&FSaved);
    std::fesetenv(FE_DFL_ENV);
  }
  ~TDefaultFloatEnv() { std::fesetenv(&FSaved); }
  TDefaultFloatEnv(const TDefaultFloatEnv&) = delete;
  TDefaultFloatEnv& operator=(const TDefaultFloatEnv&) = delete;

private:
  std::fenv_t FSaved;
};

}  // namespace kestrum
