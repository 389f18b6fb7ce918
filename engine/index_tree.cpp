// TIndexFile: key maintenance. Inserts split full pages (compressed leaves
// by packed size) and grow a new root; deletes merge or redistribute
// underfull pages and collapse a root left with one child. Node entries keep
// the first key of their child's subtree and the number of leaf entries
// below it, so every change walks the descent path back up.

#include <algorithm>
#include <cstring>

#include "engine/engine_error.h"
#include "engine/index_file.h"

namespace tabula {

void TIndexFile::Touch(TPage* page) {
  page->Dirty = true;
}

void TIndexFile::SetRoot(uint8_t slot, uint32_t offset) {
  DescriptorOf(slot).RootPage = offset;
  header_.Modified = true;
}

// The first key of path[level]'s page changed: carry it into the parent
// entries, upwards while the changed entry is the first of its page.
void TIndexFile::FixParentKeys(std::vector<TPathStep>& path, size_t level) {
  while (level > 0) {
    TPage* child = path[level].Page;
    TPathStep& up = path[level - 1];
    if (child->Count() == 0) return;
    if (std::memcmp(up.Page->Key(up.Entry), child->Key(0), static_cast<size_t>(child->Layout.KeyLength)) == 0) return;
    up.Page->SetKey(up.Entry, child->Key(0));
    Touch(up.Page);
    if (up.Entry != 0) return;
    --level;
  }
}

void TIndexFile::HandleOverflow(uint8_t slot, std::vector<TPathStep>& path, size_t level) {
  TPage* page = path[level].Page;
  if (!page->Overflows()) return;
  const bool wasRoot = page->IsRoot();
  const bool leaf = page->IsLeaf();
  TPage* right = AllocatePageInSlot(slot);
  const int count = page->Count();
  const int move = count / 2;
  page->MoveTailTo(count - move, *right);
  page->Header.PageType = leaf ? kPageLeaf : kPageNode;
  right->Header.PageType = leaf ? kPageLeaf : kPageNode;
  page->RecomputePacked();
  right->RecomputePacked();
  if (page->IsCompressedLeaf()) {
    // Entries cross the boundary one at a time until both halves fit.
    const int total = page->Count() + right->Count();
    for (int guard = 0; page->Overflows() || right->Overflows(); ++guard) {
      if (guard > total || (page->Count() <= 1 && page->Overflows()) || (right->Count() <= 1 && right->Overflows()))
        Corrupt();
      if (page->Overflows())
        page->MoveTailTo(page->Count() - 1, *right);
      else
        right->MoveHeadTo(1, *page);
      page->RecomputePacked();
      right->RecomputePacked();
    }
  }
  // Link the new page after the old one on its level.
  right->Header.NextPage = page->Header.NextPage;
  right->Header.PriorPage = page->Offset;
  if (page->Header.NextPage != 0) {
    TPage* next = GetPageInSlot(slot, page->Header.NextPage, false);
    next->Header.PriorPage = right->Offset;
    Touch(next);
    ReleasePage(next);
  }
  page->Header.NextPage = right->Offset;
  right->ParentOffset = page->ParentOffset;
  Touch(page);
  Touch(right);
  if (wasRoot) {
    TPage* root = AllocatePageInSlot(slot);
    root->Header.PageType = kPageRootNode;
    root->InsertEntry(0, page->Key(0), page->Offset, page->TotalCount());
    root->InsertEntry(1, right->Key(0), right->Offset, right->TotalCount());
    Touch(root);
    page->Header.PriorPage = 0;
    right->Header.NextPage = 0;
    page->ParentOffset = right->ParentOffset = root->Offset;
    SetRoot(slot, root->Offset);
    ReleasePage(root);
    ReleasePage(right);
    return;
  }
  if (level == 0) Corrupt();
  TPathStep& up = path[level - 1];
  up.Page->Counts[static_cast<size_t>(up.Entry)] = page->TotalCount();
  up.Page->InsertEntry(up.Entry + 1, right->Key(0), right->Offset, right->TotalCount());
  Touch(up.Page);
  ReleasePage(right);
  HandleOverflow(slot, path, level - 1);
}

void TIndexFile::InsertInto(uint8_t slot, const uint8_t* key, uint32_t recNo) {
  TIndexDescriptor& d = DescriptorOf(slot);
  if (d.KeyLength < 1 || d.KeyLength > kKeyBufferSize || NodeCapacity(d.KeyLength) < 2)
    RaiseEngineError(kErrKeySize, FileName(), {}, {}, IndexDisplayName(slot));
  ++generation_;
  if (d.RootPage == 0) {
    TPage* page = AllocatePageInSlot(slot);
    page->Header.PageType = kPageRootLeaf;
    page->InsertEntry(0, key, recNo, 1);
    page->RecomputePacked();
    Touch(page);
    SetRoot(slot, page->Offset);
    ReleasePage(page);
    return;
  }
  TDescent descent = Descend(slot, key, TSearchRule::kInsert, d.KeyLength);
  std::vector<TPathStep>& path = descent.Path;
  if (path.empty()) Corrupt();
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    ++path[i].Page->Counts[static_cast<size_t>(path[i].Entry)];
    Touch(path[i].Page);
  }
  const size_t leafLevel = path.size() - 1;
  TPage* leaf = path[leafLevel].Page;
  const int pos = path[leafLevel].Entry;
  leaf->InsertEntry(pos, key, recNo, 1);
  leaf->RecomputePacked();
  Touch(leaf);
  if (pos == 0) FixParentKeys(path, leafLevel);
  HandleOverflow(slot, path, leafLevel);
  ReleaseDescent(descent, false);
  ++generation_;
}

