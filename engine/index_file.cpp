// TIndexFile: file, header, locks, index selection, page loads into the
// pool and key comparison. Key maintenance, the scans for filters and the
// bulk load are in index_file_keys.cpp; the parts in index_page_pool.cpp,
// index_tree.cpp and index_cursor.cpp.

#include "engine/index_file.h"

#include <algorithm>
#include <cstring>

#include "tabula/engine_error.h"
#include "engine/index_checker.h"
#include "tabula/locale.h"

namespace tabula {

TIndexFile::TIndexFile(TIndexFileOwner* owner) : owner_(owner), pool_(this), cursor_(*this, *this) {}

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
    cursor_.Close();
    return;
  }
  pageReads_ = 0;
  pool_.SetBaseLimit(ReadOnly() ? TPagePool::kReadOnlyLimit : TPagePool::kDefaultLimit);
  pool_.SetTotalLimit(ReadOnly() ? TPagePool::kReadOnlyTotal : 0, TPagePool::kReadOnlyShare);
  cursor_.Open(header_.NoPrimaryIndex != 0);
  if (positionOnFirst) FirstKey();
}

void TIndexFile::CloseIndexFile() {
  pool_.Clear();
  cursor_.Close();
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
  ReadAt(0, counter, 4, false);
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
  cursor_.LiveCountChanged(header_.LiveRecordCount);
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
  if (slot != cursor_.Slot()) ++generation_;
  cursor_.Select(slot, slot == kPhysicalOrderSlot || (slot == kPrimarySlot && header_.NoPrimaryIndex != 0));
}

