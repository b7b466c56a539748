// A watchdog for the core's threaded tests: turns a hang into a failed run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace vellora {

/// Joins the threads, but turns a hang (a lost wake-up, a deadlock) into a failed run instead of
/// a CI job that never ends. Give it minutes, not the seconds a run takes: these tests also run
/// under ThreadSanitizer beside other jobs on two shared cores, and only a hang may trip it.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: threads still running after %llds: hang\n",
                         static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      const std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace vellora
