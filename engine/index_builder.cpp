#include "engine/index_builder.h"

#include <algorithm>

#include "tabula/engine_error.h"
#include "tabula/file_handler.h"
#include "engine/index_file.h"

namespace tabula {

struct TIndexBuilder::TLevel {
  explicit TLevel(TIndexFile* file) : Open(file), Waiting(file) {}
  TPage Open;     // the page being filled; it has no offset yet
  TPage Waiting;  // full, with its offset; written once the next page has one
  bool HasWaiting = false;
  int Packed = 0;  // stored bytes of Open (compressed leaves)
};

TIndexBuilder::TIndexBuilder(TIndexFile& file, uint8_t slot) : file_(file), slot_(slot), block_(kIndexPageSize) {
  const TIndexDescriptor& d = file_.Descriptor(slot);
  if (d.RootPage != 0) RaiseEngineError(kErrIndexExists, file_.FileName(), {}, {}, file_.IndexDisplayName(slot));
  layout_.Slot = slot;
  layout_.KeyLength = d.KeyLength;
  layout_.Compression = slot == kSysDeletedSlot ? uint8_t(kCompressNone) : d.Compression;
  layout_.Unique = d.Unique || slot == kPrimarySlot;
  layout_.Descending = d.Descending;
  layout_.SuffixKeys = HasKeySuffix(slot, d);
  leafLimit_ = std::max(1, LeafCapacity(d.KeyLength) * 9 / 10);
  nodeLimit_ = std::max(2, NodeCapacity(d.KeyLength) * 9 / 10);
}

TIndexBuilder::~TIndexBuilder() = default;

uint32_t TIndexBuilder::NewOffset() {
  TIndexHeader& header = file_.Header();
  if (header.EndOfFile > kMaxIndexFileEnd) RaiseEngineError(kErrFileFull, file_.FileName());
  const uint32_t offset = uint32_t(header.EndOfFile);
  header.EndOfFile += kIndexPageSize;
  header.Modified = true;
  return offset;
}

void TIndexBuilder::StartPage(TLevel& level, bool leaf) {
  level.Open.Configure(layout_);
  level.Open.Header.PageType = leaf ? kPageLeaf : kPageNode;
  level.Open.Offset = 0;
  level.Packed = 0;
}

bool TIndexBuilder::PageFull(const TLevel& level) const {
  const TPage& page = level.Open;
  if (page.IsCompressedLeaf()) return level.Packed > kPageEntryBytes * 9 / 10;
  return page.Count() >= (page.IsLeaf() ? leafLimit_ : nodeLimit_);
}

void TIndexBuilder::Add(const uint8_t* key, uint32_t recNo) {
  Push(0, key, recNo, 1);
  ++added_;
}

void TIndexBuilder::Push(size_t level, const uint8_t* key, uint32_t ref, uint32_t count) {
  if (levels_.size() <= level) {
    levels_.push_back(std::make_unique<TLevel>(&file_));
    StartPage(*levels_.back(), level == 0);
  }
  TLevel& l = *levels_[level];
  if (l.Open.Count() > 0 && PageFull(l)) MoveOn(level);
  TPage& page = l.Open;
  page.InsertEntry(page.Count(), key, ref, count);
  if (!page.IsCompressedLeaf()) return;
  const int size = page.ComputeEntry(page.Count() - 1);
  if (l.Packed + size > kPageEntryBytes && page.Count() > 1) {
    // The entry does not fit beside the others: it opens the next page.
    page.RemoveEntry(page.Count() - 1);
    MoveOn(level);
    l.Open.InsertEntry(0, key, ref, count);
    l.Packed = l.Open.ComputeEntry(0);
  } else {
    l.Packed += size;
  }
  l.Open.Header.PackedSize = uint16_t(std::min(l.Packed, 65535));
}

void TIndexBuilder::MoveOn(size_t level) {
  TLevel& l = *levels_[level];
  l.Open.Offset = NewOffset();
  if (l.HasWaiting) {
    l.Waiting.Header.NextPage = l.Open.Offset;
    l.Open.Header.PriorPage = l.Waiting.Offset;
    WritePage(level, l.Waiting, false);
  }
  const bool leaf = l.Open.IsLeaf();
  l.Waiting = std::move(l.Open);
  l.HasWaiting = true;
  StartPage(l, leaf);
}

void TIndexBuilder::WritePage(size_t level, TPage& page, bool root) {
  if (root) page.Header.PageType = page.IsLeaf() ? kPageRootLeaf : kPageRootNode;
  if (page.IsCompressedLeaf()) page.RecomputePacked();
  page.Pack(block_.data(), file_.FileName());
  if (TIndexFileOwner* owner = file_.Owner(); owner && owner->Encrypted()) owner->EncipherBlock(block_.data(), block_.size());
  if (file_.SeekFile(int32_t(page.Offset), kSeekStart) != int32_t(page.Offset)) RaiseEngineError(kErrWrite, file_.FileName());
  file_.WriteBytes(block_.data(), kIndexPageSize);
  if (!root) Push(level + 1, page.Key(0), page.Offset, page.TotalCount());
}

uint32_t TIndexBuilder::Finish() {
  if (finished_) return added_;
  finished_ = true;
  uint32_t root = 0;
  // Levels above are made while the ones below end.
  for (size_t k = 0; k < levels_.size() && root == 0; ++k) {
    TLevel& l = *levels_[k];
    if (l.Open.Count() == 0 && !l.HasWaiting) continue;
    if (l.HasWaiting && l.Open.Count() > 0 && !l.Open.IsCompressedLeaf()) {
      // The last page less than half full: it joins the page before it
      // when both fit one page, else the two share their entries evenly.
      const int capacity = l.Open.Capacity();
      const int total = l.Waiting.Count() + l.Open.Count();
      if (l.Open.Count() < capacity / 2) {
        if (total <= capacity)
          l.Open.MoveHeadTo(l.Open.Count(), l.Waiting);
        else
          l.Waiting.MoveTailTo(l.Waiting.Count() - (total / 2 - l.Open.Count()), l.Open);
      }
    }
    if (l.Open.Count() > 0) MoveOn(k);
    l.Waiting.Header.NextPage = 0;
    const bool top = levels_.size() == k + 1;
    WritePage(k, l.Waiting, top);
    l.HasWaiting = false;
    if (top) root = l.Waiting.Offset;
  }
  if (root != 0) {
    file_.Header().Descriptors[SlotIndex(slot_)].RootPage = root;
    file_.Header().Modified = true;
  }
  levels_.clear();
  return added_;
}

}  // namespace tabula
