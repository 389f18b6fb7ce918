// TIndexFile: key maintenance, key scans for the filters and the bulk
// load of an index. Each runs as one operation on the tree of its slot.

#include <algorithm>
#include <cstring>

#include "tabula/engine_error.h"
#include "engine/index_file.h"

namespace tabula {

// ---------------------------------------------------------------- scans

int32_t TIndexFile::CountKeysBetween(const uint8_t* low, const uint8_t* high) {
  if (cursor_.Physical()) return 0;
  int32_t result = 0;
  RunOperation([&] { result = TreeOf(cursor_.Slot()).CountBetween(low, high); });
  return result;
}

void TIndexFile::MarkKeysBetween(const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap) {
  if (bitmap.Empty()) bitmap.Reset(owner_ ? owner_->RecordSlotCount() : 0);
  bitmap.ClearAll();
  if (cursor_.Physical()) return;
  RunOperation([&] {
    bitmap.ClearAll();
    TIndexTree tree = TreeOf(cursor_.Slot());
    tree.MarkBetween(low, high, tree.KeyLength(), bitmap);
  });
}

int32_t TIndexFile::CountKeysInIndex(uint8_t slot, const uint8_t* low, const uint8_t* high) {
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return 0;
  int32_t result = 0;
  RunOperation([&] { result = TreeOf(slot).CountBetween(low, high); });
  return result;
}

void TIndexFile::MarkKeysInIndex(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap) {
  if (bitmap.Empty()) bitmap.Reset(owner_ ? owner_->RecordSlotCount() : 0);
  bitmap.ClearAll();
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return;
  RunOperation([&] {
    bitmap.ClearAll();
    TIndexTree tree = TreeOf(slot);
    tree.MarkBetween(low, high, tree.KeyLength(), bitmap);
  });
}

void TIndexFile::MarkKeysOutsideIndex(uint8_t slot, const uint8_t* low, const uint8_t* high,
                                      TRecordBitmap& bitmap) {
  if (bitmap.Empty()) bitmap.Reset(owner_ ? owner_->RecordSlotCount() : 0);
  bitmap.ClearAll();
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return;
  RunOperation([&] {
    bitmap.ClearAll();
    TreeOf(slot).MarkOutside(low, high, bitmap);
  });
}

// ---------------------------------------------------------------- key maintenance

bool TIndexFile::KeyExistsInSlot(uint8_t slot, const uint8_t* key) {
  bool exists = false;
  RunOperation([&] {
    TIndexTree tree = TreeOf(slot);
    exists = tree.Descend(key, TSearchRule::kExact, tree.KeyLength()).Equal;
  });
  return exists;
}

bool TIndexFile::KeyExists(const uint8_t* key) {
  if (cursor_.Physical()) return false;
  return KeyExistsInSlot(cursor_.Slot(), key);
}

void TIndexFile::CheckDuplicateInSlot(uint8_t slot, const uint8_t* key) {
  const TIndexDescriptor& d = DescriptorOf(slot);
  if ((slot == kPrimarySlot || d.Unique) && KeyExistsInSlot(slot, key))
    RaiseEngineError(kErrDuplicateKey, FileName(), {}, {}, IndexDisplayName(slot));
}

void TIndexFile::CheckDuplicate(const uint8_t* key) {
  if (cursor_.Physical()) return;
  CheckDuplicateInSlot(cursor_.Slot(), key);
}

void TIndexFile::InsertKeyInSlot(uint8_t slot, const uint8_t* key, uint32_t recNo) {
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return;
  RunOperation([&] { TreeOf(slot).Insert(key, recNo); });
}

void TIndexFile::DeleteKeyInSlot(uint8_t slot, const uint8_t* key) {
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return;
  RunOperation([&] { TreeOf(slot).Delete(key); });
}

void TIndexFile::ReplaceKeyInSlot(uint8_t slot, const uint8_t* oldKey, const uint8_t* newKey, uint32_t recNo) {
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return;
  RunOperation([&] {
    TIndexTree tree = TreeOf(slot);
    tree.Delete(oldKey);
    tree.Insert(newKey, recNo);
  });
}

void TIndexFile::InsertKey(const uint8_t* key, uint32_t recNo) {
  if (!cursor_.Physical()) InsertKeyInSlot(cursor_.Slot(), key, recNo);
}

void TIndexFile::DeleteKey(const uint8_t* key) {
  if (!cursor_.Physical()) DeleteKeyInSlot(cursor_.Slot(), key);
}

void TIndexFile::ReplaceKey(const uint8_t* oldKey, const uint8_t* newKey, uint32_t recNo) {
  if (!cursor_.Physical()) ReplaceKeyInSlot(cursor_.Slot(), oldKey, newKey, recNo);
}

// ---------------------------------------------------------------- bulk load

void TIndexFile::BulkLoadSlot(uint8_t slot, const std::vector<std::pair<std::vector<uint8_t>, uint32_t>>& sortedKeys) {
  if (slot >= kIndexSlotCount) RaiseEngineError(kErrIndexLimits, FileName());
  TIndexDescriptor& d = DescriptorOf(slot);
  if (d.RootPage != 0) RaiseEngineError(kErrIndexExists, FileName(), {}, {}, IndexDisplayName(slot));
  if (sortedKeys.empty()) return;
  const int length = d.KeyLength;
  for (size_t i = 0; i < sortedKeys.size(); ++i) {
    if (static_cast<int>(sortedKeys[i].first.size()) < length) RaiseEngineError(kErrKeySize, FileName());
    if (i > 0 && CompareInSlot(slot, sortedKeys[i - 1].first.data(), sortedKeys[i].first.data(), length) >= 0)
      RaiseEngineError(kErrDuplicateKey, FileName(), {}, {}, IndexDisplayName(slot));
  }
  // Pages go straight to the end of the file, one level after another;
  // each is written as soon as the next one of its level begins.
  struct TBuilt {
    std::vector<uint8_t> FirstKey;
    uint32_t Offset;
    uint32_t Count;
  };
  const TPage::TLayout layout = LayoutOf(slot);
  std::vector<uint8_t> block(kIndexPageSize);
  auto writePage = [&](TPage& page) {
    page.Pack(block.data(), FileName());
    if (owner_ && owner_->Encrypted()) owner_->EncipherBlock(block.data(), kIndexPageSize);
    SeekFile(static_cast<int32_t>(page.Offset), kSeekStart);
    WriteBytes(block.data(), kIndexPageSize);
  };
  auto newOffset = [&]() {
    if (header_.EndOfFile > kMaxIndexFileEnd) RaiseEngineError(kErrFileFull, FileName());
    uint32_t offset = static_cast<uint32_t>(header_.EndOfFile);
    header_.EndOfFile += kIndexPageSize;
    return offset;
  };
  // Leaves are filled to about 90% so that the first inserts do not split at once.
  std::vector<TBuilt> level;
  {
    const bool compressed = layout.Compression != kCompressNone;
    const int leafLimit = std::max(1, LeafCapacity(length) * 9 / 10);
    const int packedLimit = kPageEntryBytes * 9 / 10;
    TPage page(this);
    TPage prior(this);
    bool havePrior = false;
    int packed = 0;
    page.Configure(layout);
    page.Header.PageType = kPageLeaf;
    page.Offset = newOffset();
    auto startNew = [&]() {
      TPage fresh(this);
      fresh.Configure(layout);
      fresh.Header.PageType = kPageLeaf;
      fresh.Offset = newOffset();
      page.Header.NextPage = fresh.Offset;
      fresh.Header.PriorPage = page.Offset;
      if (havePrior) writePage(prior);
      level.push_back(TBuilt{std::vector<uint8_t>(page.Key(0), page.Key(0) + length), page.Offset, page.TotalCount()});
      prior = std::move(page);
      havePrior = true;
      page = std::move(fresh);
      packed = 0;
    };
    for (const auto& [key, rec] : sortedKeys) {
      page.InsertEntry(page.Count(), key.data(), rec, 1);
      if (compressed) {
        packed += page.ComputeEntry(page.Count() - 1);
        page.Header.PackedSize = static_cast<uint16_t>(std::min(packed, 65535));
        if (packed > kPageEntryBytes) {
          page.RemoveEntry(page.Count() - 1);
          page.RecomputePacked();
          startNew();
          page.InsertEntry(0, key.data(), rec, 1);
          packed = page.ComputeEntry(0);
          page.Header.PackedSize = static_cast<uint16_t>(packed);
        } else if (packed > packedLimit) {
          startNew();
        }
      } else if (page.Count() >= leafLimit) {
        startNew();
      }
    }
    if (page.Count() == 0) {
      // The last page began empty: the prior page ends the level.
      header_.EndOfFile -= kIndexPageSize;
      page = std::move(prior);
      page.Header.NextPage = 0;
      havePrior = false;
      level.pop_back();
    }
    if (havePrior) writePage(prior);
    level.push_back(TBuilt{std::vector<uint8_t>(page.Key(0), page.Key(0) + length), page.Offset, page.TotalCount()});
    if (level.size() == 1) page.Header.PageType = kPageRootLeaf;
    writePage(page);
  }
  const int nodeLimit = std::max(2, NodeCapacity(length) * 9 / 10);
  while (level.size() > 1) {
    std::vector<TBuilt> upper;
    const size_t groups = (level.size() + static_cast<size_t>(nodeLimit) - 1) / static_cast<size_t>(nodeLimit);
    std::vector<uint32_t> offsets(groups);
    for (auto& o : offsets) o = newOffset();
    size_t at = 0;
    for (size_t g = 0; g < groups; ++g) {
      // Spread the entries evenly so that no node is left underfull.
      size_t take = (level.size() - at) / (groups - g);
      TPage node(this);
      node.Configure(layout);
      node.Header.PageType = groups == 1 ? kPageRootNode : kPageNode;
      node.Offset = offsets[g];
      node.Header.PriorPage = g > 0 ? offsets[g - 1] : 0;
      node.Header.NextPage = g + 1 < groups ? offsets[g + 1] : 0;
      for (size_t k = 0; k < take; ++k, ++at)
        node.InsertEntry(node.Count(), level[at].FirstKey.data(), level[at].Offset, level[at].Count);
      writePage(node);
      upper.push_back(TBuilt{std::vector<uint8_t>(node.Key(0), node.Key(0) + length), node.Offset, node.TotalCount()});
    }
    level = std::move(upper);
  }
  SetTreeRoot(slot, level.front().Offset);
  header_.Modified = true;
  ++generation_;
}

}  // namespace tabula
