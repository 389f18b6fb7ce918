// TIndexFile: file, header, locks, index selection, page buffers and key
// comparison. The cursor lives in index_cursor.cpp, the tree changes in
// index_tree.cpp.

#include "engine/index_file.h"

#include <algorithm>
#include <cstring>

#include "engine/engine_error.h"
#include "engine/filter_list.h"
#include "engine/index_checker.h"
#include "engine/locale.h"

namespace tabula {

TIndexFile::TIndexFile(TIndexFileOwner* owner) : owner_(owner), filterList_(std::make_unique<TFilterList>()) {
  filterList_->SetOwner(this);
  filterHook_ = filterList_.get();
  for (auto& list : lists_) list.Limit = 31;
  rangeStart_.assign(kKeyBufferSize, 0x00);
  rangeEnd_.assign(kKeyBufferSize, 0xFF);
}

TIndexFile::~TIndexFile() {
  try {
    if (IsOpen()) CloseIndexFile();
  } catch (...) {
  }
}

std::string TIndexFile::ResolveName(const std::string& name) {
  size_t sep = name.find_last_of("/\\");
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && (sep == std::string::npos || dot > sep)) return name.substr(0, dot) + ".IDX";
  return name + ".IDX";
}

void TIndexFile::Corrupt() const { RaiseEngineError(kErrIndexPagesCorrupt, FileName()); }

// ---------------------------------------------------------------- file

void TIndexFile::CreateIndexFile() {
  CreateNewFile();
  header_ = TIndexHeader::NewFile();
  header_.ChangeCounter = 0;
  InvalidateKeyLayouts();
  // The counter is incremented by the write, so a new file starts at 1.
  WriteHeader(true);
}

void TIndexFile::DefineIndex(uint8_t slot, const TIndexDescriptor& descriptor) {
  if (slot >= kIndexSlotCount) RaiseEngineError(kErrIndexLimits, FileName());
  TIndexDescriptor d = descriptor;
  d.RootPage = 0;
  d.FreePage = 0;
  DescriptorOf(slot) = d;
  if (slot >= 1 && slot <= kMaxSecondaryIndexes && slot > header_.SecondaryCount) header_.SecondaryCount = slot;
  header_.Modified = true;
  InvalidateKeyLayouts();
}

void TIndexFile::SetNoPrimaryIndex(bool value) {
  header_.NoPrimaryIndex = value ? 1 : 0;
  header_.Modified = true;
}

void TIndexFile::OpenIndexFile(bool positionOnFirst, bool keepDamagedHeader) {
  OpenFile();
  try {
    ReadHeader();
    if (header_.Version != kIndexFormatVersion) RaiseEngineError(kErrVersion, FileName());
    // A damaged header must not send the tree code outside its buffers.
    headerFaults_ = CheckIndexHeader(header_, QueryFileSize(), owner_);
    if (!headerFaults_.empty() && !keepDamagedHeader) Corrupt();
  } catch (...) {
    TFileHandler::CloseFile();
    throw;
  }
  if (!headerFaults_.empty()) {
    // Opened for a check: the header is there to be reported, not used.
    ResetCursorState();
    return;
  }
  ResetCursorState();
  rangeActive_ = false;
  rangeStart_.assign(kKeyBufferSize, 0x00);
  rangeEnd_.assign(kKeyBufferSize, 0xFF);
  rangeFirst_ = 1;
  rangeLast_ = header_.LiveRecordCount;
  pageReads_ = 0;
  slot_ = 0;
  physical_ = header_.NoPrimaryIndex != 0;
  bitmapMode_ = false;
  UpdateBitmapMode();
  if (positionOnFirst) FirstKey();
}

void TIndexFile::SetFilterHook(TIndexFilterHook* hook) { filterHook_ = hook != nullptr ? hook : filterList_.get(); }

