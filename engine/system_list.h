#pragma once
// TSystemList: the engine's growable array of untyped pointers. It never
// frees the items; its array comes from the engine allocator, so new slots
// are always null.

#include <cstdint>
#include <functional>

namespace tabula {

// Largest Count and Capacity a list may have.
inline constexpr int32_t kMaxListSize = 262140;

// Compare callback of SortPointers: negative, zero or positive.
using TListSortCompare = std::function<int(void*, void*)>;

// Quicksort of items[left..right] with the middle item as pivot.
void SortPointers(void** items, int32_t left, int32_t right, const TListSortCompare& compare);

class TSystemList {
 public:
  TSystemList() = default;
  virtual ~TSystemList();
  TSystemList(const TSystemList&) = delete;
  TSystemList& operator=(const TSystemList&) = delete;

  int32_t Add(void* item);
  void Insert(int32_t index, void* item);
  void Delete(int32_t index);
  // Removes the first slot holding item; returns its index or -1.
  int32_t Remove(void* item);
  int32_t IndexOf(void* item) const;
  void Exchange(int32_t index1, int32_t index2);
  // Count and Capacity become 0; the array is freed.
  void Clear();
  void* Get(int32_t index) const;
  void Put(int32_t index, void* item);
  void* First() const { return Get(0); }
  void* Last() const { return Get(Count - 1); }
  // Capacity below Count or above kMaxListSize raises the capacity error.
  void SetCapacity(int32_t newCapacity);
  // Count below 0 or above kMaxListSize raises the count error; new slots are null.
  void SetCount(int32_t newCount);
  // Sorts the whole list with SortPointers.
  void Sort(const TListSortCompare& compare);

  // Grows the capacity by a quarter above 64, by 16 from 9 to 64, else by 4.
  virtual void Grow();
  // Raises fw::EListError with the message, the value in place of %d.
  [[noreturn]] virtual void Error(const char* message, int32_t value) const;

  void** Items = nullptr;
  int32_t Count = 0;
  int32_t Capacity = 0;
};

inline constexpr const char* kListIndexError = "List index out of bounds (%d)";
inline constexpr const char* kListCapacityError = "List capacity out of bounds (%d)";
inline constexpr const char* kListCountError = "List count out of bounds (%d)";

}  // namespace tabula
