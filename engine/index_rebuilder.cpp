#include "tabula/index_rebuilder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "tabula/data_header.h"
#include "tabula/field_types.h"
#include "tabula/file_handler.h"
#include "engine/index_checker.h"
#include "engine/index_file.h"
#include "engine/key_builder.h"
#include "tabula/locale.h"
#include "engine/os_file.h"
#include "engine/scramble.h"
#include "framework/core/exceptions.h"
#include "engine/descriptor_owner.h"
#include "tabula/temp_file.h"
#include "tabula/engine_error.h"

namespace tabula {

namespace fs = std::filesystem;

namespace {

using TKeyList = std::vector<std::pair<std::vector<uint8_t>, uint32_t>>;

std::vector<uint8_t> ReadExactly(const std::string& name, int64_t offset, size_t count) {
  std::ifstream in(name, std::ios::binary);
  std::vector<uint8_t> bytes(count);
  in.seekg(offset);
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(count));
  if (!in || size_t(in.gcount()) != count) throw EMaintenanceError(name + ": cannot read " + std::to_string(count) + " bytes");
  return bytes;
}

// Removes the temporary index file unless it was renamed into place.
struct TTempRemover {
  std::string Name;
  bool Keep = false;
  ~TTempRemover() {
    std::error_code ec;
    if (!Keep && !Name.empty()) fs::remove(Name, ec);
  }
};

}  // namespace

