// The cancel event: an auto-reset flag that the console's Cancel button sets
// on the window thread and the worker tests between steps.
#pragma once

#include <atomic>

namespace velmorix {

class CancelEvent {
 public:
  // Any thread. Several sets before the next test count as one.
  void Set() { signalled_.store(true, std::memory_order_release); }
  // Tests without waiting; true if a request was pending, which the test
  // consumes, so each request is seen by exactly one test.
  bool TryConsume() { return signalled_.exchange(false, std::memory_order_acq_rel); }
  // Any thread: true while a request is pending, without consuming it. For
  // waits that must end early on a request but leave it to the next test.
  bool IsSet() const { return signalled_.load(std::memory_order_acquire); }
  // Drops a request left over from an earlier run.
  void Clear() { signalled_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> signalled_{false};
};

}  // namespace velmorix
