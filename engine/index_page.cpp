#include "engine/index_page.h"

#include <algorithm>
#include <cstring>

#include "tabula/engine_error.h"

namespace tabula {

namespace {

// Keys are tens of bytes long. Copied in 8-byte words they move faster
// than through the string instruction the compiler picks for a copy whose
// length it only knows to be small, which costs more to start than the
// copy itself.
void CopyKeyBytes(uint8_t* dst, const uint8_t* src, int n) {
  for (; n >= 8; n -= 8, src += 8, dst += 8) {
    uint64_t word;
    std::memcpy(&word, src, 8);
    std::memcpy(dst, &word, 8);
  }
  for (; n > 0; --n) *dst++ = *src++;
}

}  // namespace

void TPage::Reset() {
  Offset = 0;
  Dirty = false;
  Free = false;
  Pins = 0;
  ParentOffset = 0;
  EditPosition = 0;
  ScanPosition = 0;
  ClearContent();
}

void TPage::Configure(const TLayout& layout) {
  Layout = layout;
  ClearContent();
  Free = false;
}

void TPage::ClearContent() {
  Header = TPageHeader{};
  Keys.clear();
  Refs.clear();
  Counts.clear();
  Prefix.clear();
  Tail.clear();
}

uint32_t TPage::TotalCount() const { return CountBefore(Count()); }

uint32_t TPage::CountBefore(int end) const {
  if (IsLeaf()) return static_cast<uint32_t>(end);
  uint32_t n = 0;
  for (int i = 0; i < end; ++i) n += Counts[static_cast<size_t>(i)];
  return n;
}

void TPage::InsertEntry(int at, const uint8_t* key, uint32_t ref, uint32_t count) {
  size_t l = static_cast<size_t>(Layout.KeyLength);
  Keys.insert(Keys.begin() + static_cast<std::ptrdiff_t>(at * l), key, key + l);
  Refs.insert(Refs.begin() + at, ref);
  Counts.insert(Counts.begin() + at, count);
  Prefix.insert(Prefix.begin() + at, 0);
  Tail.insert(Tail.begin() + at, 0);
  Header.KeyCount = static_cast<uint16_t>(Count());
}

void TPage::RemoveEntry(int at) {
  size_t l = static_cast<size_t>(Layout.KeyLength);
  Keys.erase(Keys.begin() + static_cast<std::ptrdiff_t>(at * l), Keys.begin() + static_cast<std::ptrdiff_t>((at + 1) * l));
  Refs.erase(Refs.begin() + at);
  Counts.erase(Counts.begin() + at);
  Prefix.erase(Prefix.begin() + at);
  Tail.erase(Tail.begin() + at);
  Header.KeyCount = static_cast<uint16_t>(Count());
}

void TPage::SetKey(int at, const uint8_t* key) {
  std::memmove(MutableKey(at), key, static_cast<size_t>(Layout.KeyLength));
}

void TPage::MoveTailTo(int from, TPage& dest) {
  size_t l = static_cast<size_t>(Layout.KeyLength);
  auto f = static_cast<std::ptrdiff_t>(from);
  dest.Keys.insert(dest.Keys.begin(), Keys.begin() + f * static_cast<std::ptrdiff_t>(l), Keys.end());
  dest.Refs.insert(dest.Refs.begin(), Refs.begin() + f, Refs.end());
  dest.Counts.insert(dest.Counts.begin(), Counts.begin() + f, Counts.end());
  dest.Prefix.insert(dest.Prefix.begin(), Prefix.begin() + f, Prefix.end());
  dest.Tail.insert(dest.Tail.begin(), Tail.begin() + f, Tail.end());
  Keys.resize(static_cast<size_t>(from) * l);
  Refs.resize(static_cast<size_t>(from));
  Counts.resize(static_cast<size_t>(from));
  Prefix.resize(static_cast<size_t>(from));
  Tail.resize(static_cast<size_t>(from));
  Header.KeyCount = static_cast<uint16_t>(Count());
  dest.Header.KeyCount = static_cast<uint16_t>(dest.Count());
}

void TPage::MoveHeadTo(int n, TPage& dest) {
  size_t l = static_cast<size_t>(Layout.KeyLength);
  auto e = static_cast<std::ptrdiff_t>(n);
  dest.Keys.insert(dest.Keys.end(), Keys.begin(), Keys.begin() + e * static_cast<std::ptrdiff_t>(l));
  dest.Refs.insert(dest.Refs.end(), Refs.begin(), Refs.begin() + e);
  dest.Counts.insert(dest.Counts.end(), Counts.begin(), Counts.begin() + e);
  dest.Prefix.insert(dest.Prefix.end(), Prefix.begin(), Prefix.begin() + e);
  dest.Tail.insert(dest.Tail.end(), Tail.begin(), Tail.begin() + e);
  Keys.erase(Keys.begin(), Keys.begin() + e * static_cast<std::ptrdiff_t>(l));
  Refs.erase(Refs.begin(), Refs.begin() + e);
  Counts.erase(Counts.begin(), Counts.begin() + e);
  Prefix.erase(Prefix.begin(), Prefix.begin() + e);
  Tail.erase(Tail.begin(), Tail.begin() + e);
  Header.KeyCount = static_cast<uint16_t>(Count());
  dest.Header.KeyCount = static_cast<uint16_t>(dest.Count());
}

int TPage::StoredEntrySize(int i) const {
  int l = Layout.KeyLength;
  if (!IsLeaf()) return l + 8;
  switch (Layout.Compression) {
    case kCompressLeading: return l - Prefix[static_cast<size_t>(i)] + 6;
    case kCompressTrailing: return l - Tail[static_cast<size_t>(i)] + 6;
    case kCompressBoth: return l - Prefix[static_cast<size_t>(i)] - Tail[static_cast<size_t>(i)] + 6;
    default: return l + 4;
  }
}

int TPage::Capacity() const {
  return IsLeaf() ? LeafCapacity(Layout.KeyLength) : NodeCapacity(Layout.KeyLength);
}

bool TPage::Overflows() const {
  if (IsCompressedLeaf()) return Header.PackedSize > kPageEntryBytes;
  return Count() > Capacity();
}

namespace {

// Zero bytes counted backwards from `last`, at most `limit` of them.
int TrailingZeros(const uint8_t* key, int last, int limit) {
  int t = 0;
  while (t < limit && last - t >= 0 && key[last - t] == 0) ++t;
  return t;
}

}  // namespace

int TPage::ComputeEntry(int i) {
  const int l = Layout.KeyLength;
  const bool suffix = Layout.SuffixKeys;
  const uint8_t* key = Key(i);
  int p = 0;
  if (i > 0 && Layout.Compression != kCompressTrailing) {
    const uint8_t* prev = Key(i - 1);
    while (p < l && prev[p] == key[p]) ++p;
    if (Layout.Compression == kCompressBoth && p > 255) p = 255;
  }
  int t = 0;
  if (Layout.Compression == kCompressTrailing) {
    int limit = suffix ? (l - 4) % 256 : l % 256;
    t = TrailingZeros(key, suffix ? l - 5 : l - 1, limit);
  } else if (Layout.Compression == kCompressBoth) {
    if (!(suffix && l - p < 5)) {
      int limit = suffix ? (l - p - 4) % 256 : (l - p) % 256;
      t = std::min(255, TrailingZeros(key, suffix ? l - 5 : l - 1, limit));
    }
  }
  Prefix[static_cast<size_t>(i)] = static_cast<uint16_t>(p);
  Tail[static_cast<size_t>(i)] = static_cast<uint16_t>(t);
  return StoredEntrySize(i);
}

void TPage::RecomputePacked() {
  if (!IsCompressedLeaf()) {
    Header.PackedSize = 0;
    return;
  }
  int total = 0;
  for (int i = 0; i < Count(); ++i) total += ComputeEntry(i);
  // A size that does not fit 16 bits is saturated; it only has to compare
  // above the page limit.
  Header.PackedSize = static_cast<uint16_t>(std::min(total, 65535));
}

// Inserting or removing one entry changes the stored form of that entry and
// of the one after it (whose leading bytes refer to the key before it) only;
// the other entries keep theirs, so the packed size moves by the difference.
void TPage::InsertEntryPacked(int at, const uint8_t* key, uint32_t ref) {
  InsertEntry(at, key, ref, 1);
  if (!IsCompressedLeaf() || Header.PackedSize == 65535) return RecomputePacked();
  int total = Header.PackedSize + ComputeEntry(at);
  if (at + 1 < Count()) {
    total -= StoredEntrySize(at + 1);  // as it was stored after the key before the new one
    total += ComputeEntry(at + 1);
  }
  Header.PackedSize = static_cast<uint16_t>(std::min(total, 65535));
}

void TPage::RemoveEntryPacked(int at) {
  if (!IsCompressedLeaf() || Header.PackedSize == 65535) {
    RemoveEntry(at);
    return RecomputePacked();
  }
  int total = Header.PackedSize - StoredEntrySize(at);
  RemoveEntry(at);
  if (at < Count()) {
    total -= StoredEntrySize(at);
    total += ComputeEntry(at);
  }
  Header.PackedSize = static_cast<uint16_t>(std::min(std::max(total, 0), 65535));
}

void TPage::Expand(const uint8_t* block, bool expandEntries, const std::string& fileName) {
  Header.Unpack(block);
  StoredPackedSize = Header.PackedSize;
  Keys.clear();
  Refs.clear();
  Counts.clear();
  Prefix.clear();
  Tail.clear();
  Free = false;
  if (!expandEntries) {
    Header.KeyCount = 0;
    return;
  }
  if (Header.PageType > kPageRootLeaf) RaiseEngineError(kErrIndexPagesCorrupt, fileName);
  const int l = Layout.KeyLength;
  const int n = Header.KeyCount;
  if (l <= 0 || l > kKeyBufferSize) RaiseEngineError(kErrIndexPagesCorrupt, fileName);
  Keys.assign(static_cast<size_t>(n) * static_cast<size_t>(l), 0);
  Refs.assign(static_cast<size_t>(n), 0);
  Counts.assign(static_cast<size_t>(n), 1);
  Prefix.assign(static_cast<size_t>(n), 0);
  Tail.assign(static_cast<size_t>(n), 0);
  const uint8_t* p = block + kPageHeaderSize;
  const uint8_t* end = block + kIndexPageSize;
  auto need = [&](int bytes) {
    if (bytes < 0 || end - p < bytes) RaiseEngineError(kErrIndexPagesCorrupt, fileName);
  };
  if (!IsLeaf() || Layout.Compression == kCompressNone) {
    const int size = IsLeaf() ? l + 4 : l + 8;
    need(size * n);
    for (int i = 0; i < n; ++i) {
      CopyKeyBytes(MutableKey(i), p, l);
      Refs[static_cast<size_t>(i)] = LoadU32(p + l);
      if (!IsLeaf()) Counts[static_cast<size_t>(i)] = LoadU32(p + l + 4);
      p += size;
    }
    Header.PackedSize = 0;
    return;
  }
  const bool suffix = Layout.SuffixKeys;
  int total = 0;
  for (int i = 0; i < n; ++i) {
    uint8_t* key = MutableKey(i);
    int pre = 0;
    int tail = 0;
    switch (Layout.Compression) {
      case kCompressLeading: need(2); pre = LoadU16(p); p += 2; break;
      case kCompressTrailing: need(2); tail = LoadU16(p); p += 2; break;
      default: need(2); pre = p[0]; tail = p[1]; p += 2; break;
    }
    if ((i == 0 && pre != 0) || pre + tail > l || (suffix && tail > 0 && pre + tail > l - 4))
      RaiseEngineError(kErrIndexPagesCorrupt, fileName);
    const int stored = l - pre - tail;
    need(stored + 4);
    CopyKeyBytes(key, key - l, pre);
    if (suffix && tail > 0) {
      CopyKeyBytes(key + pre, p, stored - 4);
      std::memcpy(key + l - 4, p + stored - 4, 4);
    } else {
      CopyKeyBytes(key + pre, p, stored);
    }
    p += stored;
    Refs[static_cast<size_t>(i)] = LoadU32(p);
    p += 4;
    Prefix[static_cast<size_t>(i)] = static_cast<uint16_t>(pre);
    Tail[static_cast<size_t>(i)] = static_cast<uint16_t>(tail);
    total += stored + 6;
  }
  Header.PackedSize = static_cast<uint16_t>(total);
}

void TPage::Pack(uint8_t* block, const std::string& fileName) const {
  std::memset(block, 0, kIndexPageSize);
  TPageHeader h = Header;
  if (Free) {
    h.KeyCount = 0;
    h.PackedSize = 0;
    h.Pack(block);
    return;
  }
  h.KeyCount = static_cast<uint16_t>(Count());
  const int l = Layout.KeyLength;
  uint8_t* p = block + kPageHeaderSize;
  if (!IsLeaf() || Layout.Compression == kCompressNone) {
    const int size = IsLeaf() ? l + 4 : l + 8;
    if (size * Count() > kPageEntryBytes) RaiseEngineError(kErrIndexPagesCorrupt, fileName);
    h.PackedSize = 0;
    h.Pack(block);
    for (int i = 0; i < Count(); ++i) {
      std::memcpy(p, Key(i), static_cast<size_t>(l));
      StoreU32(p + l, Refs[static_cast<size_t>(i)]);
      if (!IsLeaf()) StoreU32(p + l + 4, Counts[static_cast<size_t>(i)]);
      p += size;
    }
    return;
  }
  if (Header.PackedSize > kPageEntryBytes) RaiseEngineError(kErrIndexPagesCorrupt, fileName);
  h.Pack(block);
  const bool suffix = Layout.SuffixKeys;
  for (int i = 0; i < Count(); ++i) {
    const uint8_t* key = Key(i);
    const int pre = Prefix[static_cast<size_t>(i)];
    const int tail = Tail[static_cast<size_t>(i)];
    switch (Layout.Compression) {
      case kCompressLeading: StoreU16(p, static_cast<uint16_t>(pre)); p += 2; break;
      case kCompressTrailing: StoreU16(p, static_cast<uint16_t>(tail)); p += 2; break;
      default: p[0] = static_cast<uint8_t>(pre); p[1] = static_cast<uint8_t>(tail); p += 2; break;
    }
    const int stored = l - pre - tail;
    if (suffix && tail > 0) {
      std::memcpy(p, key + pre, static_cast<size_t>(stored - 4));
      std::memcpy(p + stored - 4, key + l - 4, 4);
    } else {
      std::memcpy(p, key + pre, static_cast<size_t>(stored));
    }
    p += stored;
    StoreU32(p, Refs[static_cast<size_t>(i)]);
    p += 4;
  }
}

}  // namespace tabula
