#include "tabula/table_checker.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "engine/blob_checker.h"
#include "engine/blob_file.h"
#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "engine/data_file_checker.h"
#include "tabula/data_header.h"
#include "tabula/field_desc.h"
#include "tabula/field_types.h"
#include "engine/index_checker.h"
#include "engine/index_file.h"
#include "engine/key_builder.h"
#include "tabula/locale.h"
#include "engine/os_file.h"
#include "engine/scramble.h"
#include "framework/core/exceptions.h"
#include "engine/descriptor_owner.h"
#include "tabula/engine_error.h"

namespace tabula {

namespace {

constexpr size_t kMaxFaultLines = 1000;

// A file descriptor closed when its holder goes, also when the holder's
// constructor throws after opening it.
class TDescriptor {
 public:
  explicit TDescriptor(int fd) : fd_(fd) {}
  ~TDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// A read-only view of the whole data file.
class TMappedFile {
 public:
  explicit TMappedFile(const std::string& name) : fd_(::open(name.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_.Get() < 0) throw EMaintenanceError(name + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0) throw EMaintenanceError(name + ": " + std::strerror(errno));
    size_ = size_t(st.st_size);
    if (size_ > 0) {
      void* p = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_.Get(), 0);
      if (p == MAP_FAILED) throw EMaintenanceError(name + ": " + std::strerror(errno));
      data_ = static_cast<const uint8_t*>(p);
    }
  }
  ~TMappedFile() {
    if (data_) ::munmap(const_cast<uint8_t*>(data_), size_);
  }
  TMappedFile(const TMappedFile&) = delete;
  TMappedFile& operator=(const TMappedFile&) = delete;
  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  TDescriptor fd_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

class TChecker {
 public:
  TChecker(const std::string& path, const TPasswordCheck& password)
      : dataName_(OsResolvePath(ResolveDataFileName(path))),
        label_(std::filesystem::path(dataName_).filename().string()),
        password_(password) {}

  TCheckReport Run() {
    if (!OsFileExists(dataName_)) throw EMaintenanceError(dataName_ + ": no such table");
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
    const TFaultSink fault = [this](const std::string& text) { DataFault(Cp1251ToUtf8(text)); };
    if (!CheckDataHeaderBlock(file_->Data(), size, header_, fault)) return false;
    if (header_.Encrypted) {
      RequireTablePassword(password_, UnscramblePassword(file_->Data() + kDhPassword), dataName_);
      Decipher();
    }
    if (!CheckDataLayout(bytes_, size, header_, fields_, slots_, fault)) return false;
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
      throw EMaintenanceError(label_ + ": the table is being changed by another program; try again later");
    locked_ = true;
  }

  std::string IndexLabel() const {
    return std::filesystem::path(CompanionFileName(dataName_, ".IDX")).filename().string();
  }

  TSlotReader SlotReader() const {
    return [this](int32_t recNo) { return Slot(recNo); };
  }
  TFaultSink DataFaultSink() {
    return [this](const std::string& text) { DataFault(Cp1251ToUtf8(text)); };
  }

  void CheckRecords() {
    slotState_ = CheckDataRecords(header_, fields_, slots_, SlotReader(), DataFaultSink());
    report_.LiveRecords = slotState_.LiveRecords;
  }

  void CheckFreeChain() {
    // With a primary index every deleted slot waits on the chain; in
    // physical order deleted slots are never reused and may drop off it.
    const bool physical = index_ && index_->IsOpen() && index_->NoPrimaryIndex();
    CheckFreeSlotChain(header_, slotState_, SlotReader(), !physical && index_, DataFaultSink());
  }

  void CheckIndexes(bool layoutOk) {
    const std::string label = IndexLabel();
    TIndexCheckOptions options;
    if (layoutOk) {
      options.RecordSlots = slots_;
      options.ReadRecord = [this](int32_t recNo, uint8_t& status, int32_t& id) {
        if (recNo < 1 || recNo > slots_) return false;
        status = slotState_.Status[size_t(recNo)];
        id = slotState_.Ids[size_t(recNo)];
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
        if (recNo < 1 || recNo > slots_ || slotState_.Status[size_t(recNo)] != 0) {
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
      if (slotState_.Status[size_t(n)] == 0 && !seen[size_t(n)]) Fault(where, "record " + std::to_string(n) + " is missing");
    ++report_.IndexesCompared;
  }

  void CheckBlobs() {
    if (header_.BlobFieldCount == 0) return;
    const std::string label = std::filesystem::path(CompanionFileName(dataName_, ".BLB")).filename().string();
    const std::vector<TBlobReference> refs = CollectBlobReferences(fields_, slotState_, SlotReader(), DataFaultSink());
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
  const TPasswordCheck& password_;
  const TMappedFile* file_ = nullptr;
  const uint8_t* bytes_ = nullptr;  // the file's bytes, deciphered for an enciphered table
  std::vector<uint8_t> plain_;
  TDataHeader header_;
  std::vector<TFieldDesc> fields_;
  int32_t slots_ = 0;
  TDataSlots slotState_;
  std::unique_ptr<TDescriptorOwner> owner_;
  std::unique_ptr<TIndexFile> index_;
  bool locked_ = false;
  TCheckReport report_;
  size_t dropped_ = 0;
};

}  // namespace

TCheckReport CheckTable(const std::string& path, const TPasswordCheck& password) { return TChecker(path, password).Run(); }

}  // namespace tabula
