#include "engine/index_checker.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "engine/key_builder.h"

namespace tabula {

namespace {

class TChecker {
 public:
  TChecker(TIndexFile& file, const TIndexCheckOptions& options) : file_(file), options_(options) {}

  std::vector<std::string> Run() {
    const TIndexHeader& h = file_.Header();
    // Changes still buffered may have appended pages the file does not hold yet.
    const int64_t fileSize = h.Modified ? -1 : int64_t(file_.QueryFileSize());
    faults_ = CheckIndexHeader(h, fileSize, file_.Owner());
    // Trees described by a damaged header cannot be walked soundly.
    if (!faults_.empty()) return faults_;
    for (int s = 0; s < kIndexSlotCount; ++s) {
      const uint8_t slot = static_cast<uint8_t>(s);
      const TIndexDescriptor& d = h.Descriptors[s];
      if (!file_.SlotKeepsKeys(slot) && d.RootPage == 0 && d.FreePage == 0) continue;
      name_ = s == 0 ? std::string("Primary") : d.Name;
      if (!file_.SlotKeepsKeys(slot) && d.RootPage != 0) Fault("header", "tree in a slot that keeps no keys");
      int64_t total = 0;
      sysKeys_.clear();
      if (d.RootPage != 0 && d.KeyLength >= 1 && d.KeyLength <= kKeyBufferSize) total = CheckTree(slot);
      CheckFreeList(slot);
      if (!file_.SlotKeepsKeys(slot)) continue;
      if (slot == kSysDeletedSlot) {
        CheckSysDeleted(total);
      } else if (options_.CheckLiveCount && total != h.LiveRecordCount) {
        Fault("header", "index holds " + std::to_string(total) + " keys, live record count is " +
                            std::to_string(h.LiveRecordCount));
      }
    }
    return faults_;
  }

 private:
  struct TLevelPage {
    uint32_t Offset;
    uint32_t Prior;
    uint32_t Next;
  };

  void Fault(const std::string& where, const std::string& text) {
    faults_.push_back("index " + name_ + ": " + where + ": " + text);
  }
  static std::string PageName(uint32_t offset) { return "page " + std::to_string(offset); }

  bool ValidOffset(uint32_t offset) const {
    return offset != 0 && offset % kIndexPageSize == 0 &&
           offset < static_cast<uint32_t>(file_.Header().EndOfFile);
  }

  bool Load(uint8_t slot, uint32_t offset, TPage& page) {
    try {
      file_.ReadPageForCheck(slot, offset, page);
      return true;
    } catch (const ETabulaEngineError&) {
      Fault(PageName(offset), "cannot be read or decoded");
      return false;
    }
  }

  int64_t CheckTree(uint8_t slot) {
    const TIndexDescriptor& d = file_.Header().Descriptors[slot];
    levels_.clear();
    leafDepth_ = -1;
    havePrev_ = false;
    std::vector<uint8_t> firstKey;
    int64_t total = Visit(slot, d.RootPage, 0, true, firstKey);
    for (size_t depth = 0; depth < levels_.size(); ++depth) {
      const auto& pages = levels_[depth];
      for (size_t i = 0; i < pages.size(); ++i) {
        uint32_t prior = i > 0 ? pages[i - 1].Offset : 0;
        uint32_t next = i + 1 < pages.size() ? pages[i + 1].Offset : 0;
        if (pages[i].Prior != prior)
          Fault(PageName(pages[i].Offset), "prior link " + std::to_string(pages[i].Prior) + ", expected " +
                                               std::to_string(prior));
        if (pages[i].Next != next)
          Fault(PageName(pages[i].Offset), "next link " + std::to_string(pages[i].Next) + ", expected " +
                                               std::to_string(next));
      }
    }
    return total;
  }

