#pragma once
// One buffered page of an index file, held expanded: every entry's full key,
// its reference (child page offset in a node, record number in a leaf), its
// subtree count (nodes) and, in compressed leaves, the leading (P) and
// trailing (T) byte counts it is stored with. Expand() reads the stored
// 4096 bytes, Pack() writes them back.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/index_format.h"

namespace tabula {

class TIndexFile;

class TPage {
 public:
  // Layout settings of the index the page belongs to, taken when the page
  // is loaded.
  struct TLayout {
    uint8_t Slot = 0;
    int KeyLength = 0;
    uint8_t Compression = 0;
    bool Unique = false;
    bool Descending = false;
    bool SuffixKeys = false;  // keys end in the 4-byte auto-increment suffix
  };

  explicit TPage(TIndexFile* owner) : Owner(owner) {}

  // Back to an unused buffer: no offset, no pins, no entries.
  void Reset();
  // An empty page of the given index (type root node, no links).
  void Configure(const TLayout& layout);
  // No header and no entries; offset, pins and layout stay.
  void ClearContent();

  // Reads a stored page. Without `expandEntries` only the page header is
  // taken. A page whose entries do not fit or do not decode raises 8965.
  void Expand(const uint8_t* block, bool expandEntries, const std::string& fileName);
  // Writes the stored form into a zeroed 4096-byte block. Raises 8965 when
  // a compressed page does not fit.
  void Pack(uint8_t* block, const std::string& fileName) const;

  int Count() const { return static_cast<int>(Refs.size()); }
  bool IsLeaf() const { return Header.PageType == kPageLeaf || Header.PageType == kPageRootLeaf; }
  bool IsRoot() const { return Header.PageType == kPageRootNode || Header.PageType == kPageRootLeaf; }
  bool IsCompressedLeaf() const { return IsLeaf() && Layout.Compression != kCompressNone; }
  const uint8_t* Key(int i) const { return Keys.data() + static_cast<size_t>(i) * Layout.KeyLength; }
  uint8_t* MutableKey(int i) { return Keys.data() + static_cast<size_t>(i) * Layout.KeyLength; }
  // Leaf: 1 per entry; node: the entry's subtree count.
  uint32_t EntryCount(int i) const { return IsLeaf() ? 1u : Counts[static_cast<size_t>(i)]; }
  // Keys below this page: the entry count of a leaf, the sum of counts of a node.
  uint32_t TotalCount() const;
  // Sum of EntryCount over entries [0, end).
  uint32_t CountBefore(int end) const;

  void InsertEntry(int at, const uint8_t* key, uint32_t ref, uint32_t count);
  void RemoveEntry(int at);
  // A leaf entry in or out, with the packed size of a compressed leaf kept
  // up to date by recomputing only the entries whose stored form changes.
  void InsertEntryPacked(int at, const uint8_t* key, uint32_t ref);
  void RemoveEntryPacked(int at);
  void SetKey(int at, const uint8_t* key);
  // Moves entries [from, Count()) to the front of `dest`.
  void MoveTailTo(int from, TPage& dest);
  // Moves this page's first n entries to the end of `dest`.
  void MoveHeadTo(int n, TPage& dest);

  // Chooses P and T of entry i of a compressed leaf against entry i - 1;
  // returns the entry's stored size.
  int ComputeEntry(int i);
  // Recomputes P, T and PackedSize of a compressed leaf (no effect otherwise).
  void RecomputePacked();
  // Bytes entry i takes in the stored page.
  int StoredEntrySize(int i) const;
  int Capacity() const;
  // More entries than the page can store.
  bool Overflows() const;

  TIndexFile* Owner;
  uint32_t Offset = 0;
  bool Dirty = false;
  bool Free = false;           // on the free list: written with no entries
  uint16_t Pins = 0;           // pin handles held on it (TPagePin)
  uint32_t ParentOffset = 0;   // set while descending, never stored
  int EditPosition = 0;        // 1-based entry used by insert and delete
  int ScanPosition = 0;        // 1-based entry used by navigation
  TPageHeader Header;
  uint16_t StoredPackedSize = 0;  // the PackedSize field as read from the file
  TLayout Layout;
  std::vector<uint8_t> Keys;   // Count() keys of Layout.KeyLength bytes
  std::vector<uint32_t> Refs;
  std::vector<uint32_t> Counts;  // nodes only (leaves keep 1)
  std::vector<uint16_t> Prefix;  // P, compressed leaves
  std::vector<uint16_t> Tail;    // T, compressed leaves
};

}  // namespace tabula
