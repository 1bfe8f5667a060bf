// Preloaded into the kestrum command by the tests: before main, switches the
// process to the floating-point environment named by KESTRUM_TEST_FLOAT_ENV,
// words joined by '+': upward, downward, towardzero, ftz (flush-to-zero and
// denormals-are-zero, x86 only). A host program might have left any of them.
#include <cfenv>
#include <cstdlib>
#include <cstring>
#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {

__attribute__((constructor)) void SetForeignFloatEnv() {
  const char* Wanted = std::getenv("KESTRUM_TEST_FLOAT_ENV");
  if (Wanted == nullptr) return;
  if (std::strstr(Wanted, "upward")) std::fesetround(FE_UPWARD);
  if (std::strstr(Wanted, "downward")) std::fesetround(FE_DOWNWARD);
  if (std::strstr(Wanted, "towardzero")) std::fesetround(FE_TOWARDZERO);
#if defined(__SSE__) || defined(__x86_64__)
  if (std::strstr(Wanted, "ftz")) _mm_setcsr(_mm_getcsr() | 0x8040);  // FTZ | DAZ
#endif
}

}  // namespace
