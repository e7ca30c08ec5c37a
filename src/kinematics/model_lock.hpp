// The per-object model lock of the Python binding: a blocking mutex plus a
// poison flag. An operation that ends in an exception while holding the lock
// poisons it for good, because the model may be half-updated; every later
// operation on that object then throws PoisonedModelError. Plain C++, so the
// core tests drive it with real threads.
#pragma once

#include <mutex>
#include <stdexcept>

namespace zandrel {

// Not a FatalError: the library's own API has no lock, so a user of the C++
// package never sees this. The binding reports it as the module's
// poisoned-lock panic.
class PoisonedModelError : public std::runtime_error {
 public:
  PoisonedModelError()
      : std::runtime_error("the model is poisoned: an earlier call failed while holding its lock") {}
};

class ModelLock {
 public:
  // Runs op(model) while holding the lock and returns its result.
  template <class Model, class Op>
  decltype(auto) run(Model& model, Op&& op) {
    std::unique_lock held(mutex_);
    if (poisoned_) {
      held.unlock();
      throw PoisonedModelError();
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