TRebuildReport RebuildIndexes(const std::string& path, const TPasswordCheck& password) {
  const std::string dataName = OsResolvePath(ResolveDataFileName(path));
  if (!OsFileExists(dataName)) throw EMaintenanceError(dataName + ": no such table");
  // Hold the table: an exclusive open keeps every other program out.
  TFileHandler guard;
  try {
    guard.SetExclusive(true);
    guard.SetReadOnly(true);
    guard.SetFileName(dataName);
    guard.OpenFile();
  } catch (const fw::Exception& e) {
    throw EMaintenanceError(EngineErrorText(e) + " (the table must not be open in another program)");
  }

  // The data file: header, descriptors, records.
  const std::vector<uint8_t> headerBytes = ReadExactly(dataName, 0, kDataHeaderSize);
  const TDataHeader header = TDataHeader::Unpack(headerBytes.data());
  const bool enciphered = header.Encrypted != 0;
  if (header.FormatVersion != kDataFormatVersion || header.FieldCount == 0 || header.NextRecordNo < 1 ||
      (enciphered && headerBytes[kDhPassword] > kMaxPasswordLength))
    throw EMaintenanceError(dataName + ": the data file's header is damaged; run tabula check");
  if (enciphered) RequireTablePassword(password, UnscramblePassword(headerBytes.data() + kDhPassword), dataName);
  std::vector<uint8_t> descBytes = ReadExactly(dataName, kDataHeaderSize, kFieldDescSize * size_t(header.FieldCount));
  if (enciphered) DecipherBlock(descBytes.data(), descBytes.size());
  std::vector<TFieldDesc> fields;
  int recordSize = int(kRecordHeaderSize);
  for (int k = 0; k < header.FieldCount; ++k) {
    TFieldDesc d = TFieldDesc::Unpack(descBytes.data() + kFieldDescSize * size_t(k));
    if (FieldDataSize(d.FieldType, d.Size) > 255 || !d.OverlongText().empty())
      throw EMaintenanceError(dataName + ": field descriptor " + std::to_string(k + 1) + " is damaged; run tabula check");
    d.DeriveDataSize();
    if (!d.Computed) recordSize += FieldSlotSize(d.FieldType, d.SubType, d.Size);
    fields.push_back(std::move(d));
  }
  if (recordSize != header.RecordSize)
    throw EMaintenanceError(dataName + ": the record layout is damaged; run tabula check");
  const int32_t slots = header.NextRecordNo - 1;
  const int64_t areaStart = int64_t(kDataHeaderSize + kFieldDescSize * fields.size());
  std::vector<uint8_t> records = ReadExactly(dataName, areaStart, size_t(header.RecordSize) * size_t(slots));
  if (enciphered)
    for (size_t at = 0; at < records.size(); at += header.RecordSize) DecipherBlock(records.data() + at, header.RecordSize);
  auto slot = [&](int32_t n) { return records.data() + size_t(header.RecordSize) * size_t(n - 1); };

  // The old index file's header gives the definitions.
  const std::string oldIndexName = OsResolvePath(CompanionFileName(dataName, ".IDX"));
  if (!OsFileExists(oldIndexName))
    throw EMaintenanceError(oldIndexName + ": missing; the index definitions are lost (re-create the table and import)");
  TIndexHeader old;
  std::vector<uint8_t> oldHeader = ReadExactly(oldIndexName, 0, kIndexHeaderSize);
  if (enciphered) DecipherBlock(oldHeader.data(), oldHeader.size());
  old.Unpack(oldHeader.data());
  if (old.Version != kIndexFormatVersion || old.SecondaryCount > kMaxSecondaryIndexes)
    throw EMaintenanceError(oldIndexName + ": the header is damaged; the index definitions are lost");
  TDescriptorOwner owner(fields, header.LanguageId, header.SortId, slots, enciphered);
  // Only definitions that are sound are written: a damaged one (a code this
  // tool cannot honour, a field the table lacks) stops the rebuild here,
  // before anything is written. The rest of the old header (page links,
  // counts) is rebuilt and need not be sound.
  if (const std::vector<std::string> faults = CheckIndexDefinitions(old, &owner); !faults.empty())
    throw EMaintenanceError(oldIndexName + ": " + Cp1251ToUtf8(faults.front()) +
                     "; the index definitions cannot be trusted, nothing was rebuilt");

  // The new file beside the old one; TIndexFile names it from a data file name.
  const std::string tempBase = TempNameBeside(dataName) + ".DAT";
  TTempRemover remover{CompanionFileName(tempBase, ".IDX")};
  TRebuildReport report;
  report.Slots = slots;
  for (int32_t n = 1; n <= slots; ++n)
    if (slot(n)[0] == 0) ++report.LiveRecords;
  try {
    TIndexFile index(&owner);
    index.SetExclusive(true);
    index.SetFileName(tempBase);
    remover.Name = index.FileName();
    index.CreateIndexFile();
    const bool noPrimary = old.NoPrimaryIndex != 0;
    index.SetNoPrimaryIndex(noPrimary);
    for (int s = 0; s <= old.SecondaryCount; ++s) {
      if (s == 0 && noPrimary) continue;
      TIndexDescriptor d = old.Descriptors[s];
      if (d.FieldCount == 0) continue;  // an empty slot (checked above)
      index.DefineIndex(uint8_t(s), d);
    }
    index.DefineIndex(kSysDeletedSlot, old.Descriptors[kSysDeletedSlot]);
    std::vector<uint8_t> key(kKeyBufferSize);
    for (int s = 0; s < kIndexSlotCount; ++s) {
      if (!index.SlotKeepsKeys(uint8_t(s))) continue;
      const TIndexDescriptor& d = index.Descriptor(uint8_t(s));
      if (s != kSysDeletedSlot && d.FieldCount == 0) continue;
      TKeyList keys;
      keys.reserve(size_t(s == kSysDeletedSlot ? slots : report.LiveRecords));
      for (int32_t n = 1; n <= slots; ++n) {
        const uint8_t* rec = slot(n);
        if (s == kSysDeletedSlot) {
          BuildSysDeletedKey(rec, key.data());
        } else {
          if (rec[0] != 0) continue;
          BuildIndexKey(uint8_t(s), d, fields.data(), fields.size(), rec, header.LanguageId, header.SortId, key.data());
        }
        keys.emplace_back(std::vector<uint8_t>(key.begin(), key.begin() + d.KeyLength), uint32_t(n));
      }
      std::stable_sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
        return index.CompareKeys(a.first.data(), b.first.data(), &d, d.Descending, d.KeyLength) < 0;
      });
      for (size_t i = 1; i < keys.size(); ++i)
        if (index.CompareKeys(keys[i - 1].first.data(), keys[i].first.data(), &d, d.Descending, d.KeyLength) == 0)
          throw EMaintenanceError("index " + Cp1251ToUtf8(index.IndexDisplayName(uint8_t(s))) + ": records " +
                           std::to_string(keys[i - 1].second) + " and " + std::to_string(keys[i].second) +
                           " have the same key; the index cannot be rebuilt until one of them is changed");
      index.BulkLoadSlot(uint8_t(s), keys);
      ++report.Indexes;
    }
    index.AdjustLiveRecordCount(report.LiveRecords - index.LiveRecordCount());
    index.WriteHeader(true);
    index.FlushPages();
    // The new file must be sound before it replaces the old one.
    TIndexCheckOptions options;
    options.RecordSlots = slots;
    options.ReadRecord = [&](int32_t n, uint8_t& status, int32_t& id) {
      if (n < 1 || n > slots) return false;
      status = slot(n)[0];
      id = LoadI32(slot(n) + kRecordIdOffset);
      return true;
    };
    index.CloseIndexFile();
    // The new file is opened again as a reader would open it (its header
    // within its limits) and checked before it replaces the old one.
    TIndexFile fresh(&owner);
    fresh.SetReadOnly(true);
    fresh.SetFileName(tempBase);
    fresh.OpenIndexFile(false);
    const std::vector<std::string> faults = CheckIndexFile(fresh, options);
    fresh.CloseIndexFile();
    if (!faults.empty()) throw EMaintenanceError("the new index file failed its check: " + Cp1251ToUtf8(faults.front()));
  } catch (const fw::Exception& e) {
    throw EMaintenanceError(EngineErrorText(e));
  }
  if (!SyncFile(remover.Name)) throw EMaintenanceError("cannot flush " + remover.Name);
  std::error_code ec;
  fs::rename(remover.Name, oldIndexName, ec);
  if (ec) throw EMaintenanceError("cannot rename " + remover.Name + " to " + oldIndexName + ": " + ec.message());
  remover.Keep = true;
  report.IndexFileName = oldIndexName;
  guard.CloseFile();
  return report;
}

}  // namespace tabula
