// The cancel event: an auto-reset flag that the console's Cancel button sets
// on the window thread and the worker tests between steps.
#pragma once

#include <atomic>
#include <cstdint>

namespace velmorix {

class CancelEvent {
 public:
  // Any thread. Several sets before the next test count as one.
  void Set() {
    requests_.fetch_add(1, std::memory_order_acq_rel);
    signalled_.store(true, std::memory_order_release);
  }
  // Tests without waiting; true if a request was pending, which the test
  // consumes, so each request is seen by exactly one test.
  bool TryConsume() { return signalled_.exchange(false, std::memory_order_acq_rel); }
  // Any thread: true while a request is pending, without consuming it. For
  // waits that must end early on a request but leave it to the next test.
  bool IsSet() const { return signalled_.load(std::memory_order_acquire); }
  // Drops a request left over from an earlier run.
  void Clear() { signalled_.store(false, std::memory_order_release); }
  // Any thread: how many requests have been made so far, consumed or not.
  // A request made since an earlier reading is seen even after a test has
  // consumed it.
  uint64_t Requests() const { return requests_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> signalled_{false};
  std::atomic<uint64_t> requests_{0};
};

}  // namespace velmorix
