#include "tools/tabula/table_checker.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <unordered_map>

#include "engine/blob_checker.h"
#include "engine/blob_file.h"
#include "engine/data_file.h"
#include "engine/data_header.h"
#include "engine/field_desc.h"
#include "engine/field_types.h"
#include "engine/index_checker.h"
#include "engine/index_file.h"
#include "engine/key_builder.h"
#include "engine/locale.h"
#include "engine/os_file.h"
#include "engine/scramble.h"
#include "framework/core/exceptions.h"
#include "tools/tabula/descriptor_owner.h"
#include "tools/tabula/table_reader.h"
#include "tools/tabula/tool_error.h"

namespace tabula::tool {

namespace {

constexpr size_t kMaxFaultLines = 1000;

// A read-only view of the whole data file.
class TMappedFile {
 public:
  explicit TMappedFile(const std::string& name) {
    fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw EToolError(name + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw EToolError(name + ": " + std::strerror(errno));
    size_ = size_t(st.st_size);
    if (size_ > 0) {
      void* p = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0);
      if (p == MAP_FAILED) throw EToolError(name + ": " + std::strerror(errno));
      data_ = static_cast<const uint8_t*>(p);
    }
  }
  ~TMappedFile() {
    if (data_) ::munmap(const_cast<uint8_t*>(data_), size_);
    if (fd_ >= 0) ::close(fd_);
  }
  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  int fd_ = -1;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

class TChecker {
 public:
  TChecker(const std::string& path, TTablePassword& password)
      : dataName_(OsResolvePath(ResolveDataFileName(path))),
        label_(std::filesystem::path(dataName_).filename().string()),
        password_(password) {}

  TCheckReport Run() {
    if (!OsFileExists(dataName_)) throw EToolError(dataName_ + ": no such table");
    TMappedFile file(dataName_);
    file_ = &file;
    bytes_ = file.Data();
    const bool layoutOk = CheckDataHeader();
    // The table's read lock: the index file's shared lock byte.
    OpenIndexFile();
    if (layoutOk) {
      CheckRecords();
      CheckFreeChain();
    }
    if (index_ && index_->IsOpen()) {
      CheckIndexes(layoutOk);
    }
    if (layoutOk) CheckBlobs();
    if (index_ && index_->IsOpen()) {
      if (locked_) index_->UnlockTableShared();
      index_->CloseIndexFile();
    }
    if (report_.Faults.size() >= kMaxFaultLines)
      report_.Faults.push_back("... " + std::to_string(dropped_) + " more faults not shown");
    return std::move(report_);
  }

 private:
  void Fault(const std::string& where, const std::string& text) {
    if (report_.Faults.size() >= kMaxFaultLines) {
      ++dropped_;
      return;
    }
    report_.Faults.push_back(where + ": " + text);
  }
  void DataFault(const std::string& text) { Fault(label_, text); }

  const uint8_t* Slot(int32_t recNo) const {
    return bytes_ + kDataHeaderSize + kFieldDescSize * fields_.size() +
           size_t(header_.RecordSize) * size_t(recNo - 1);
  }

