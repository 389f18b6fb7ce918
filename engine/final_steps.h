#pragma once
// TFinalSteps: the ends of an operation that must all run (repositioning,
// unlocking, releasing a lock, closing), each even when an earlier one
// failed. Run passes the first failure on once every later step has run;
// RunQuietly passes none on, for an operation that is already leaving by
// its own error.

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace tabula {

class TFinalSteps {
 public:
  TFinalSteps() = default;
  TFinalSteps(const TFinalSteps&) = delete;
  TFinalSteps& operator=(const TFinalSteps&) = delete;

  TFinalSteps& Then(std::function<void()> step) {
    steps_.push_back(std::move(step));
    return *this;
  }
  void Run() { RunFrom(0); }
  void RunQuietly() noexcept { RunQuietlyFrom(0); }

 private:
  void RunFrom(size_t first) {
    for (size_t i = first; i < steps_.size(); ++i) {
      try {
        steps_[i]();
      } catch (...) {
        RunQuietlyFrom(i + 1);
        throw;
      }
    }
  }
  void RunQuietlyFrom(size_t first) noexcept {
    for (size_t i = first; i < steps_.size(); ++i) {
      try {
        steps_[i]();
      } catch (...) {
      }
    }
  }

  std::vector<std::function<void()>> steps_;
};

}  // namespace tabula