void TIndexFile::CloseIndexFile() {
  // The table's filters live as long as the open table.
  filterList_->Clear();
  pinnedPages_.clear();
  for (auto& list : lists_) {
    list.ByOffset.clear();
    list.Pages.clear();
    list.Limit = 31;
  }
  ResetCursorState();
  rangeBitmap_.Reset(0);
  live_.Reset(0);
  visible_.Reset(0);
  visibleCount_ = 0;
  rangeActive_ = false;
  rangeFirst_ = rangeLast_ = 0;
  bitmapMode_ = false;
  sharedLock_.Reset();
  exclusiveLock_.Reset();
  ++generation_;
  TFileHandler::CloseFile();
}

void TIndexFile::CloseFile() {
  if (IsOpen()) {
    CloseIndexFile();
    return;
  }
  TFileHandler::CloseFile();
}

void TIndexFile::ReadHeader() {
  std::array<uint8_t, kIndexHeaderSize> block{};
  SeekFile(0, kSeekStart);
  ReadBytes(block.data(), kIndexHeaderSize, false);
  if (owner_ && owner_->Encrypted()) owner_->DecipherBlock(block.data(), block.size());
  header_.Unpack(block.data());
  InvalidateKeyLayouts();
}

void TIndexFile::WriteHeader(bool force) {
  if (!force && !header_.Modified) return;
  ++header_.ChangeCounter;
  std::array<uint8_t, kIndexHeaderSize> block{};
  header_.Pack(block.data());
  header_.Raw = block;  // the plain bytes, as the next write starts from them
  if (owner_ && owner_->Encrypted()) owner_->EncipherBlock(block.data(), block.size());
  SeekFile(0, kSeekStart);
  WriteBytes(block.data(), kIndexHeaderSize);
  header_.Modified = false;
}

bool TIndexFile::HeaderChanged() {
  uint8_t counter[4];
  SeekFile(0, kSeekStart);
  ReadBytes(counter, 4, false);
  if (owner_ && owner_->Encrypted()) owner_->DecipherBlock(counter, 4);
  if (LoadU32(counter) == header_.ChangeCounter) return false;
  // Another program wrote the file: the buffered pages are stale.
  DiscardPages();
  ReadHeader();
  if (!CheckIndexHeader(header_, QueryFileSize(), owner_).empty()) Corrupt();
  return true;
}

void TIndexFile::AdjustLiveRecordCount(int32_t delta) {
  header_.LiveRecordCount += delta;
  header_.Modified = true;
  if (!rangeActive_) rangeLast_ = header_.LiveRecordCount;
}

bool TIndexFile::SlotKeepsKeys(uint8_t slot) const {
  if (slot == kPrimarySlot || slot == kSysDeletedSlot) return header_.NoPrimaryIndex == 0;
  return slot >= 1 && slot <= header_.SecondaryCount;
}

std::string TIndexFile::IndexDisplayName(uint8_t slot) const {
  if (slot == kPrimarySlot) return "Primary";
  return DescriptorOf(slot).Name;
}

// ---------------------------------------------------------------- locks

bool TIndexFile::LockTableShared() { return sharedLock_.Lock(*this); }
bool TIndexFile::UnlockTableShared() { return sharedLock_.Unlock(*this); }
bool TIndexFile::LockTableExclusive() { return exclusiveLock_.Lock(*this); }
bool TIndexFile::UnlockTableExclusive() { return exclusiveLock_.Unlock(*this); }

// ---------------------------------------------------------------- selection

void TIndexFile::SelectIndexSlot(uint8_t slot) {
  if (slot != kPhysicalOrderSlot && slot >= kIndexSlotCount) RaiseEngineError(kErrInvalidIndexName, FileName());
  bool changed = slot != slot_;
  slot_ = slot;
  physical_ = slot == kPhysicalOrderSlot || (slot == kPrimarySlot && header_.NoPrimaryIndex != 0);
  if (changed) {
    // The cursor's entry belongs to the old index; the data file repositions.
    if (cursor_.Page) ReleasePage(cursor_.Page);
    cursor_.Page = nullptr;
    cursor_.Generation = 0;
    ++generation_;
    if (rangeActive_ || physical_) {
      rangeActive_ = false;
      rangeStart_.assign(kKeyBufferSize, 0x00);
      rangeEnd_.assign(kKeyBufferSize, 0xFF);
      rangeFirst_ = 1;
      rangeLast_ = header_.LiveRecordCount;
    }
  }
  UpdateBitmapMode();
}