void TIndexFile::SelectIndexByName(const std::string& name) {
  uint16_t lang = owner_ ? owner_->LanguageId() : 0;
  uint16_t sort = owner_ ? owner_->SortId() : 0;
  auto same = [&](const std::string& a, const std::string& b) {
    return CompareStrings(lang, sort, a, true, 0, b) == 0;
  };
  const uint8_t current = cursor_.Slot();
  if (current != kPhysicalOrderSlot && current < kIndexSlotCount && same(name, CurrentIndexName())) return;
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
  if (cursor_.Physical()) return 4;
  return DescriptorOf(cursor_.Slot()).KeyLength;
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

void TIndexFile::ReadRawBlock(uint32_t offset, uint8_t* block) {
  if (offset == 0 || offset % kIndexPageSize != 0 || offset >= static_cast<uint32_t>(header_.EndOfFile)) Corrupt();
  ReadAt(offset, block, kIndexPageSize, false);
  ++pageReads_;
  if (owner_ && owner_->Encrypted()) owner_->DecipherBlock(block, kIndexPageSize);
}

void TIndexFile::WritePage(TPage& page) {
  ioBuffer_.assign(kIndexPageSize, 0);
  page.Pack(ioBuffer_.data(), FileName());
  if (owner_ && owner_->Encrypted()) owner_->EncipherBlock(ioBuffer_.data(), kIndexPageSize);
  SeekFile(static_cast<int32_t>(page.Offset), kSeekStart);
  WriteBytes(ioBuffer_.data(), kIndexPageSize);
  page.Dirty = false;
}

TPage* TIndexFile::ObtainBuffer(uint8_t slot) {
  // Under the table lock changes stay buffered until the commit: the list
  // grows instead of writing.
  const bool tableLock = owner_ && owner_->HoldsTableLock();
  TPage* page = pool_.Obtain(slot, tableLock, [this](TPage& p) { WritePage(p); });
  if (!page) Corrupt();  // every buffer pinned
  page->Configure(LayoutOf(slot));
  return page;
}

TPagePin TIndexFile::LoadPage(uint8_t slot, uint32_t offset, bool newPage) {
  if (offset == 0) Corrupt();
  if (offset == static_cast<uint32_t>(header_.EndOfFile)) {
    if (header_.EndOfFile > kMaxIndexFileEnd) RaiseEngineError(kErrFileFull, FileName());
    TPage* page = ObtainBuffer(slot);
    pool_.Register(slot, page, offset);
    header_.EndOfFile += kIndexPageSize;
    header_.Modified = true;
    return TPagePin::Of(page);
  }
  if (TPagePin buffered = pool_.Find(slot, offset)) return buffered;
  if (owner_ && !owner_->HoldsSharedLock()) {
    const uint64_t before = generation_;
    if (owner_->LockAndCheckForChanges()) {
      if (generation_ == before) DiscardPages();
      throw TFilesChanged{};
    }
  }
  std::array<uint8_t, kIndexPageSize> block{};
  ReadRawBlock(offset, block.data());
  TPage* page = ObtainBuffer(slot);
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
  pool_.Register(slot, page, offset);
  return TPagePin::Of(page);
}

TPagePin TIndexFile::AllocateTreePage(uint8_t slot) {
  TIndexDescriptor& d = DescriptorOf(slot);
  TPagePin page;
  if (d.FreePage != 0) {
    const uint32_t head = d.FreePage;
    // A page that is buffered with entries is on a tree, not free: the list is damaged.
    if (const TPage* held = pool_.Peek(slot, head); held && !held->Free && held->Count() > 0) Corrupt();
    page = LoadPage(slot, head, true);
    if (!page->Free && page->Header.KeyCount != 0) Corrupt();
    d.FreePage = page->Header.NextPage;
  } else {
    page = LoadPage(slot, static_cast<uint32_t>(header_.EndOfFile), true);
  }
  page->Configure(LayoutOf(slot));
  page->Dirty = true;
  header_.Modified = true;
  ++generation_;
  return page;
}

TPagePin TIndexFile::AllocatePage() {
  TPagePin page;
  RunOperation([&] { page = AllocateTreePage(cursor_.Slot()); });
  return page;
}

void TIndexFile::FreeTreePage(uint8_t slot, TPage& page) {
  TIndexDescriptor& d = DescriptorOf(slot);
  page.Keys.clear();
  page.Refs.clear();
  page.Counts.clear();
  page.Prefix.clear();
  page.Tail.clear();
  page.Header.KeyCount = 0;
  page.Header.PackedSize = 0;
  page.Header.PriorPage = 0;
  page.Header.NextPage = d.FreePage;
  page.Free = true;
  page.Dirty = true;
  d.FreePage = page.Offset;
  header_.Modified = true;
  ++generation_;
}

void TIndexFile::SetTreeRoot(uint8_t slot, uint32_t offset) {
  DescriptorOf(slot).RootPage = offset;
  header_.Modified = true;
}

bool TIndexFile::FlushPages() {
  std::vector<TPage*> dirty = pool_.DirtyPages();
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
  pool_.Discard();
  ++generation_;
}

void TIndexFile::TrimPageBuffers() {
  pool_.Trim([this](TPage& p) { WritePage(p); });
}

void TIndexFile::ReadPageForCheck(uint8_t slot, uint32_t offset, TPage& out) {
  if (const TPage* p = pool_.Peek(slot, offset)) {
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
  std::array<uint8_t, kIndexPageSize> block{};
  ReadRawBlock(offset, block.data());
  out.Reset();
  out.Configure(LayoutOf(slot));
  out.Expand(block.data(), true, FileName());
  out.Offset = offset;
}

// ---------------------------------------------------------------- operations

void TIndexFile::RestartRunningOperation() {
  if (inOperation_) throw TFilesChanged{};
}

int64_t TIndexFile::UncheckedTreeTotal(uint8_t slot) {
  const size_t s = SlotIndex(slot);
  if (totalVerified_[s] == generation_ || !SlotKeepsKeys(uint8_t(s))) return -1;
  if (s != kSysDeletedSlot && DescriptorOf(slot).IsEmpty()) return -1;  // no index in this slot
  // A kept index holds a key for every live record; "Sys Deleted" one for
  // every record slot.
  if (s == kSysDeletedSlot) return owner_ ? owner_->RecordSlotCount() : -1;
  return header_.LiveRecordCount;
}

// ---------------------------------------------------------------- keys

void TIndexFile::InvalidateKeyLayouts() {
  for (auto& loaded : keyLayoutLoaded_) loaded = false;
}

const TKeyLayout& TIndexFile::KeyLayoutOf(uint8_t slot) const {
  slot = uint8_t(SlotIndex(slot));
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
  int slot = cursor_.Slot() == kPhysicalOrderSlot ? 0 : cursor_.Slot();
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
  uint8_t slot = cursor_.Slot() == kPhysicalOrderSlot ? 0 : cursor_.Slot();
  return CompareInSlot(slot, a, b, DescriptorOf(slot).KeyLength);
}

}  // namespace tabula
