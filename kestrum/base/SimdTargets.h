// Choosing among the instruction sets a file of SIMD steps is built for: what
// this processor offers, the widest chosen once, and a name a test or a
// benchmark may force. Each such file holds a table of targets, widest first,
// whose last entry (the build's baseline) runs everywhere; an entry has a
// Name and a Supported() check.
#pragma once

#include <algorithm>
#include <atomic>
#include <iterator>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace kestrum::simd {

#if defined(__x86_64__) || defined(__i386__)
// Each set with every extension Highway's build of it may use; F16C is asked
// of cpuid itself, as clang before 16 does not know it as a feature name.
inline bool HasF16c() {
  unsigned A = 0, B = 0, C = 0, D = 0;
  return __get_cpuid(1, &A, &B, &C, &D) && (C & bit_F16C) != 0;
}
inline bool HasSsse3() { return __builtin_cpu_supports("ssse3"); }
inline bool HasSse4() {
  return HasSsse3() && __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("sse4.2") &&
         __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("aes");
}
inline bool HasAvx2() {
  return HasSse4() && __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2") &&
         __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("fma") &&
         HasF16c();
}
inline bool HasAvx3() {
  return HasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
}
#endif

// A table's choice: the widest supported target, unless one was forced.
template <typename TTarget, size_t N>
class TTargetChoice {
public:
  explicit TTargetChoice(const TTarget (&Targets)[N]) : FTargets(Targets) {}

  const TTarget& Chosen() const {
    const TTarget* const Target = FForced.load(std::memory_order_relaxed);
    if (Target) return *Target;
    static const TTarget& Widest = *std::find_if(std::begin(FTargets), std::end(FTargets),
                                                 [](const TTarget& T) { return T.Supported(); });
    return Widest;
  }
  // The names of the targets this processor runs, widest first.
  std::vector<std::string> Names() const {
    std::vector<std::string> Names;
    for (const TTarget& Target : FTargets)
      if (Target.Supported()) Names.push_back(Target.Name);
    return Names;
  }
  // Forces the supported target of that name (for tests and benchmarks);
  // another name goes back to the widest.
  void Force(const std::string& Name) {
    const TTarget* Target = nullptr;
    for (const TTarget& T : FTargets)
      if (Name == T.Name && T.Supported()) Target = &T;
    FForced.store(Target, std::memory_order_relaxed);
  }

private:
  const TTarget (&FTargets)[N];
  std::atomic<const TTarget*> FForced{nullptr};
};

}  // namespace kestrum::simd