void TIndexFile::SelectIndexByName(const std::string& name) {
  uint16_t lang = owner_ ? owner_->LanguageId() : 0;
  uint16_t sort = owner_ ? owner_->SortId() : 0;
  auto same = [&](const std::string& a, const std::string& b) {
    return CompareStrings(lang, sort, a, true, 0, b) == 0;
  };
  if (slot_ != kPhysicalOrderSlot && slot_ < kIndexSlotCount && same(name, CurrentIndexName())) return;
  SelectIndexSlot(kPrimarySlot);
  if (name.empty()) return;
  for (uint8_t s = 1; s <= header_.SecondaryCount; ++s) {
    if (same(name, header_.Descriptors[s].Name)) {
      SelectIndexSlot(s);
      return;
    }
  }
}

int TIndexFile::KeyLength() const {
  if (physical_) return 4;
  return DescriptorOf(slot_).KeyLength;
}

// ---------------------------------------------------------------- pages

TPage::TLayout TIndexFile::LayoutOf(uint8_t slot) const {
  const TIndexDescriptor& d = DescriptorOf(slot);
  TPage::TLayout layout;
  layout.Slot = slot;
  layout.KeyLength = d.KeyLength;
  layout.Compression = slot == kSysDeletedSlot ? static_cast<uint8_t>(kCompressNone) : d.Compression;
  layout.Unique = d.Unique || slot == kPrimarySlot;
  layout.Descending = d.Descending;
  layout.SuffixKeys = HasKeySuffix(slot, d);
  return layout;
}

void TIndexFile::TPageList::Register(TPages::iterator it, uint32_t offset) {
  TPage* page = it->get();
  if (page->RegisteredOffset == offset && ByOffset.count(offset) != 0) return;
  Unregister(page);
  if (auto taken = ByOffset.find(offset); taken != ByOffset.end()) (*taken->second)->RegisteredOffset = 0;
  ByOffset[offset] = it;
  page->RegisteredOffset = offset;
}

void TIndexFile::TPageList::Unregister(TPage* page) {
  if (page->RegisteredOffset == 0) return;
  auto known = ByOffset.find(page->RegisteredOffset);
  if (known != ByOffset.end() && known->second->get() == page) ByOffset.erase(known);
  page->RegisteredOffset = 0;
}

void TIndexFile::Pin(TPage* page) {
  if (page->Pins >= 64) Corrupt();
  ++page->Pins;
  if (!page->ListedPinned) {
    page->ListedPinned = true;
    pinnedPages_.push_back(page);
  }
}


void TIndexFile::ReleasePage(TPage* page) {
  if (page && page->Pins > 0) --page->Pins;
}

void TIndexFile::ReadRawBlock(uint32_t offset, uint8_t* block) {
  if (offset == 0 || offset % kIndexPageSize != 0 || offset >= static_cast<uint32_t>(header_.EndOfFile)) Corrupt();
  SeekFile(static_cast<int32_t>(offset), kSeekStart);
  ReadBytes(block, kIndexPageSize, false);
  ++pageReads_;
  if (owner_ && owner_->Encrypted()) owner_->DecipherBlock(block, kIndexPageSize);
}

void TIndexFile::WritePage(TPage* page) {
  ioBuffer_.assign(kIndexPageSize, 0);
  page->Pack(ioBuffer_.data(), FileName());
  if (owner_ && owner_->Encrypted()) owner_->EncipherBlock(ioBuffer_.data(), kIndexPageSize);
  SeekFile(static_cast<int32_t>(page->Offset), kSeekStart);
  WriteBytes(ioBuffer_.data(), kIndexPageSize);
  page->Dirty = false;
}

