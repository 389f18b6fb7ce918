#include "engine/system_list.h"

#include <cstring>
#include <string>
#include <utility>

#include "tabula/file_session.h"
#include "framework/core/exceptions.h"

namespace tabula {

void SortPointers(void** items, int32_t left, int32_t right, const TListSortCompare& compare) {
  // Recurses on the smaller part and loops on the larger, so the stack stays
  // shallow; the parts are disjoint, so the order in which they are sorted
  // does not change the result. The scans stop at the ends of the range even
  // when the compare callback is inconsistent.
  while (left < right) {
    int32_t i = left;
    int32_t j = right;
    void* pivot = items[left + (right - left) / 2];
    do {
      while (i < right && compare(items[i], pivot) < 0) ++i;
      while (j > left && compare(items[j], pivot) > 0) --j;
      if (i <= j) {
        std::swap(items[i], items[j]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - left < right - i) {
      if (left < j) SortPointers(items, left, j, compare);
      left = i;
    } else {
      if (i < right) SortPointers(items, i, right, compare);
      right = j;
    }
  }
}

TSystemList::~TSystemList() { EngineFree(Items); }

void TSystemList::Error(const char* message, int32_t value) const {
  throw fw::EListError(fw::FormatMessage(message, {std::to_string(value)}));
}

void TSystemList::Grow() {
  int32_t delta = Capacity > 64 ? Capacity / 4 : Capacity > 8 ? 16 : 4;
  SetCapacity(Capacity + delta);
}

void TSystemList::SetCapacity(int32_t newCapacity) {
  if (newCapacity < Count || newCapacity > kMaxListSize) Error(kListCapacityError, newCapacity);
  if (newCapacity == Capacity) return;
  Items = static_cast<void**>(EngineRealloc(Items, static_cast<std::size_t>(newCapacity) * sizeof(void*)));
  Capacity = newCapacity;
}

void TSystemList::SetCount(int32_t newCount) {
  if (newCount < 0 || newCount > kMaxListSize) Error(kListCountError, newCount);
  if (newCount > Capacity) SetCapacity(newCount);
  if (newCount > Count) std::memset(Items + Count, 0, static_cast<std::size_t>(newCount - Count) * sizeof(void*));
  Count = newCount;
}

int32_t TSystemList::Add(void* item) {
  if (Count == Capacity) Grow();
  Items[Count] = item;
  return Count++;
}

void TSystemList::Insert(int32_t index, void* item) {
  if (index < 0 || index > Count) Error(kListIndexError, index);
  if (Count == Capacity) Grow();
  if (index < Count) {
    std::memmove(Items + index + 1, Items + index, static_cast<std::size_t>(Count - index) * sizeof(void*));
  }
  Items[index] = item;
  ++Count;
}

void TSystemList::Delete(int32_t index) {
  if (index < 0 || index >= Count) Error(kListIndexError, index);
  --Count;
  if (index < Count) {
    std::memmove(Items + index, Items + index + 1, static_cast<std::size_t>(Count - index) * sizeof(void*));
  }
  Items[Count] = nullptr;
}

int32_t TSystemList::Remove(void* item) {
  int32_t index = IndexOf(item);
  if (index >= 0) Delete(index);
  return index;
}

int32_t TSystemList::IndexOf(void* item) const {
  for (int32_t i = 0; i < Count; ++i) {
    if (Items[i] == item) return i;
  }
  return -1;
}

void TSystemList::Exchange(int32_t index1, int32_t index2) {
  if (index1 < 0 || index1 >= Count) Error(kListIndexError, index1);
  if (index2 < 0 || index2 >= Count) Error(kListIndexError, index2);
  std::swap(Items[index1], Items[index2]);
}

void TSystemList::Clear() {
  Count = 0;
  EngineFree(Items);
  Capacity = 0;
}

void* TSystemList::Get(int32_t index) const {
  if (index < 0 || index >= Count) Error(kListIndexError, index);
  return Items[index];
}

void TSystemList::Put(int32_t index, void* item) {
  if (index < 0 || index >= Count) Error(kListIndexError, index);
  Items[index] = item;
}

void TSystemList::Sort(const TListSortCompare& compare) {
  if (Count > 1) SortPointers(Items, 0, Count - 1, compare);
}

}  // namespace tabula
