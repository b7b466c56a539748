// Which vector instructions this processor runs, for the paths that have a faster form with AVX2.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>

#include <atomic>
#define VELLORA_HAVE_AVX2_PATH 1
#endif

namespace vellora {

#ifdef VELLORA_HAVE_AVX2_PATH
namespace detail {

/// Asks the processor (cpuid) and whether the kernel saves the 256-bit registers (xgetbv).
[[gnu::cold, gnu::noinline]] inline bool ask_processor_for_avx2() noexcept {
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  unsigned eax, ebx, ecx, edx;
  __cpuid(1, eax, ebx, ecx, edx);
  constexpr unsigned kOsSavesVectorState = 1u << 27, kAvx = 1u << 28;
  if ((ecx & (kOsSavesVectorState | kAvx)) != (kOsSavesVectorState | kAvx)) return false;
  unsigned saved_low, saved_high;
  __asm__("xgetbv" : "=a"(saved_low), "=d"(saved_high) : "c"(0));
  constexpr unsigned kSseAndAvxState = 0x6;
  if ((saved_low & kSseAndAvxState) != kSseAndAvxState) return false;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return (ebx & (1u << 5)) != 0;
}

/// 0 until first asked, then 1 (runs AVX2) or -1. Threads that race to fill it write the same.
inline std::atomic<signed char> avx2_answer{0};

}  // namespace detail

/// True when the processor and the kernel let this process run AVX2 code. Asked on first use, not
/// at load: each cpuid is a trap to the hypervisor on the virtual machines this runs on, and a
/// check at load (__builtin_cpu_supports) runs it a dozen times. The answer the C library keeps
/// (CPU_FEATURE_ACTIVE) is read through a function that only glibc 2.33 and later have.
inline bool processor_runs_avx2() noexcept {
  signed char answer = detail::avx2_answer.load(std::memory_order_relaxed);
  if (answer == 0) [[unlikely]] {
    answer = detail::ask_processor_for_avx2() ? 1 : -1;
    detail::avx2_answer.store(answer, std::memory_order_relaxed);
  }
  return answer > 0;
}
#endif

}  // namespace vellora