TPage* TIndexFile::ObtainPageObject(uint8_t slot) {
  TPageList& list = ListOf(slot);
  if (list.Pages.size() < list.Limit) {
    list.Pages.push_front(std::make_unique<TPage>(this));
    return list.Pages.front().get();
  }
  auto reuse = [&](std::list<std::unique_ptr<TPage>>::iterator it) {
    TPage* page = it->get();
    if (cursor_.Page == page) cursor_.Page = nullptr;
    page->Reset();
    list.Pages.splice(list.Pages.begin(), list.Pages, it);
    return page;
  };
  for (auto it = list.Pages.end(); it != list.Pages.begin();) {
    --it;
    if (!(*it)->Dirty && (*it)->Pins == 0) return reuse(it);
  }
  bool tableLock = owner_ && owner_->HoldsTableLock();
  if (!tableLock) {
    for (auto it = list.Pages.end(); it != list.Pages.begin();) {
      --it;
      if ((*it)->Dirty && (*it)->Pins == 0) {
        WritePage(it->get());
        return reuse(it);
      }
    }
    Corrupt();
  }
  list.Limit += 64;
  list.Pages.push_front(std::make_unique<TPage>(this));
  return list.Pages.front().get();
}

TPage* TIndexFile::GetPageInSlot(uint8_t slot, uint32_t offset, bool newPage) {
  if (offset == 0) Corrupt();
  TPageList& list = ListOf(slot);
  if (offset == static_cast<uint32_t>(header_.EndOfFile)) {
    if (header_.EndOfFile > kMaxIndexFileEnd) RaiseEngineError(kErrFileFull, FileName());
    TPage* page = ObtainPageObject(slot);
    page->Configure(LayoutOf(slot));
    page->Offset = offset;
    list.Register(list.Pages.begin(), offset);
    Pin(page);
    header_.EndOfFile += kIndexPageSize;
    header_.Modified = true;
    return page;
  }
  auto it = list.Pages.end();
  if (auto known = list.ByOffset.find(offset); known != list.ByOffset.end() && (*known->second)->Offset == offset) {
    it = known->second;
  } else {
    it = std::find_if(list.Pages.begin(), list.Pages.end(), [offset](const auto& p) { return p->Offset == offset; });
    if (it != list.Pages.end()) list.Register(it, offset);
  }
  if (it != list.Pages.end()) {
    TPage* page = it->get();
    Pin(page);
    if (it != list.Pages.begin()) list.Pages.splice(list.Pages.begin(), list.Pages, it);
    return page;
  }
  if (owner_ && !owner_->HoldsSharedLock()) {
    uint64_t before = generation_;
    if (owner_->LockAndCheckForChanges()) {
      if (generation_ == before) DiscardPages();
      throw TRestart{};
    }
  }
  std::array<uint8_t, kIndexPageSize> block{};
  ReadRawBlock(offset, block.data());
  TPage* page = ObtainPageObject(slot);
  page->Configure(LayoutOf(slot));
  try {
    page->Expand(block.data(), !newPage, FileName());
    // A leaf entry names a record slot of the data file: 0 or a number past
    // its last slot is a damaged entry, never a record to read.
    if (owner_ && !newPage && page->IsLeaf()) {
      const int64_t slots = owner_->RecordSlotCount();
      for (uint32_t ref : page->Refs)
        if (ref == 0 || int64_t(ref) > slots) Corrupt();
    }
  } catch (...) {
    page->Reset();
    throw;
  }
  page->Offset = offset;
  Pin(page);
  return page;
}

TPage* TIndexFile::GetPage(uint32_t offset, bool newPage, bool& ok) {
  ok = true;
  if (offset == 0) {
    ok = false;
    return nullptr;
  }
  try {
    return GetPageInSlot(slot_, offset, newPage);
  } catch (const TRestart&) {
    ok = false;
    return nullptr;
  }
}

TPage* TIndexFile::AllocatePageInSlot(uint8_t slot) {
  TIndexDescriptor& d = DescriptorOf(slot);
  TPage* page;
  if (d.FreePage != 0) {
    uint32_t head = d.FreePage;
    // A page that is buffered with entries is on a tree, not free: the list is damaged.
    for (auto& p : ListOf(slot).Pages)
      if (p->Offset == head && !p->Free && p->Count() > 0) Corrupt();
    page = GetPageInSlot(slot, head, true);
    if (!page->Free && page->Header.KeyCount != 0) {
      ReleasePage(page);
      Corrupt();
    }
    d.FreePage = page->Header.NextPage;
  } else {
    page = GetPageInSlot(slot, static_cast<uint32_t>(header_.EndOfFile), true);
  }
  uint32_t offset = page->Offset;
  uint16_t pins = page->Pins;
  page->Configure(LayoutOf(slot));
  page->Offset = offset;
  page->Pins = pins;
  page->Dirty = true;
  header_.Modified = true;
  ++generation_;
  return page;
}

