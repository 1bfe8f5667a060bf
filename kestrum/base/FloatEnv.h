// The floating-point environment in which the filter's arithmetic is defined.
//
// Every public entry that computes (reading and formatting filters, reading
// impulse responses, designs, responses, kernels, streams, a TKestrum run,
// the Python calls) holds a TDefaultFloatEnv from its first numeric step,
// so its results do not depend on what the caller's thread has set.
#pragma once

#include <cfenv>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace kestrum {

// For its lifetime, the calling thread computes in the default environment:
// rounding to nearest, ties to even, subnormals kept (no flush-to-zero, no
// denormals-are-zero, which a host or a library it loads may have switched
// on); the caller's environment comes back at the end, with the SSE
// exception flags it had (on x86-64, a caller already in the default
// environment may find x87 flags raised by long-double steps). Threads
// started meanwhile inherit the default one.
class TDefaultFloatEnv {
public:
  TDefaultFloatEnv() {
#if defined(__x86_64__)
    // Most callers are in the default environment already: then only the
    // SSE status is kept, to be given back (a few cycles, where saving and
    // setting the whole environment costs hundreds, on every stream call).
    FCsr = _mm_getcsr();
    unsigned short Cw;
    __asm__ volatile("fnstcw %0" : "=m"(Cw));
    FWhole = (FCsr & kCsrControl) != kCsrDefault || (Cw & kCwControl) != kCwDefault;
    if (!FWhole) return;
#endif
    std::fegetenv(&FSaved);
    std::fesetenv(FE_DFL_ENV);
  }
  ~TDefaultFloatEnv() {
#if defined(__x86_64__)
    if (!FWhole) {
      _mm_setcsr(FCsr);
      return;
    }
#endif
    std::fesetenv(&FSaved);
  }
  TDefaultFloatEnv(const TDefaultFloatEnv&) = delete;
  TDefaultFloatEnv& operator=(const TDefaultFloatEnv&) = delete;

private:
#if defined(__x86_64__)
  // MXCSR's control bits (exception masks, rounding, flush-to-zero,
  // denormals-are-zero) and their default: every exception masked, to nearest.
  static constexpr unsigned kCsrControl = 0xFFC0, kCsrDefault = 0x1F80;
  // The x87 control word's masks, precision and rounding, and their default.
  static constexpr unsigned short kCwControl = 0x0F3F, kCwDefault = 0x033F;
  unsigned FCsr = 0;
  bool FWhole = true;
#endif
  std::fenv_t FSaved;
};

}  // namespace kestrum
