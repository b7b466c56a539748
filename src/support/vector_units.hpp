// Which vector instructions this processor runs, for the paths that have a faster form with AVX2.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELLORA_HAVE_AVX2_PATH 1
#if __has_include(<sys/platform/x86.h>)
#if defined(__clang__)
// The header is C; GCC takes its _Bool in C++ as an extension, clang does not.
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool
#else
#include <sys/platform/x86.h>
#endif
#define VELLORA_HAVE_GLIBC_CPU_FEATURES 1
#endif
#endif

namespace vellora {

#ifdef VELLORA_HAVE_AVX2_PATH
/// True when the processor and the kernel let this process run AVX2 code. Read from what the C
/// library worked out at start-up: __builtin_cpu_supports would link in a constructor that runs
/// cpuid a dozen times at load, and each cpuid is a trap to the hypervisor on the virtual machines
/// this runs on.
inline bool processor_runs_avx2() noexcept {
#ifdef VELLORA_HAVE_GLIBC_CPU_FEATURES
  return CPU_FEATURE_ACTIVE(AVX2);
#else
  return __builtin_cpu_supports("avx2");
#endif
}
#endif

}  // namespace vellora
