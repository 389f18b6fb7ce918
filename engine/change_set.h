#pragma once
// What a record update has applied so far, each step with the way back.
// When a later step fails, the update undoes the steps in reverse, so the
// indexes, the record, the headers and the blob file are as before it
// began. An undo step that fails itself is passed over: the update's own
// error is the one reported, and the steps before it still run.

#include <functional>
#include <utility>
#include <vector>

namespace tabula {

class TChangeSet {
 public:
  TChangeSet() = default;
  TChangeSet(const TChangeSet&) = delete;
  TChangeSet& operator=(const TChangeSet&) = delete;

  // Notes a step that has been applied, with what undoes it.
  void Applied(std::function<void()> undo) { undo_.push_back(std::move(undo)); }
  // Undoes every noted step, the latest first; the set is empty afterwards.
  void Undo() noexcept {
    while (!undo_.empty()) {
      std::function<void()> step = std::move(undo_.back());
      undo_.pop_back();
      try {
        step();
      } catch (...) {
      }
    }
  }
  // The update went through: nothing is to be undone.
  void Keep() { undo_.clear(); }
  bool Empty() const { return undo_.empty(); }

 private:
  std::vector<std::function<void()>> undo_;
};

}  // namespace tabula
