#include "tabula/bulk_loader.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <filesystem>

#include "tabula/data_header.h"
#include "tabula/field_desc.h"
#include "tabula/field_types.h"
#include "tabula/file_handler.h"
#include "engine/index_builder.h"
#include "engine/index_checker.h"
#include "engine/index_file.h"
#include "engine/key_builder.h"
#include "engine/key_sorter.h"
#include "engine/os_file.h"
#include "engine/scramble.h"

namespace tabula {

namespace fs = std::filesystem;

namespace {

// Bytes of records read at a time while keys are gathered.
constexpr size_t kScanBytes = size_t(1) << 20;

// The new index file's view of the table: the copy's descriptors and locale,
// no locks (the loader holds every file exclusively).
class TLoadOwner : public TIndexFileOwner {
 public:
  TLoadOwner(const std::vector<TFieldDesc>& fields, const TDataHeader& header)
      : fields_(fields), header_(header) {}
  bool LockAndCheckForChanges() override { return false; }
  bool HoldsSharedLock() const override { return true; }
  bool HoldsTableLock() const override { return false; }
  int32_t RecordSlotCount() const override { return header_.NextRecordNo - 1; }
  uint16_t LanguageId() const override { return header_.LanguageId; }
  uint16_t SortId() const override { return header_.SortId; }
  bool GetKeyFieldInfo(uint16_t fieldNo, TKeyFieldInfo& info) const override {
    if (fieldNo < 1 || fieldNo > fields_.size()) return false;
    info = KeyFieldInfoOf(fields_[fieldNo - 1]);
    return true;
  }
  bool Encrypted() const override { return header_.Encrypted != 0; }
  void EncipherBlock(uint8_t* data, size_t size) override { ::tabula::EncipherBlock(data, size); }
  void DecipherBlock(uint8_t* data, size_t size) override { ::tabula::DecipherBlock(data, size); }

 private:
  const std::vector<TFieldDesc>& fields_;
  const TDataHeader& header_;
};

void SyncByName(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  const bool ok = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!ok) RaiseEngineError(kErrWrite, name);
}

}  // namespace

// The table's files, held exclusively, and their copies under temporary
// names. Whatever copy has not been put in place is removed with the object.
class TBulkLoader::TFiles {
 public:
  struct TFile {
    std::string Original;
    std::string Temp;
    std::unique_ptr<TFileHandler> Guard;  // the original, held exclusively
    bool Present = false;
    bool Placed = false;
  };

  explicit TFiles(const std::string& tableName) {
    Data.Original = OsResolvePath(ResolveDataFileName(tableName));
    Index.Original = OsResolvePath(CompanionFileName(Data.Original, ".IDX"));
    Blob.Original = OsResolvePath(CompanionFileName(Data.Original, ".BLB"));
    const fs::path original(Data.Original);
    Directory = original.has_parent_path() ? original.parent_path().string() : ".";
    static std::atomic<int> serial{0};
    Data.Temp = (fs::path(Directory) / (".tabula-load-" + std::to_string(::getpid()) + "-" +
                                         std::to_string(serial++) + "-" + original.stem().string() + ".DAT"))
                    .string();
    Index.Temp = CompanionFileName(Data.Temp, ".IDX");
    Blob.Temp = CompanionFileName(Data.Temp, ".BLB");
  }
  ~TFiles() {
    std::error_code ec;
    for (TFile* f : {&Blob, &Index, &Data})
      if (!f->Placed) fs::remove(f->Temp, ec);
  }

  // Opens the original exclusively: a refusal means another program has it open.
  void Hold(TFile& file) {
    file.Guard = std::make_unique<TFileHandler>();
    file.Guard->SetExclusive(true);
    file.Guard->SetReadOnly(true);
    file.Guard->SetFileName(file.Original);
    try {
      file.Guard->OpenFile();
    } catch (const ETabulaEngineError&) {
      if (OsLastError() == kOsSharingViolation)
        throw ETableInUse(file.Original +
                          " is open in another program: loading rows needs the table to itself, since its files "
                          "are replaced when the load ends");
      throw;
    }
    file.Present = true;
  }

