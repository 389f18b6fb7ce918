#include "engine/key_sorter.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tabula/engine_error.h"
#include "engine/os_file.h"

namespace tabula {

namespace {

constexpr size_t kMinRunBuffer = 64 * 1024;

uint32_t RecNoOf(const uint8_t* entry, int keyLength) {
  uint32_t recNo;
  std::memcpy(&recNo, entry + keyLength, sizeof recNo);
  return recNo;
}

}  // namespace

// One sorted run of the spill file, read a buffer at a time.
class TKeySorter::TRunReader {
 public:
  TRunReader(int fd, const TRun& run, size_t entrySize, size_t bufferEntries)
      : fd_(fd), offset_(run.Offset), left_(run.Count), entrySize_(entrySize),
        chunk_(entrySize * std::max<size_t>(1, bufferEntries)) {
    Refill();
  }
  bool Exhausted() const { return at_ >= filled_; }
  const uint8_t* Head() const { return chunk_.data() + at_; }
  void Advance() {
    at_ += entrySize_;
    if (at_ >= filled_) Refill();
  }

 private:
  void Refill() {
    at_ = 0;
    filled_ = std::min(chunk_.size(), left_ * entrySize_);
    if (filled_ == 0) return;
    if (OsSeek(fd_, offset_, 0) != offset_ || OsRead(fd_, chunk_.data(), int64_t(filled_)) != int64_t(filled_))
      RaiseEngineError(kErrRead);
    offset_ += int64_t(filled_);
    left_ -= filled_ / entrySize_;
  }

  int fd_;
  int64_t offset_;
  size_t left_;  // entries not yet read from the file
  size_t entrySize_;
  std::vector<uint8_t> chunk_;
  size_t at_ = 0;
  size_t filled_ = 0;
};

TKeySorter::TKeySorter(int keyLength, TCompare compare, size_t memoryBudget, std::string spillDirectory)
    : keyLength_(keyLength),
      entrySize_(size_t(keyLength) + sizeof(uint32_t)),
      compare_(std::move(compare)),
      spillDirectory_(std::move(spillDirectory)) {
  // Each entry takes its bytes in the buffer and its place in the order.
  capacity_ = std::max<size_t>(2, memoryBudget / (entrySize_ + sizeof(uint32_t)));
}

TKeySorter::~TKeySorter() {
  if (spillFd_ >= 0) OsCloseFile(spillFd_);
}

bool TKeySorter::EntryBefore(const uint8_t* a, const uint8_t* b) const {
  const int order = compare_(a, b);
  if (order != 0) return order < 0;
  return RecNoOf(a, keyLength_) < RecNoOf(b, keyLength_);
}

void TKeySorter::Add(const uint8_t* key, uint32_t recNo) {
  if (count_ == capacity_) SpillBuffer();
  // The whole buffer is taken at once (never copied to grow); its pages
  // become resident only as entries fill them.
  if (buffer_.empty()) buffer_.reserve(capacity_ * entrySize_);
  if (buffer_.size() < (count_ + 1) * entrySize_) buffer_.resize(std::min(capacity_, count_ + 4096) * entrySize_);
  uint8_t* entry = buffer_.data() + count_ * entrySize_;
  std::memcpy(entry, key, size_t(keyLength_));
  std::memcpy(entry + keyLength_, &recNo, sizeof recNo);
  if (count_ > 0 && inOrder_ && !EntryBefore(entry - entrySize_, entry)) inOrder_ = false;
  ++count_;
}

void TKeySorter::SortBuffer() {
  order_.resize(count_);
  for (size_t i = 0; i < count_; ++i) order_[i] = uint32_t(i);
  if (!inOrder_)
    std::sort(order_.begin(), order_.end(), [this](uint32_t a, uint32_t b) { return EntryBefore(Entry(a), Entry(b)); });
}

void TKeySorter::SpillBuffer() {
  SortBuffer();
  if (spillFd_ < 0) {
    std::string name = (spillDirectory_.empty() ? std::string(".") : spillDirectory_) + "/.tabula-sort-XXXXXX";
    spillFd_ = ::mkstemp(name.data());
    if (spillFd_ < 0) {
      OsSetLastError(OsErrorFromErrno(errno));
      RaiseEngineError(kErrWrite, name);
    }
    ::unlink(name.c_str());
  }
  // The run goes out in sorted order, a block of entries per write.
  std::vector<uint8_t> block;
  const size_t perWrite = std::max<size_t>(1, kMinRunBuffer * 4 / entrySize_);
  block.reserve(perWrite * entrySize_);
  if (OsSeek(spillFd_, spillEnd_, 0) != spillEnd_) RaiseEngineError(kErrWrite);
  for (size_t i = 0; i < count_;) {
    block.clear();
    for (size_t k = 0; k < perWrite && i < count_; ++k, ++i) {
      const uint8_t* e = Entry(order_[i]);
      block.insert(block.end(), e, e + entrySize_);
    }
    if (OsWrite(spillFd_, block.data(), int64_t(block.size())) != int64_t(block.size())) RaiseEngineError(kErrWrite);
  }
  runs_.push_back(TRun{spillEnd_, count_});
  spillEnd_ += int64_t(count_ * entrySize_);
  count_ = 0;
  inOrder_ = true;
}

void TKeySorter::Finish() {
  if (finished_) return;
  finished_ = true;
  if (runs_.empty()) {
    SortBuffer();
    next_ = 0;
    return;
  }
  if (count_ > 0) SpillBuffer();
  std::vector<uint8_t>().swap(buffer_);
  std::vector<uint32_t>().swap(order_);
  const size_t budget = capacity_ * (entrySize_ + sizeof(uint32_t));
  const size_t perRun = std::max(kMinRunBuffer, budget / runs_.size()) / entrySize_;
  for (const TRun& run : runs_) readers_.push_back(std::make_unique<TRunReader>(spillFd_, run, entrySize_, perRun));
  auto after = [this](size_t a, size_t b) { return EntryBefore(readers_[b]->Head(), readers_[a]->Head()); };
  for (size_t i = 0; i < readers_.size(); ++i)
    if (!readers_[i]->Exhausted()) heap_.push_back(i);
  std::make_heap(heap_.begin(), heap_.end(), after);
  current_.resize(entrySize_);
}

bool TKeySorter::Next(const uint8_t*& key, uint32_t& recNo) {
  if (!finished_) Finish();
  if (runs_.empty()) {
    if (next_ >= count_) return false;
    key = Entry(order_[next_++]);
    recNo = RecNoOf(key, keyLength_);
    return true;
  }
  if (heap_.empty()) return false;
  auto after = [this](size_t a, size_t b) { return EntryBefore(readers_[b]->Head(), readers_[a]->Head()); };
  std::pop_heap(heap_.begin(), heap_.end(), after);
  TRunReader& reader = *readers_[heap_.back()];
  std::memcpy(current_.data(), reader.Head(), entrySize_);
  reader.Advance();
  if (reader.Exhausted())
    heap_.pop_back();
  else
    std::push_heap(heap_.begin(), heap_.end(), after);
  key = current_.data();
  recNo = RecNoOf(key, keyLength_);
  return true;
}

}  // namespace tabula