// Unlinks a page from its level.
void TIndexFile::UnlinkFromLevel(uint8_t slot, TPage* page) {
  if (page->Header.PriorPage != 0) {
    TPage* prior = GetPageInSlot(slot, page->Header.PriorPage, false);
    prior->Header.NextPage = page->Header.NextPage;
    Touch(prior);
    ReleasePage(prior);
  }
  if (page->Header.NextPage != 0) {
    TPage* next = GetPageInSlot(slot, page->Header.NextPage, false);
    next->Header.PriorPage = page->Header.PriorPage;
    Touch(next);
    ReleasePage(next);
  }
}

void TIndexFile::RemoveFromParent(uint8_t slot, std::vector<TPathStep>& path, size_t level) {
  if (level == 0) Corrupt();
  TPathStep& up = path[level - 1];
  up.Page->RemoveEntry(up.Entry);
  Touch(up.Page);
  if (up.Entry == 0 && up.Page->Count() > 0) FixParentKeys(path, level - 1);
  Rebalance(slot, path, level - 1);
}

void TIndexFile::Rebalance(uint8_t slot, std::vector<TPathStep>& path, size_t level) {
  TPage* page = path[level].Page;
  if (page->IsRoot()) {
    if (page->Header.PageType == kPageRootNode && page->Count() == 1) {
      TPage* child = GetPageInSlot(slot, page->Refs[0], false);
      child->Header.PageType = child->IsLeaf() ? kPageRootLeaf : kPageRootNode;
      child->Header.PriorPage = 0;
      child->Header.NextPage = 0;
      child->ParentOffset = 0;
      Touch(child);
      SetRoot(slot, child->Offset);
      FreePageInSlot(slot, page);
      ReleasePage(child);
    } else if (page->Count() == 0) {
      FreePageInSlot(slot, page);
      SetRoot(slot, 0);
    }
    return;
  }
  if (page->IsCompressedLeaf()) {
    // Compressed leaves are only taken out when they become empty.
    if (page->Count() > 0) return;
    UnlinkFromLevel(slot, page);
    FreePageInSlot(slot, page);
    RemoveFromParent(slot, path, level);
    return;
  }
  const int capacity = page->Capacity();
  if (page->Count() >= capacity / 2) return;
  if (level == 0) Corrupt();
  TPathStep& up = path[level - 1];
  TPage* parent = up.Page;
  const int idx = up.Entry;
  const bool partnerIsPrior = idx > 0;
  if (!partnerIsPrior && parent->Count() < 2) {
    // An only child: nothing to merge with here; an empty one goes.
    if (page->Count() == 0) {
      UnlinkFromLevel(slot, page);
      FreePageInSlot(slot, page);
      RemoveFromParent(slot, path, level);
    }
    return;
  }
  const int partnerIdx = partnerIsPrior ? idx - 1 : idx + 1;
  TPage* partner = GetPageInSlot(slot, parent->Refs[static_cast<size_t>(partnerIdx)], false);
  if (partner->IsLeaf() != page->IsLeaf()) Corrupt();
  if (page->Count() + partner->Count() < capacity) {
    if (partnerIsPrior) {
      page->MoveHeadTo(page->Count(), *partner);
      partner->Header.NextPage = page->Header.NextPage;
      if (page->Header.NextPage != 0) {
        TPage* next = GetPageInSlot(slot, page->Header.NextPage, false);
        next->Header.PriorPage = partner->Offset;
        Touch(next);
        ReleasePage(next);
      }
    } else {
      page->MoveTailTo(0, *partner);
      partner->Header.PriorPage = page->Header.PriorPage;
      if (page->Header.PriorPage != 0) {
        TPage* prior = GetPageInSlot(slot, page->Header.PriorPage, false);
        prior->Header.NextPage = partner->Offset;
        Touch(prior);
        ReleasePage(prior);
      }
      parent->SetKey(partnerIdx, partner->Key(0));
    }
    parent->Counts[static_cast<size_t>(partnerIdx)] = partner->TotalCount();
    Touch(partner);
    Touch(parent);
    FreePageInSlot(slot, page);
    ReleasePage(partner);
    RemoveFromParent(slot, path, level);
    return;
  }
  // Redistribute: the left page takes the larger half when the partner is
  // the prior page, the smaller one when it is the next page.
  TPage* left = partnerIsPrior ? partner : page;
  TPage* right = partnerIsPrior ? page : partner;
  const int leftIdx = partnerIsPrior ? partnerIdx : idx;
  const int total = left->Count() + right->Count();
  const int leftWant = partnerIsPrior ? (total + 1) / 2 : total / 2;
  if (left->Count() > leftWant)
    left->MoveTailTo(leftWant, *right);
  else if (left->Count() < leftWant)
    right->MoveHeadTo(leftWant - left->Count(), *left);
  parent->Counts[static_cast<size_t>(leftIdx)] = left->TotalCount();
  parent->Counts[static_cast<size_t>(leftIdx + 1)] = right->TotalCount();
  parent->SetKey(leftIdx, left->Key(0));
  parent->SetKey(leftIdx + 1, right->Key(0));
  Touch(left);
  Touch(right);
  Touch(parent);
  ReleasePage(partner);
  if (leftIdx == 0) FixParentKeys(path, level - 1);
}