  std::vector<uint8_t> ReadHead(TFile& file, size_t count) {
    std::vector<uint8_t> bytes(count);
    if (file.Guard->SeekFile(0, kSeekStart) != 0) RaiseEngineError(kErrRead, file.Original);
    file.Guard->ReadBytes(bytes.data(), int32_t(count), false);
    return bytes;
  }

  void Copy(TFile& file) {
    file.Guard->CopyTo(file.Temp);
    std::error_code ec;
    fs::permissions(file.Temp, fs::status(file.Original).permissions(), ec);
  }

  // Renames the copies over the originals, the data file last, so that a
  // program opening the table finds its companions in place. Each original
  // is kept under a second name until all three are in place, and put back
  // when a rename fails.
  void Place() {
    std::vector<TFile*> order;
    for (TFile* f : {&Blob, &Index, &Data})
      if (f->Present) order.push_back(f);
    std::vector<std::string> kept(order.size());
    std::error_code ec;
    for (size_t i = 0; i < order.size(); ++i) {
      kept[i] = order[i]->Temp + ".old";
      if (::link(order[i]->Original.c_str(), kept[i].c_str()) != 0) kept[i].clear();
    }
    size_t placed = 0;
    for (; placed < order.size(); ++placed) {
      fs::rename(order[placed]->Temp, order[placed]->Original, ec);
      if (ec) break;
      order[placed]->Placed = true;
    }
    if (placed < order.size()) {
      for (size_t i = 0; i < placed; ++i) {
        std::error_code back;
        if (!kept[i].empty()) fs::rename(kept[i], order[i]->Original, back);
        order[i]->Placed = false;
      }
    }
    for (const std::string& name : kept) {
      std::error_code gone;
      if (!name.empty()) fs::remove(name, gone);
    }
    if (placed < order.size()) RaiseEngineError(kErrWrite, order[placed]->Original);
    // The renames themselves reach the disk.
    const int dir = ::open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
  }

  TFile Data, Index, Blob;
  std::string Directory;
  TDataHeader Header;                // the original data file's header
  std::vector<uint8_t> IndexHeader;  // the original index header, deciphered
};

TBulkLoader::TBulkLoader(const std::string& tableName, TBulkLoadOptions options)
    : options_(std::move(options)), files_(std::make_unique<TFiles>(tableName)) {
  TFiles& f = *files_;
  f.Hold(f.Data);
  bool readOnly = false;
  if (OsIsReadOnly(f.Data.Original, readOnly) && readOnly) RaiseEngineError(kErrAccessDenied, f.Data.Original);
  f.Hold(f.Index);
  if (OsFileExists(f.Blob.Original)) f.Hold(f.Blob);
  const std::vector<uint8_t> head = f.ReadHead(f.Data, kDataHeaderSize);
  f.Header = TDataHeader::Unpack(head.data());
  f.IndexHeader = f.ReadHead(f.Index, kIndexHeaderSize);
  if (f.Header.Encrypted != 0) DecipherBlock(f.IndexHeader.data(), f.IndexHeader.size());

  f.Copy(f.Data);
  if (f.Blob.Present) f.Copy(f.Blob);
  // While rows go in, the copy has an index file that keeps no index.
  TIndexHeader none = TIndexHeader::NewFile();
  none.ChangeCounter = 1;
  none.NoPrimaryIndex = 1;
  std::array<uint8_t, kIndexHeaderSize> block{};
  none.Pack(block.data());
  if (f.Header.Encrypted != 0) EncipherBlock(block.data(), block.size());
  const int fd = OsCreateFile(f.Index.Temp, false);
  const bool written = fd >= 0 && OsWrite(fd, block.data(), kIndexHeaderSize) == kIndexHeaderSize;
  if (fd >= 0) OsCloseFile(fd);
  if (!written) RaiseEngineError(kErrWrite, f.Index.Temp);

  copy_ = std::make_unique<TDataFile>();
  copy_->SetExclusive(true);
  if (options_.Prepare) options_.Prepare(*copy_);
  copy_->SetFileName(f.Data.Temp);
  copy_->Open();
  firstNewRecord_ = copy_->NextRecordNo();
}