  // Header and descriptors; false when the record layout cannot be trusted.
  bool CheckDataHeader() {
    const size_t size = file_->Size();
    if (size < kDataHeaderSize) {
      DataFault("the file (" + std::to_string(size) + " bytes) is shorter than its 127-byte header");
      return false;
    }
    header_ = TDataHeader::Unpack(file_->Data());
    bool ok = true;
    if (header_.FormatVersion != kDataFormatVersion) {
      DataFault("format version " + std::to_string(header_.FormatVersion) + ", expected 3");
      ok = false;
    }
    if (header_.ComputedSize != 0) DataFault("header computed size " + std::to_string(header_.ComputedSize) + ", expected 0");
    if (header_.LanguageId != 0 && !IsLocaleInstalled(header_.LanguageId, header_.SortId))
      DataFault("language " + std::to_string(header_.LanguageId) + " sort " + std::to_string(header_.SortId) +
                " is not an installed locale");
    if (header_.FieldCount == 0) {
      DataFault("the header declares no fields");
      return false;
    }
    if (size < kDataHeaderSize + kFieldDescSize * header_.FieldCount) {
      DataFault("the file is too short for its " + std::to_string(header_.FieldCount) + " field descriptors");
      return false;
    }
    if (header_.Encrypted) {
      const uint8_t length = file_->Data()[kDhPassword];
      if (length > kMaxPasswordLength) {
        DataFault("stored password length " + std::to_string(length) + " is above 15");
        return false;
      }
      password_.Require(UnscramblePassword(file_->Data() + kDhPassword), dataName_);
      Decipher();
    }
    if (header_.NextRecordNo < 1) {
      DataFault("next record number " + std::to_string(header_.NextRecordNo) + " is below 1");
      ok = false;
    }
    // Descriptors: numbers in order, known types, widths and offsets that
    // tile the record exactly.
    int expectedOffset = int(kRecordHeaderSize);
    int blobFields = 0, autoIncFields = 0;
    for (int k = 1; k <= header_.FieldCount; ++k) {
      TFieldDesc d = TFieldDesc::Unpack(bytes_ + kDataHeaderSize + kFieldDescSize * size_t(k - 1));
      // A damaged length byte may have taken the zero bytes after the name in.
      const std::string where = "field " + std::to_string(k) + " (" + Cp1251ToUtf8(d.Name.substr(0, d.Name.find('\0'))) + ")";
      if (const std::string overlong = d.OverlongText(); !overlong.empty()) {
        DataFault(where + ": " + overlong + ", more than the descriptor holds");
        ok = false;
      }
      if (d.FieldNo != k) {
        DataFault(where + ": field number " + std::to_string(d.FieldNo) + ", expected " + std::to_string(k));
        ok = false;
      }
      if (d.FieldType == kFldNone || d.FieldType > kFldVarBytes) {
        DataFault(where + ": unknown field type " + std::to_string(d.FieldType));
        ok = false;
      }
      const int width = FieldDataSize(d.FieldType, d.Size);
      if (width > 255 || (HasDeclaredSize(d.FieldType) && d.Size > kMaxDeclaredSize)) {
        DataFault(where + ": size " + std::to_string(d.Size) + " is too large");
        ok = false;
      }
      d.DeriveDataSize();
      if (d.FieldType == kFldBlob) ++blobFields;
      if (d.Computed) {
        if (d.Offset != 0) DataFault(where + ": a computed field at offset " + std::to_string(d.Offset) + ", expected 0");
      } else if (d.IsAutoIncrement()) {
        if (++autoIncFields > 1) DataFault(where + ": a second auto-increment field");
        if (d.Offset != kRecordIdOffset) {
          DataFault(where + ": auto-increment field at offset " + std::to_string(d.Offset) + ", expected 5");
          ok = false;
        }
      } else {
        if (d.Offset != expectedOffset) {
          DataFault(where + ": offset " + std::to_string(d.Offset) + ", expected " + std::to_string(expectedOffset));
          ok = false;
        }
        expectedOffset += width + 1;
      }
      fields_.push_back(std::move(d));
    }
    if (expectedOffset != header_.RecordSize) {
      DataFault("record size " + std::to_string(header_.RecordSize) + ", the fields need " +
                std::to_string(expectedOffset));
      ok = false;
    }
    if (blobFields != header_.BlobFieldCount)
      DataFault("the header counts " + std::to_string(header_.BlobFieldCount) + " blob fields, the descriptors " +
                std::to_string(blobFields));
    if (!ok) return false;
    const int64_t areaStart = int64_t(kDataHeaderSize + kFieldDescSize * fields_.size());
    const int64_t expected = areaStart + int64_t(header_.RecordSize) * (header_.NextRecordNo - 1);
    slots_ = header_.NextRecordNo - 1;
    if (int64_t(size) != expected) {
      DataFault("file length " + std::to_string(size) + ", expected " + std::to_string(expected) + " for " +
                std::to_string(slots_) + " record slots");
      // Check the slots that are whole in the file.
      slots_ = int32_t(std::min<int64_t>(slots_, (int64_t(size) - areaStart) / header_.RecordSize));
    }
    report_.Slots = slots_;
    return true;
  }