TPage* TIndexFile::AllocatePage() { return AllocatePageInSlot(slot_); }

void TIndexFile::FreePageInSlot(uint8_t slot, TPage* page) {
  TIndexDescriptor& d = DescriptorOf(slot);
  page->Keys.clear();
  page->Refs.clear();
  page->Counts.clear();
  page->Prefix.clear();
  page->Tail.clear();
  page->Header.KeyCount = 0;
  page->Header.PackedSize = 0;
  page->Header.PriorPage = 0;
  page->Header.NextPage = d.FreePage;
  page->Free = true;
  page->Dirty = true;
  d.FreePage = page->Offset;
  header_.Modified = true;
  ++generation_;
}

void TIndexFile::FreePage(TPage* page) { FreePageInSlot(slot_, page); }

bool TIndexFile::FlushPages() {
  std::vector<TPage*> dirty;
  for (auto& list : lists_)
    for (auto& p : list.Pages)
      if (p->Dirty && p->Pins == 0 && p->Offset != 0) dirty.push_back(p.get());
  if (dirty.empty()) return false;
  std::sort(dirty.begin(), dirty.end(), [](TPage* a, TPage* b) { return a->Offset < b->Offset; });
  size_t i = 0;
  while (i < dirty.size()) {
    size_t j = i + 1;
    while (j < dirty.size() && dirty[j]->Offset == dirty[j - 1]->Offset + kIndexPageSize) ++j;
    ioBuffer_.assign((j - i) * kIndexPageSize, 0);
    for (size_t k = i; k < j; ++k) {
      uint8_t* block = ioBuffer_.data() + (k - i) * kIndexPageSize;
      dirty[k]->Pack(block, FileName());
      if (owner_ && owner_->Encrypted()) owner_->EncipherBlock(block, kIndexPageSize);
    }
    SeekFile(static_cast<int32_t>(dirty[i]->Offset), kSeekStart);
    WriteBytes(ioBuffer_.data(), static_cast<int32_t>(ioBuffer_.size()));
    for (size_t k = i; k < j; ++k) dirty[k]->Dirty = false;
    i = j;
  }
  return true;
}

void TIndexFile::DiscardPages() {
  for (auto& list : lists_)
    for (auto& p : list.Pages) p->Reset();
  cursor_.Page = nullptr;
  cursor_.Generation = 0;
  ++generation_;
}

// Only pages pinned since the last call can hold pins: every pin goes
// through Pin.
void TIndexFile::UnpinPages() {
  for (TPage* page : pinnedPages_) {
    page->Pins = 0;
    page->ListedPinned = false;
  }
  pinnedPages_.clear();
}

void TIndexFile::TrimPageBuffers() {
  for (auto& list : lists_) {
    while (list.Pages.size() > 31) {
      TPage* page = list.Pages.back().get();
      // Changes still buffered are written rather than lost.
      if (page->Dirty && page->Offset != 0) WritePage(page);
      if (cursor_.Page == page) cursor_.Page = nullptr;
      if (page->ListedPinned) std::erase(pinnedPages_, page);
      list.Unregister(page);
      list.Pages.pop_back();
    }
    list.Limit = 31;
  }
}

void TIndexFile::ReadPageForCheck(uint8_t slot, uint32_t offset, TPage& out) {
  for (auto& p : ListOf(slot).Pages) {
    if (p->Offset == offset) {
      out.Offset = p->Offset;
      out.Header = p->Header;
      out.Layout = p->Layout;
      out.Keys = p->Keys;
      out.Refs = p->Refs;
      out.Counts = p->Counts;
      out.Prefix = p->Prefix;
      out.Tail = p->Tail;
      out.Free = p->Free;
      out.StoredPackedSize = p->Header.PackedSize;
      out.Header.KeyCount = static_cast<uint16_t>(p->Free ? 0 : p->Count());
      return;
    }
  }
  std::array<uint8_t, kIndexPageSize> block{};
  ReadRawBlock(offset, block.data());
  out.Reset();
  out.Configure(LayoutOf(slot));
  out.Expand(block.data(), true, FileName());
  out.Offset = offset;
}