  // Returns the number of leaf entries below the page; firstKey receives its first key.
  int64_t Visit(uint8_t slot, uint32_t offset, int depth, bool isRoot, std::vector<uint8_t>& firstKey) {
    firstKey.clear();
    const TIndexDescriptor& d = file_.Header().Descriptors[slot];
    const int length = d.KeyLength;
    if (!ValidOffset(offset)) {
      Fault(PageName(offset), "offset outside the file or not on a page boundary");
      return 0;
    }
    if (!used_.insert(offset).second) {
      Fault(PageName(offset), "used more than once");
      return 0;
    }
    if (depth > 32) {
      Fault(PageName(offset), "tree deeper than 32 levels");
      return 0;
    }
    TPage page(&file_);
    if (!Load(slot, offset, page)) return 0;
    if (page.Free) Fault(PageName(offset), "is a free page");
    const uint8_t type = page.Header.PageType;
    if (isRoot && type != kPageRootNode && type != kPageRootLeaf) Fault(PageName(offset), "root with type " + std::to_string(type));
    if (!isRoot && type != kPageNode && type != kPageLeaf) Fault(PageName(offset), "non-root page with type " + std::to_string(type));
    if (levels_.size() <= static_cast<size_t>(depth)) levels_.resize(static_cast<size_t>(depth) + 1);
    levels_[static_cast<size_t>(depth)].push_back(TLevelPage{offset, page.Header.PriorPage, page.Header.NextPage});
    const int n = page.Count();
    if (n == 0) {
      Fault(PageName(offset), "has no entries");
      return 0;
    }
    for (int i = 1; i < n; ++i)
      if (file_.CompareKeys(page.Key(i - 1), page.Key(i), &d, d.Descending, length) >= 0)
        Fault(PageName(offset), "entries " + std::to_string(i) + " and " + std::to_string(i + 1) + " out of order");
    firstKey.assign(page.Key(0), page.Key(0) + length);
    if (page.IsLeaf()) {
      if (leafDepth_ < 0) leafDepth_ = depth;
      if (depth != leafDepth_) Fault(PageName(offset), "leaf at depth " + std::to_string(depth) + ", others at " + std::to_string(leafDepth_));
      if (page.Layout.Compression == kCompressNone) {
        if (n > LeafCapacity(length)) Fault(PageName(offset), "leaf holds " + std::to_string(n) + " entries, capacity " + std::to_string(LeafCapacity(length)));
      } else {
        uint16_t stored = page.StoredPackedSize;
        int sum = 0;
        for (int i = 0; i < n; ++i) sum += page.StoredEntrySize(i);
        if (stored != sum) Fault(PageName(offset), "packed size " + std::to_string(stored) + ", entries take " + std::to_string(sum));
        if (sum > kPageEntryBytes) Fault(PageName(offset), "entries take " + std::to_string(sum) + " bytes");
        if (page.Prefix[0] != 0) Fault(PageName(offset), "first entry shares a prefix");
      }
      for (int i = 0; i < n; ++i) {
        if (havePrev_ && file_.CompareKeys(prevKey_.data(), page.Key(i), &d, d.Descending, length) >= 0)
          Fault(PageName(offset), "entry " + std::to_string(i + 1) + " not above the previous leaf's last key");
        prevKey_.assign(page.Key(i), page.Key(i) + length);
        havePrev_ = true;
        uint32_t rec = page.Refs[static_cast<size_t>(i)];
        if (rec == 0 || (options_.RecordSlots >= 0 && rec > static_cast<uint32_t>(options_.RecordSlots)))
          Fault(PageName(offset), "entry " + std::to_string(i + 1) + " names record " + std::to_string(rec));
        if (slot == kSysDeletedSlot) sysKeys_.emplace_back(prevKey_, rec);
      }
      return n;
    }
    if (page.Layout.KeyLength > 0 && n > NodeCapacity(length))
      Fault(PageName(offset), "node holds " + std::to_string(n) + " entries, capacity " + std::to_string(NodeCapacity(length)));
    if (isRoot && n < 2) Fault(PageName(offset), "root node with a single entry");
    int64_t total = 0;
    for (int i = 0; i < n; ++i) {
      std::vector<uint8_t> childFirst;
      int64_t count = Visit(slot, page.Refs[static_cast<size_t>(i)], depth + 1, false, childFirst);
      if (childFirst.size() == static_cast<size_t>(length) &&
          std::memcmp(childFirst.data(), page.Key(i), static_cast<size_t>(length)) != 0)
        Fault(PageName(offset), "entry " + std::to_string(i + 1) + " key differs from its child's first key");
      if (count != page.Counts[static_cast<size_t>(i)])
        Fault(PageName(offset), "entry " + std::to_string(i + 1) + " counts " + std::to_string(page.Counts[static_cast<size_t>(i)]) +
                                    ", subtree holds " + std::to_string(count));
      total += count;
    }
    return total;
  }

  void CheckFreeList(uint8_t slot) {
    uint32_t offset = file_.Header().Descriptors[slot].FreePage;
    int steps = 0;
    while (offset != 0) {
      if (!ValidOffset(offset)) {
        Fault("free list", "page " + std::to_string(offset) + " outside the file");
        return;
      }
      if (!used_.insert(offset).second) {
        Fault("free list", "page " + std::to_string(offset) + " is also used elsewhere");
        return;
      }
      if (++steps > 1000000) return;
      TPage page(&file_);
      if (!Load(slot, offset, page)) return;
      if (page.Count() != 0) Fault("free list", "page " + std::to_string(offset) + " holds entries");
      offset = page.Header.NextPage;
    }
  }