void TIndexFile::DeleteFrom(uint8_t slot, const uint8_t* key) {
  TIndexDescriptor& d = DescriptorOf(slot);
  TDescent descent = Descend(slot, key, TSearchRule::kExact, d.KeyLength);
  if (!descent.Equal) {
    ReleaseDescent(descent, false);
    RaiseEngineError(kErrKeyNotFound, FileName(), {}, {}, IndexDisplayName(slot));
  }
  ++generation_;
  std::vector<TPathStep>& path = descent.Path;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    uint32_t& c = path[i].Page->Counts[static_cast<size_t>(path[i].Entry)];
    if (c == 0) Corrupt();
    --c;
    Touch(path[i].Page);
  }
  const size_t leafLevel = path.size() - 1;
  TPage* leaf = path[leafLevel].Page;
  const int pos = path[leafLevel].Entry;
  leaf->RemoveEntry(pos);
  leaf->RecomputePacked();
  Touch(leaf);
  if (leaf->Count() > 0 && pos == 0) FixParentKeys(path, leafLevel);
  Rebalance(slot, path, leafLevel);
  ReleaseDescent(descent, false);
  ++generation_;
}

// ---------------------------------------------------------------- public forms

void TIndexFile::InsertKeyInSlot(uint8_t slot, const uint8_t* key, uint32_t recNo) {
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return;
  Restartable([&] { InsertInto(slot, key, recNo); });
}

void TIndexFile::DeleteKeyInSlot(uint8_t slot, const uint8_t* key) {
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return;
  Restartable([&] { DeleteFrom(slot, key); });
}

void TIndexFile::ReplaceKeyInSlot(uint8_t slot, const uint8_t* oldKey, const uint8_t* newKey, uint32_t recNo) {
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return;
  Restartable([&] {
    DeleteFrom(slot, oldKey);
    InsertInto(slot, newKey, recNo);
  });
}

void TIndexFile::InsertKey(const uint8_t* key, uint32_t recNo) {
  if (!physical_) InsertKeyInSlot(slot_, key, recNo);
}

void TIndexFile::DeleteKey(const uint8_t* key) {
  if (!physical_) DeleteKeyInSlot(slot_, key);
}

void TIndexFile::ReplaceKey(const uint8_t* oldKey, const uint8_t* newKey, uint32_t recNo) {
  if (!physical_) ReplaceKeyInSlot(slot_, oldKey, newKey, recNo);
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
  SetRoot(slot, level.front().Offset);
  header_.Modified = true;
  ++generation_;
}

}  // namespace tabula
