// A one-word reader-writer lock, as the constants registry's shards use it.
#pragma once

#include <atomic>
#include <cstdint>

namespace vellora {

/// Readers share, a writer excludes; waiting threads sleep on the word (futex) instead of spinning.
/// Uncontended, each side costs one atomic read-modify-write, and unlocking makes a wake-up call
/// only when somebody is asleep. Offers the blocking members only (no try_ forms), which is all that
/// std::unique_lock and std::shared_lock need for lock() and unlock().
class SharedLock {
 public:
  SharedLock() = default;
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

  void lock_shared() noexcept {
    std::uint32_t state = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((state & kWriter) == 0) {
        if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire, std::memory_order_relaxed))
          return;
      } else {
        state = sleep_while(state);
      }
    }
  }

  void unlock_shared() noexcept {
    const std::uint32_t before = state_.fetch_sub(1, std::memory_order_release);
    if ((before & kReaders) == 1 && (before & kSleepers) != 0) wake_all();
  }

  void lock() noexcept {
    std::uint32_t state = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((state & (kWriter | kReaders)) == 0) {
        if (state_.compare_exchange_weak(state, state | kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed))
          return;
      } else {
        state = sleep_while(state);
      }
    }
  }

  void unlock() noexcept {
    const std::uint32_t before = state_.fetch_and(~(kWriter | kSleepers), std::memory_order_release);
    if ((before & kSleepers) != 0) state_.notify_all();
  }

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kSleepers = 1u << 30;
  static constexpr std::uint32_t kReaders = kSleepers - 1;

  /// Marks that a thread sleeps, sleeps until the word changes, and returns the new word.
  std::uint32_t sleep_while(std::uint32_t state) noexcept {
    if ((state & kSleepers) == 0 &&
        !state_.compare_exchange_weak(state, state | kSleepers, std::memory_order_relaxed))
      return state;  // the word moved on: look again before sleeping
    state_.wait(state | kSleepers, std::memory_order_relaxed);
    return state_.load(std::memory_order_relaxed);
  }

  /// Clears the sleeper mark and wakes every sleeper; those still blocked mark it again.
  void wake_all() noexcept {
    state_.fetch_and(~kSleepers, std::memory_order_relaxed);
    state_.notify_all();
  }

  std::atomic<std::uint32_t> state_{0};
};

}  // namespace vellora
