#pragma once
// Sorting the keys of one index for a bottom-up build, in bounded memory.
// Entries (a key of fixed length and a record number) are gathered in one
// buffer; when the buffer is full it is sorted and written as a run to a
// spill file in the table's directory (unlinked at once, so nothing is left
// behind whatever happens), and the runs are merged at the end. Entries
// whose keys compare equal are ordered by record number, so the order is
// the same on every run.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tabula {

class TKeySorter {
 public:
  // -1, 0 or 1 for two keys (keyLength bytes each).
  using TCompare = std::function<int(const uint8_t* a, const uint8_t* b)>;

  // `memoryBudget` bounds the entry buffer and, while merging, the run
  // buffers together; `spillDirectory` takes the spill file when one is needed.
  TKeySorter(int keyLength, TCompare compare, size_t memoryBudget, std::string spillDirectory);
  ~TKeySorter();
  TKeySorter(const TKeySorter&) = delete;
  TKeySorter& operator=(const TKeySorter&) = delete;

  void Add(const uint8_t* key, uint32_t recNo);
  // Ends the adding; Next then hands out the entries in ascending order.
  void Finish();
  // The next entry; `key` stays valid until the following call. False at the end.
  bool Next(const uint8_t*& key, uint32_t& recNo);

  // Runs written to the spill file (0 when everything fitted in memory).
  size_t SpilledRuns() const { return runs_.size(); }

 private:
  struct TRun {
    int64_t Offset = 0;  // in the spill file
    size_t Count = 0;
  };
  class TRunReader;

  // Entry i of the buffer: key, then the record number (4 bytes, native order).
  const uint8_t* Entry(uint32_t i) const { return buffer_.data() + size_t(i) * entrySize_; }
  bool EntryBefore(const uint8_t* a, const uint8_t* b) const;
  void SortBuffer();
  void SpillBuffer();

  int keyLength_;
  size_t entrySize_;
  TCompare compare_;
  size_t capacity_;  // entries the buffer holds
  std::string spillDirectory_;
  std::vector<uint8_t> buffer_;
  size_t count_ = 0;
  bool inOrder_ = true;  // the entries came in ascending order so far
  std::vector<uint32_t> order_;
  size_t next_ = 0;
  int spillFd_ = -1;
  int64_t spillEnd_ = 0;
  std::vector<TRun> runs_;
  std::vector<std::unique_ptr<TRunReader>> readers_;
  std::vector<size_t> heap_;  // reader indexes, smallest entry on top
  std::vector<uint8_t> current_;
  bool finished_ = false;
};

}  // namespace tabula