// ---------------------------------------------------------------- keys

void TIndexFile::InvalidateKeyLayouts() {
  for (auto& loaded : keyLayoutLoaded_) loaded = false;
}

const TKeyLayout& TIndexFile::KeyLayoutOf(uint8_t slot) const {
  slot &= 31;
  TKeyLayout& layout = keyLayouts_[slot];
  if (keyLayoutLoaded_[slot]) return layout;
  layout = TKeyLayout{};
  layout.BytesOnly = slot == kSysDeletedSlot;
  uint16_t lang = owner_ ? owner_->LanguageId() : 0;
  if (!layout.BytesOnly && lang != 0) {
    layout.Driver = TLanguageDriver::Find(lang, owner_->SortId());
    const TIndexDescriptor& d = DescriptorOf(slot);
    int fields = std::min<int>(d.FieldCount, kMaxKeyFields);
    for (int i = 0; i < fields; ++i) {
      TKeyFieldInfo info;
      if (!owner_->GetKeyFieldInfo(d.FieldNumbers[i], info)) {
        // Without the field's type the locale order cannot be applied.
        layout.Fields.clear();
        layout.Driver = nullptr;
        break;
      }
      TKeyField f;
      f.FieldType = info.FieldType;
      f.Width = info.DataSize;
      f.Descending = d.FieldDescending[i];
      layout.Fields.push_back(f);
    }
  }
  keyLayoutLoaded_[slot] = true;
  return layout;
}

int TIndexFile::CompareInSlot(uint8_t slot, const uint8_t* a, const uint8_t* b, int length) const {
  const TKeyLayout& layout = KeyLayoutOf(slot);
  bool descending = DescriptorOf(slot).Descending;
  if (!layout.Driver) return CompareKeyBytes(a, b, static_cast<size_t>(length), descending);
  return tabula::CompareKeys(layout, a, b, static_cast<size_t>(length), descending);
}

int TIndexFile::CompareKeys(const uint8_t* a, const uint8_t* b, const TIndexDescriptor* desc, bool descending,
                            int length) const {
  int slot = slot_ == kPhysicalOrderSlot ? 0 : slot_;
  if (desc) {
    slot = -1;
    for (int s = 0; s < kIndexSlotCount; ++s)
      if (desc == &header_.Descriptors[s]) slot = s;
    if (slot < 0) {
      // A descriptor that is not one of this file's: build its layout now.
      TKeyLayout layout;
      uint16_t lang = owner_ ? owner_->LanguageId() : 0;
      if (lang != 0) {
        layout.Driver = TLanguageDriver::Find(lang, owner_->SortId());
        for (int i = 0; i < std::min<int>(desc->FieldCount, kMaxKeyFields); ++i) {
          TKeyFieldInfo info;
          if (!owner_->GetKeyFieldInfo(desc->FieldNumbers[i], info)) {
            layout.Driver = nullptr;
            break;
          }
          layout.Fields.push_back(TKeyField{info.FieldType, info.DataSize, desc->FieldDescending[i]});
        }
      }
      if (!layout.Driver) return CompareKeyBytes(a, b, static_cast<size_t>(length), descending);
      return tabula::CompareKeys(layout, a, b, static_cast<size_t>(length), descending);
    }
  }
  const TKeyLayout& layout = KeyLayoutOf(static_cast<uint8_t>(slot));
  if (!layout.Driver) return CompareKeyBytes(a, b, static_cast<size_t>(length), descending);
  return tabula::CompareKeys(layout, a, b, static_cast<size_t>(length), descending);
}

int TIndexFile::CompareKeys(const uint8_t* a, const uint8_t* b) const {
  uint8_t slot = slot_ == kPhysicalOrderSlot ? 0 : slot_;
  return CompareInSlot(slot, a, b, DescriptorOf(slot).KeyLength);
}

}  // namespace tabula
