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
  const char* Spec = std::getenv("KESTRUM_TEST_FLOAT_ENV");
  if (Spec == nullptr) return;
  if (std::strstr(Spec, "upward")) std::fesetround(FE_UPWARD);
  if (std::strstr(Spec, "downward")) std::fesetround(FE_DOWNWARD);
  if (std::strstr(Spec, "towardzero")) std::fesetround(FE_TOWARDZERO);
#if defined(__SSE__) || defined(__x86_64__)
  if (std::strstr(Spec, "ftz")) _mm_setcsr(_mm_getcsr() | 0x8040);  // FTZ | DAZ
#endif
}

}  // namespace