  // An enciphered table is checked deciphered: a copy of the file with the
  // descriptor block and every whole record slot deciphered.
  void Decipher() {
    plain_.assign(file_->Data(), file_->Data() + file_->Size());
    const size_t descBytes = kFieldDescSize * header_.FieldCount;
    DecipherBlock(plain_.data() + kDataHeaderSize, descBytes);
    const size_t start = kDataHeaderSize + descBytes;
    if (header_.RecordSize > 0)
      for (size_t at = start; at + header_.RecordSize <= plain_.size(); at += header_.RecordSize)
        DecipherBlock(plain_.data() + at, header_.RecordSize);
    bytes_ = plain_.data();
  }

  void OpenIndexFile() {
    owner_ = std::make_unique<TDescriptorOwner>(fields_, header_.LanguageId, header_.SortId, std::max(slots_, 0),
                                                header_.Encrypted != 0);
    index_ = std::make_unique<TIndexFile>(owner_.get());
    try {
      index_->SetReadOnly(true);
      index_->SetFileName(dataName_);
      // A header out of its limits is reported by the index checker.
      index_->OpenIndexFile(false, true);
    } catch (const fw::Exception& e) {
      Fault(IndexLabel(), "cannot be opened: " + EngineErrorText(e));
      index_.reset();
      return;
    }
    if (!index_->LockTableShared())
      throw EToolError(label_ + ": the table is being changed by another program; try again later");
    locked_ = true;
  }

  std::string IndexLabel() const {
    return std::filesystem::path(CompanionFileName(dataName_, ".IDX")).filename().string();
  }

  void CheckRecords() {
    status_.assign(size_t(slots_) + 1, 0);
    ids_.assign(size_t(slots_) + 1, 0);
    std::unordered_map<int32_t, int32_t> idOwner;
    idOwner.reserve(size_t(slots_));
    for (int32_t n = 1; n <= slots_; ++n) {
      const uint8_t* rec = Slot(n);
      const std::string where = "record " + std::to_string(n);
      status_[size_t(n)] = rec[0];
      ids_[size_t(n)] = LoadI32(rec + kRecordIdOffset);
      if (rec[0] > 1) {
        DataFault(where + ": status byte " + std::to_string(rec[0]) + " (expected 0 live or 1 deleted)");
        continue;
      }
      if (rec[0] == 1) continue;
      ++report_.LiveRecords;
      const uint32_t link = LoadU32(rec + 1);
      if (link != uint32_t(n)) DataFault(where + ": slot link " + std::to_string(link) + " in a live record");
      const int32_t id = ids_[size_t(n)];
      if (auto [it, fresh] = idOwner.emplace(id, n); !fresh)
        DataFault(where + ": record ID " + std::to_string(id) + " is also the ID of record " + std::to_string(it->second));
      if (id > header_.LastRecordID && header_.LastRecordID > 0)
        DataFault(where + ": record ID " + std::to_string(id) + " above the last handed out (" +
                  std::to_string(header_.LastRecordID) + ")");
      for (const TFieldDesc& f : fields_) {
        if (f.Computed || f.IsAutoIncrement()) continue;
        const uint8_t flag = rec[f.Offset];
        const uint8_t* data = rec + f.Offset + 1;
        const std::string field = where + ", field " + Cp1251ToUtf8(f.Name);
        if (flag > 1) {
          DataFault(field + ": null flag " + std::to_string(flag));
        } else if (flag == 0) {
          for (int i = 0; i < f.DataSize; ++i)
            if (data[i] != 0) {
              DataFault(field + ": NULL but holds data");
              break;
            }
        } else if (f.FieldType == kFldString && data[f.DataSize - 1] != 0) {
          DataFault(field + ": text without its terminating zero");
        } else if (f.FieldType == kFldBoolean && LoadU16(data) > 1) {
          DataFault(field + ": boolean value " + std::to_string(LoadU16(data)));
        }
      }
    }
  }