  void CheckSysDeleted(int64_t total) {
    if (options_.RecordSlots < 0) return;
    if (total != options_.RecordSlots)
      Fault("header", "holds " + std::to_string(total) + " keys for " + std::to_string(options_.RecordSlots) + " record slots");
    if (!options_.ReadRecord) return;
    std::vector<bool> seen(static_cast<size_t>(options_.RecordSlots) + 1, false);
    int32_t live = 0;
    for (const auto& [key, rec] : sysKeys_) {
      if (rec == 0 || rec > static_cast<uint32_t>(options_.RecordSlots)) continue;
      if (seen[rec]) Fault("record " + std::to_string(rec), "has two keys");
      seen[rec] = true;
      uint8_t status = 0;
      int32_t id = 0;
      if (!options_.ReadRecord(static_cast<int32_t>(rec), status, id)) {
        Fault("record " + std::to_string(rec), "cannot be read");
        continue;
      }
      uint8_t expect[kSysDeletedKeyLength];
      BuildSysDeletedKey(status, id, expect);
      if (key.size() < kSysDeletedKeyLength || std::memcmp(expect, key.data(), kSysDeletedKeyLength) != 0)
        Fault("record " + std::to_string(rec), "key does not match its status and record ID");
      if (status == 0) ++live;
    }
    for (int32_t r = 1; r <= options_.RecordSlots; ++r)
      if (!seen[static_cast<size_t>(r)]) Fault("record " + std::to_string(r), "has no key");
    if (live != file_.Header().LiveRecordCount)
      Fault("header", "live record count " + std::to_string(file_.Header().LiveRecordCount) + ", live records " + std::to_string(live));
  }