TBulkLoader::~TBulkLoader() {
  try {
    if (copy_) copy_->Close();
  } catch (...) {
    // The copy is removed anyway.
  }
  copy_.reset();
  files_.reset();
}

TDataFile& TBulkLoader::Table() { return *copy_; }

const std::string& TBulkLoader::FileName() const { return files_->Data.Original; }

void TBulkLoader::Append(uint8_t* buffer) {
  copy_->AppendRecord(buffer);
  ++appended_;
}

void TBulkLoader::Commit() {
  if (committed_) return;
  TFiles& f = *files_;
  const std::vector<TFieldDesc> fields = copy_->Descriptors(TDescSet::kFile);
  copy_->Close();
  TIndexHeader old;
  old.Unpack(f.IndexHeader.data());
  // Appends to a copy without a primary index cut the free-slot chain, which
  // a table with one keeps for its deleted slots: the chain goes back.
  if (old.NoPrimaryIndex == 0) {
    TFileHandler data;
    data.SetExclusive(true);
    data.SetFileName(f.Data.Temp);
    data.OpenFile();
    uint8_t link[4];
    StoreU32(link, f.Header.FirstFreeRecord);
    if (data.SeekFile(kDhFirstFreeRecord, kSeekStart) != kDhFirstFreeRecord) RaiseEngineError(kErrWrite, f.Data.Temp);
    data.WriteBytes(link, 4);
    data.CloseFile();
  }
  BuildIndexFile(fields);
  for (TFiles::TFile* file : {&f.Blob, &f.Index, &f.Data})
    if (file->Present) SyncByName(file->Temp);
  f.Place();
  committed_ = true;
}