  void CheckFreeChain() {
    std::vector<bool> onChain(size_t(slots_) + 1, false);
    uint32_t n = header_.FirstFreeRecord;
    uint32_t previous = 0;
    while (n != 0) {
      const std::string from = previous ? "slot " + std::to_string(previous) : "the header";
      if (n > uint32_t(slots_)) {
        DataFault("free-slot chain: " + from + " links to slot " + std::to_string(n) + ", beyond the last slot");
        break;
      }
      if (onChain[n]) {
        DataFault("free-slot chain: a cycle at slot " + std::to_string(n));
        break;
      }
      onChain[n] = true;
      if (status_[n] != 1) {
        DataFault("free-slot chain: " + from + " links to slot " + std::to_string(n) + ", which is not deleted");
        break;
      }
      previous = n;
      n = LoadU32(Slot(int32_t(n)) + 1);
    }
    // With a primary index every deleted slot waits on the chain; in
    // physical order deleted slots are never reused and may drop off it.
    const bool physical = index_ && index_->IsOpen() && index_->NoPrimaryIndex();
    if (physical || !index_) return;
    for (int32_t k = 1; k <= slots_; ++k)
      if (status_[size_t(k)] == 1 && !onChain[size_t(k)])
        DataFault("free-slot chain: deleted slot " + std::to_string(k) + " is not on the chain");
  }

  void CheckIndexes(bool layoutOk) {
    const std::string label = IndexLabel();
    TIndexCheckOptions options;
    if (layoutOk) {
      options.RecordSlots = slots_;
      options.ReadRecord = [this](int32_t recNo, uint8_t& status, int32_t& id) {
        if (recNo < 1 || recNo > slots_) return false;
        status = status_[size_t(recNo)];
        id = ids_[size_t(recNo)];
        return true;
      };
    }
    std::vector<std::string> faults;
    try {
      faults = CheckIndexFile(*index_, options);
    } catch (const fw::Exception& e) {
      faults.push_back("the check stopped: " + EngineErrorText(e));
    }
    for (const std::string& f : faults) Fault(label, Cp1251ToUtf8(f));
    if (!layoutOk) return;
    if (index_->LiveRecordCount() != report_.LiveRecords)
      Fault(label, "header counts " + std::to_string(index_->LiveRecordCount()) + " live records, the data file has " +
                       std::to_string(report_.LiveRecords));
    // Walking a damaged tree with the cursor could go astray: the contents
    // are compared only when the trees are sound.
    if (!faults.empty()) return;
    for (int slot = 0; slot <= index_->Header().SecondaryCount && slot <= kMaxSecondaryIndexes; ++slot) {
      if (!index_->SlotKeepsKeys(uint8_t(slot))) continue;
      CompareIndexWithRecords(uint8_t(slot), label);
    }
  }