  TIndexFile& file_;
  const TIndexCheckOptions& options_;
  std::vector<std::string> faults_;
  std::string name_;
  std::set<uint32_t> used_;
  std::vector<std::vector<TLevelPage>> levels_;
  int leafDepth_ = -1;
  bool havePrev_ = false;
  std::vector<uint8_t> prevKey_;
  std::vector<std::pair<std::vector<uint8_t>, uint32_t>> sysKeys_;
};

std::string SlotName(uint8_t slot, const TIndexDescriptor& d) {
  if (slot == kPrimarySlot) return "Primary";
  // A damaged length byte may have taken zero bytes after the name into it.
  return d.Name.substr(0, d.Name.find('\0'));
}

bool PageOffsetInFile(uint32_t offset, int32_t endOfFile) {
  return offset >= uint32_t(kIndexPageSize) && offset % kIndexPageSize == 0 && offset < uint32_t(endOfFile);
}

}  // namespace

std::vector<std::string> CheckIndexDefinition(uint8_t slot, const TIndexDescriptor& desc, uint8_t storedNameLength,
                                              const TIndexFileOwner* owner) {
  std::vector<std::string> faults;
  const std::string where = "index " + SlotName(slot, desc) + ": definition: ";
  auto fault = [&](const std::string& text) { faults.push_back(where + text); };
  if (storedNameLength > kMaxIndexNameLength)
    fault("name length " + std::to_string(storedNameLength) + " is above " + std::to_string(kMaxIndexNameLength));
  if (desc.Compression > kCompressBoth) fault("compression code " + std::to_string(desc.Compression) + " is not 0 to 3");
  if (slot == kSysDeletedSlot) {
    if (desc.KeyLength != kSysDeletedKeyLength)
      fault("key length " + std::to_string(desc.KeyLength) + ", the status and record ID take 5");
    return faults;
  }
  if (desc.FieldCount < 1 || desc.FieldCount > kMaxKeyFields) {
    fault("field count " + std::to_string(desc.FieldCount) + " is not 1 to 16");
    return faults;
  }
  if (desc.KeyLength < 1 || desc.KeyLength > kKeyBufferSize || NodeCapacity(desc.KeyLength) < 2 ||
      (HasKeySuffix(slot, desc) && desc.KeyLength <= kKeySuffixLength)) {
    fault("key length " + std::to_string(desc.KeyLength) + " cannot be held by a page");
    return faults;
  }
  if (!owner) return faults;
  TKeyFieldInfo infos[kMaxKeyFields];
  for (int i = 0; i < desc.FieldCount; ++i) {
    const uint16_t no = desc.FieldNumbers[size_t(i)];
    if (!owner->GetKeyFieldInfo(no, infos[i])) {
      fault("key field " + std::to_string(i + 1) + " names field " + std::to_string(no) + ", which the table lacks");
      return faults;
    }
    if (infos[i].FieldType == kFldBlob || infos[i].FieldType == kFldNone) {
      fault("key field " + std::to_string(i + 1) + " is a field of type " + std::to_string(infos[i].FieldType) +
            ", which cannot be a key");
      return faults;
    }
  }
  const int length = ComputeKeyLength(slot, desc, infos);
  if (length != desc.KeyLength)
    fault("key length " + std::to_string(desc.KeyLength) + ", its fields give " + std::to_string(length));
  return faults;
}

namespace {

// Calls visit(slot, descriptor, stored name length) for every slot that
// keeps keys and describes an index.
template <typename TVisit>
void ForEachDefinedSlot(const TIndexHeader& h, TVisit visit) {
  for (int s = 0; s < kIndexSlotCount; ++s) {
    const uint8_t slot = uint8_t(s);
    const bool kept = (slot == kPrimarySlot || slot == kSysDeletedSlot) ? h.NoPrimaryIndex == 0
                                                                       : s <= h.SecondaryCount;
    if (!kept) continue;
    const TIndexDescriptor& d = h.Descriptors[size_t(s)];
    // The stored name length as read (the descriptor keeps at most 30 characters).
    const uint8_t rawNameLength = h.Raw[size_t(kHdrDescriptors + kIndexDescriptorSize * s)];
    const uint8_t nameLength = std::max<uint8_t>(rawNameLength, uint8_t(std::min<size_t>(d.Name.size(), 255)));
    if (slot != kSysDeletedSlot && d.IsEmpty() && nameLength == 0) continue;  // no index in this slot
    visit(slot, d, nameLength);
  }
}

}  // namespace

std::vector<std::string> CheckIndexDefinitions(const TIndexHeader& h, const TIndexFileOwner* owner) {
  std::vector<std::string> faults;
  if (h.SecondaryCount > kMaxSecondaryIndexes) {
    faults.push_back("index header: secondary count " + std::to_string(h.SecondaryCount) + " is above 30");
    return faults;
  }
  ForEachDefinedSlot(h, [&](uint8_t slot, const TIndexDescriptor& d, uint8_t nameLength) {
    for (std::string& f : CheckIndexDefinition(slot, d, nameLength, owner)) faults.push_back(std::move(f));
  });
  return faults;
}

std::vector<std::string> CheckIndexHeader(const TIndexHeader& h, int64_t fileSize, const TIndexFileOwner* owner) {
  std::vector<std::string> faults;
  auto fault = [&](const std::string& text) { faults.push_back("index header: " + text); };
  if (h.Version != kIndexFormatVersion) fault("version " + std::to_string(h.Version) + " is not 3");
  for (std::string& f : CheckIndexDefinitions(h, owner)) faults.push_back(std::move(f));
  if (h.SecondaryCount > kMaxSecondaryIndexes) return faults;
  bool endOk = h.EndOfFile >= kIndexPageSize && h.EndOfFile % kIndexPageSize == 0;
  if (!endOk) fault("EndOfFile " + std::to_string(h.EndOfFile) + " is not a page boundary");
  if (endOk && fileSize >= 0 && h.EndOfFile > fileSize) {
    fault("EndOfFile " + std::to_string(h.EndOfFile) + " is past the end of the file (" + std::to_string(fileSize) +
          " bytes)");
    endOk = false;
  }
  if (h.LiveRecordCount < 0) fault("live record count " + std::to_string(h.LiveRecordCount) + " is negative");
  if (!endOk) return faults;
  ForEachDefinedSlot(h, [&](uint8_t slot, const TIndexDescriptor& d, uint8_t) {
    for (const auto& [what, offset] : {std::pair{"root page", d.RootPage}, std::pair{"free-list head", d.FreePage}})
      if (offset != 0 && !PageOffsetInFile(offset, h.EndOfFile))
        faults.push_back("index " + SlotName(slot, d) + ": " + what + " " + std::to_string(offset) +
                         " is not a page of the file");
  });
  return faults;
}

std::vector<std::string> CheckIndexFile(TIndexFile& file, const TIndexCheckOptions& options) {
  TChecker checker(file, options);
  return checker.Run();
}

std::vector<std::string> CheckIndexFile(TDataFile& table) {
  TIndexCheckOptions options;
  options.RecordSlots = table.NextRecordNo() - 1;
  options.ReadRecord = [&table](int32_t recNo, uint8_t& status, int32_t& recordId) {
    TRecord* record = nullptr;
    if (!table.GetRecord(uint32_t(recNo), true, kReadForward, false, record) || record == nullptr) return false;
    status = record->Data()[0];
    recordId = LoadI32(record->Data() + 5);
    table.ReleaseRecord(record);
    return true;
  };
  auto faults = CheckIndexFile(table.IndexFile(), options);
  if (table.ReadLockHeld()) table.ReleaseReadLock();
  return faults;
}

}  // namespace tabula