void TBulkLoader::BuildIndexFile(const std::vector<TFieldDesc>& fields) {
  TFiles& f = *files_;
  // The copy's header and descriptors as they are in the file now.
  TFileHandler data;
  data.SetExclusive(true);
  data.SetReadOnly(true);
  data.SetFileName(f.Data.Temp);
  data.OpenFile();
  std::vector<uint8_t> head(kDataHeaderSize);
  data.SeekFile(0, kSeekStart);
  data.ReadBytes(head.data(), int32_t(head.size()), false);
  const TDataHeader header = TDataHeader::Unpack(head.data());
  const bool enciphered = header.Encrypted != 0;
  const int32_t slots = header.NextRecordNo - 1;
  const size_t recordSize = header.RecordSize;
  const int32_t areaStart = int32_t(kDataHeaderSize + kFieldDescSize * fields.size());

  TLoadOwner owner(fields, header);
  TIndexHeader old;
  old.Unpack(f.IndexHeader.data());
  if (old.Version != kIndexFormatVersion) RaiseEngineError(kErrVersion, f.Index.Original);
  if (old.SecondaryCount > kMaxSecondaryIndexes || !CheckIndexDefinitions(old, &owner).empty())
    RaiseEngineError(kErrIndexPagesCorrupt, f.Index.Original);

  std::error_code ec;
  fs::remove(f.Index.Temp, ec);
  TIndexFile index(&owner);
  index.SetExclusive(true);
  index.SetFileName(f.Data.Temp);
  index.CreateIndexFile();
  // The bytes the header does not describe stay as the table had them.
  std::copy(f.IndexHeader.begin(), f.IndexHeader.end(), index.Header().Raw.begin());
  index.Header().ChangeCounter = old.ChangeCounter;
  const bool noPrimary = old.NoPrimaryIndex != 0;
  index.SetNoPrimaryIndex(noPrimary);
  for (int s = noPrimary ? 1 : 0; s <= old.SecondaryCount; ++s)
    if (old.Descriptors[size_t(s)].FieldCount != 0) index.DefineIndex(uint8_t(s), old.Descriptors[size_t(s)]);
  index.DefineIndex(kSysDeletedSlot, old.Descriptors[kSysDeletedSlot]);

  // Reads every record slot in order, a block at a time, deciphered.
  std::vector<uint8_t> chunk(std::max(recordSize, kScanBytes / recordSize * recordSize));
  auto forEachSlot = [&](const std::function<void(int32_t, const uint8_t*)>& visit) {
    if (data.SeekFile(areaStart, kSeekStart) != areaStart) RaiseEngineError(kErrRead, f.Data.Temp);
    const int32_t perChunk = int32_t(chunk.size() / recordSize);
    for (int32_t first = 1; first <= slots; first += perChunk) {
      const int32_t n = std::min(perChunk, slots - first + 1);
      data.ReadBytes(chunk.data(), int32_t(size_t(n) * recordSize), false);
      for (int32_t i = 0; i < n; ++i) {
        uint8_t* slot = chunk.data() + size_t(i) * recordSize;
        if (enciphered) DecipherBlock(slot, recordSize);
        visit(first + i, slot);
      }
    }
  };

  // The copy handed out record IDs after the table's last one without
  // passing over IDs still in use, as appends do once the IDs have wrapped
  // past 2147483647: an old record holding one of the new IDs stops the load.
  const int64_t lastId = f.Header.LastRecordID;
  const int64_t added = appended_;
  auto newRecordWithId = [&](int32_t id) -> int32_t {
    int64_t k = id > lastId ? id - lastId : id + (int64_t(INT32_MAX) - lastId);  // 1 = the first new row
    return k >= 1 && k <= added ? int32_t(firstNewRecord_ + k - 1) : 0;
  };
  int32_t live = 0;
  forEachSlot([&](int32_t n, const uint8_t* slot) {
    live += slot[0] == 0 ? 1 : 0;
    if (n >= firstNewRecord_ || added == 0) return;
    if (const int32_t twin = newRecordWithId(LoadI32(slot + kRecordIdOffset)); twin != 0)
      throw EBulkKeyViolation(TErrorParams{f.Index.Original, {}, {}, kSysDeletedName}, twin, n);
  });
  std::vector<uint8_t> key(kKeyBufferSize), prior(kKeyBufferSize);
  for (int s = 0; s < kIndexSlotCount; ++s) {
    const uint8_t slotNo = uint8_t(s);
    if (!index.SlotKeepsKeys(slotNo)) continue;
    const TIndexDescriptor& d = index.Descriptor(slotNo);
    if (slotNo != kSysDeletedSlot && d.FieldCount == 0) continue;
    const int length = d.KeyLength;
    auto compare = [&index, &d, length](const uint8_t* a, const uint8_t* b) {
      return index.CompareKeys(a, b, &d, d.Descending, length);
    };
    TKeySorter sorter(length, compare, options_.SortMemory, f.Directory);
    forEachSlot([&](int32_t n, const uint8_t* slot) {
      if (slotNo == kSysDeletedSlot) {
        BuildSysDeletedKey(slot, key.data());
      } else {
        if (slot[0] != 0) return;
        BuildIndexKey(slotNo, d, fields.data(), fields.size(), slot, header.LanguageId, header.SortId, key.data());
      }
      sorter.Add(key.data(), uint32_t(n));
    });
    sorter.Finish();
    TIndexBuilder builder(index, slotNo);
    const uint8_t* next = nullptr;
    uint32_t recNo = 0, priorRecNo = 0;
    bool first = true;
    while (sorter.Next(next, recNo)) {
      if (!first && compare(prior.data(), next) == 0)
        throw EBulkKeyViolation(TErrorParams{f.Index.Original, {}, {}, index.IndexDisplayName(slotNo)},
                                int32_t(std::max(recNo, priorRecNo)), int32_t(std::min(recNo, priorRecNo)));
      builder.Add(next, recNo);
      std::copy(next, next + length, prior.begin());
      priorRecNo = recNo;
      first = false;
    }
    builder.Finish();
  }
  index.Header().LiveRecordCount = live;
  index.WriteHeader(true);
  index.CloseIndexFile();
  data.CloseFile();
}

}  // namespace tabula
