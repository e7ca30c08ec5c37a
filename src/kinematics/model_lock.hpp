// The per-object model lock: a blocking mutex plus a poison flag. An
// operation that ends in an exception while holding the lock poisons it for
// good, because the model may be half-updated; every later operation on that
// object then fails with the poisoned-lock fatal error. Plain C++, so
// the core tests drive it with real threads.
#pragma once

#include <mutex>

#include "raise_fatal.hpp"

namespace zandrel {

inline constexpr const char* kPoisonedLockMessage =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

class ModelLock {
 public:
  // Runs op(model) while holding the lock and returns its result.
  template <class Model, class Op>
  decltype(auto) run(Model& model, Op&& op) {
    std::unique_lock held(mutex_);
    if (poisoned_) {
      held.unlock();
      raise_fatal(kPoisonedLockMessage);
    }
    try {
      return op(model);
    } catch (...) {
      poisoned_ = true;  // written under the lock, before it is released
      throw;
    }
  }

  // Only meaningful to a caller that cannot race with run() (tests, teardown).
  bool poisoned() const { return poisoned_; }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
};

}  // namespace zandrel