  void CompareIndexWithRecords(uint8_t slot, const std::string& label) {
    const TIndexDescriptor& desc = index_->Descriptor(slot);
    const std::string where = label + ": index " + Cp1251ToUtf8(index_->IndexDisplayName(slot));
    const int length = desc.KeyLength;
    std::vector<uint8_t> expected(kKeyBufferSize, 0);
    std::vector<uint8_t> seen(size_t(slots_) + 1, 0);
    try {
      index_->SelectIndexSlot(slot);
      index_->FirstKey();
      int64_t guard = int64_t(slots_) + 1;
      while (!index_->Eof() && index_->CurrentKey() != nullptr) {
        if (--guard < 0) {
          Fault(where, "holds more entries than the table has slots");
          break;
        }
        const int32_t recNo = index_->CurrentRecordNumber();
        if (recNo < 1 || recNo > slots_ || status_[size_t(recNo)] != 0) {
          Fault(where, "entry for record " + std::to_string(recNo) + ", which is not a live record");
        } else if (seen[size_t(recNo)]++) {
          Fault(where, "record " + std::to_string(recNo) + " has more than one entry");
        } else {
          BuildIndexKey(slot, desc, fields_.data(), fields_.size(), Slot(recNo), header_.LanguageId, header_.SortId,
                        expected.data());
          if (std::memcmp(expected.data(), index_->CurrentKey(), size_t(length)) != 0)
            Fault(where, "the key of record " + std::to_string(recNo) + " differs from the key its record gives");
        }
        index_->MoveBy(1);
      }
    } catch (const fw::Exception& e) {
      Fault(where, "the walk stopped: " + EngineErrorText(e));
      return;
    }
    for (int32_t n = 1; n <= slots_; ++n)
      if (status_[size_t(n)] == 0 && !seen[size_t(n)]) Fault(where, "record " + std::to_string(n) + " is missing");
    ++report_.IndexesCompared;
  }

  void CheckBlobs() {
    if (header_.BlobFieldCount == 0) return;
    const std::string label = std::filesystem::path(CompanionFileName(dataName_, ".BLB")).filename().string();
    std::vector<TBlobReference> refs;
    for (int32_t n = 1; n <= slots_; ++n) {
      if (status_[size_t(n)] != 0) continue;
      const uint8_t* rec = Slot(n);
      for (const TFieldDesc& f : fields_) {
        if (f.FieldType != kFldBlob || f.Computed || rec[f.Offset] != 1) continue;
        const int32_t ref = LoadI32(rec + f.Offset + 1);
        if (ref < 0) {
          DataFault("record " + std::to_string(n) + ", field " + Cp1251ToUtf8(f.Name) +
                    ": holds an open-blob handle instead of a blob reference");
          continue;
        }
        if (ref != 0) refs.push_back(TBlobReference{n, f.FieldNo, ref});
      }
    }
    TBlobFile blobs;
    try {
      if (owner_) blobs.SetOwner(owner_.get());
      blobs.SetReadOnly(true);
      blobs.SetFileName(dataName_);
      blobs.SetBlockSize(header_.BlobBlockSize);
      blobs.Open();
    } catch (const fw::Exception& e) {
      Fault(label, "cannot be opened: " + EngineErrorText(e));
      return;
    }
    bool locked = blobs.LockRead();
    try {
      for (const std::string& f : CheckBlobFile(blobs, refs)) Fault(label, Cp1251ToUtf8(f));
    } catch (const fw::Exception& e) {
      Fault(label, "the check stopped: " + EngineErrorText(e));
    }
    if (locked) blobs.UnlockRead();
    blobs.Close();
    report_.BlobsChecked = int32_t(refs.size());
  }

  std::string dataName_;
  std::string label_;
  TTablePassword& password_;
  const TMappedFile* file_ = nullptr;
  const uint8_t* bytes_ = nullptr;  // the file's bytes, deciphered for an enciphered table
  std::vector<uint8_t> plain_;
  TDataHeader header_;
  std::vector<TFieldDesc> fields_;
  int32_t slots_ = 0;
  std::vector<uint8_t> status_;
  std::vector<int32_t> ids_;
  std::unique_ptr<TDescriptorOwner> owner_;
  std::unique_ptr<TIndexFile> index_;
  bool locked_ = false;
  TCheckReport report_;
  size_t dropped_ = 0;
};

}  // namespace

TCheckReport CheckTable(const std::string& path, TTablePassword& password) { return TChecker(path, password).Run(); }

TCheckReport CheckTable(const std::string& path) {
  TTablePassword none;
  return CheckTable(path, none);
}

}  // namespace tabula::tool
