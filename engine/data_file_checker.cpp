#include "engine/data_file_checker.h"

#include <algorithm>
#include <unordered_map>

#include "tabula/byte_order.h"
#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "tabula/field_types.h"
#include "engine/index_checker.h"
#include "engine/index_file.h"
#include "tabula/locale.h"
#include "engine/scramble.h"

namespace tabula {

bool CheckDataHeaderBlock(const uint8_t* bytes, size_t size, TDataHeader& header, const TFaultSink& fault) {
  if (size < kDataHeaderSize) {
    fault("the file (" + std::to_string(size) + " bytes) is shorter than its 127-byte header");
    return false;
  }
  header = TDataHeader::Unpack(bytes);
  if (header.FormatVersion != kDataFormatVersion)
    fault("format version " + std::to_string(header.FormatVersion) + ", expected 3");
  if (header.ComputedSize != 0) fault("header computed size " + std::to_string(header.ComputedSize) + ", expected 0");
  if (header.LanguageId != 0 && !IsLocaleInstalled(header.LanguageId, header.SortId))
    fault("language " + std::to_string(header.LanguageId) + " sort " + std::to_string(header.SortId) +
          " is not an installed locale");
  if (header.FieldCount == 0) {
    fault("the header declares no fields");
    return false;
  }
  if (size < kDataHeaderSize + kFieldDescSize * header.FieldCount) {
    fault("the file is too short for its " + std::to_string(header.FieldCount) + " field descriptors");
    return false;
  }
  if (header.Encrypted && bytes[kDhPassword] > kMaxPasswordLength) {
    fault("stored password length " + std::to_string(bytes[kDhPassword]) + " is above 15");
    return false;
  }
  return true;
}

bool CheckDataLayout(const uint8_t* bytes, size_t size, const TDataHeader& header, std::vector<TFieldDesc>& fields,
                     int32_t& slots, const TFaultSink& fault) {
  bool ok = header.FormatVersion == kDataFormatVersion;
  if (header.NextRecordNo < 1) {
    fault("next record number " + std::to_string(header.NextRecordNo) + " is below 1");
    ok = false;
  }
  fields.clear();
  slots = 0;
  int expectedOffset = int(kRecordHeaderSize);
  int blobFields = 0, autoIncFields = 0;
  for (int k = 1; k <= header.FieldCount; ++k) {
    TFieldDesc d = TFieldDesc::Unpack(bytes + kDataHeaderSize + kFieldDescSize * size_t(k - 1));
    // A damaged length byte may have taken the zero bytes after the name in.
    const std::string where = "field " + std::to_string(k) + " (" + d.Name.substr(0, d.Name.find('\0')) + ")";
    if (const std::string overlong = d.OverlongText(); !overlong.empty()) {
      fault(where + ": " + overlong + ", more than the descriptor holds");
      ok = false;
    }
    if (d.FieldNo != k) {
      fault(where + ": field number " + std::to_string(d.FieldNo) + ", expected " + std::to_string(k));
      ok = false;
    }
    if (d.FieldType == kFldNone || d.FieldType > kFldVarBytes) {
      fault(where + ": unknown field type " + std::to_string(d.FieldType));
      ok = false;
    }
    const int width = FieldDataSize(d.FieldType, d.Size);
    if (width > 255 || (HasDeclaredSize(d.FieldType) && d.Size > kMaxDeclaredSize)) {
      fault(where + ": size " + std::to_string(d.Size) + " is too large");
      ok = false;
    }
    d.DeriveDataSize();
    if (d.FieldType == kFldBlob) ++blobFields;
    if (d.Computed) {
      if (d.Offset != 0) fault(where + ": a computed field at offset " + std::to_string(d.Offset) + ", expected 0");
    } else if (d.IsAutoIncrement()) {
      if (++autoIncFields > 1) fault(where + ": a second auto-increment field");
      if (d.Offset != kRecordIdOffset) {
        fault(where + ": auto-increment field at offset " + std::to_string(d.Offset) + ", expected 5");
        ok = false;
      }
    } else {
      if (d.Offset != expectedOffset) {
        fault(where + ": offset " + std::to_string(d.Offset) + ", expected " + std::to_string(expectedOffset));
        ok = false;
      }
      expectedOffset += width + 1;
    }
    fields.push_back(std::move(d));
  }
  if (expectedOffset != header.RecordSize) {
    fault("record size " + std::to_string(header.RecordSize) + ", the fields need " + std::to_string(expectedOffset));
    ok = false;
  }
  if (blobFields != header.BlobFieldCount)
    fault("the header counts " + std::to_string(header.BlobFieldCount) + " blob fields, the descriptors " +
          std::to_string(blobFields));
  if (!ok) return false;
  const int64_t areaStart = int64_t(kDataHeaderSize + kFieldDescSize * fields.size());
  const int64_t expected = areaStart + int64_t(header.RecordSize) * (header.NextRecordNo - 1);
  slots = header.NextRecordNo - 1;
  if (int64_t(size) != expected) {
    fault("file length " + std::to_string(size) + ", expected " + std::to_string(expected) + " for " +
          std::to_string(slots) + " record slots");
    // The slots that are whole in the file are still checked.
    slots = int32_t(std::min<int64_t>(slots, (int64_t(size) - areaStart) / header.RecordSize));
  }
  return true;
}

TDataSlots CheckDataRecords(const TDataHeader& header, const std::vector<TFieldDesc>& fields, int32_t slots,
                            const TSlotReader& slot, const TFaultSink& fault) {
  TDataSlots out;
  out.Status.assign(size_t(slots) + 1, 0);
  out.Ids.assign(size_t(slots) + 1, 0);
  std::unordered_map<int32_t, int32_t> idOwner;
  idOwner.reserve(size_t(slots));
  for (int32_t n = 1; n <= slots; ++n) {
    const uint8_t* rec = slot(n);
    const std::string where = "record " + std::to_string(n);
    out.Status[size_t(n)] = rec[0];
    out.Ids[size_t(n)] = LoadI32(rec + kRecordIdOffset);
    if (rec[0] > 1) {
      fault(where + ": status byte " + std::to_string(rec[0]) + " (expected 0 live or 1 deleted)");
      continue;
    }
    if (rec[0] == 1) continue;
    ++out.LiveRecords;
    const uint32_t link = LoadU32(rec + 1);
    if (link != uint32_t(n)) fault(where + ": slot link " + std::to_string(link) + " in a live record");
    const int32_t id = out.Ids[size_t(n)];
    if (auto [it, fresh] = idOwner.emplace(id, n); !fresh)
      fault(where + ": record ID " + std::to_string(id) + " is also the ID of record " + std::to_string(it->second));
    if (id > header.LastRecordID && header.LastRecordID > 0)
      fault(where + ": record ID " + std::to_string(id) + " above the last handed out (" +
            std::to_string(header.LastRecordID) + ")");
    for (const TFieldDesc& f : fields) {
      if (f.Computed || f.IsAutoIncrement()) continue;
      const uint8_t flag = rec[f.Offset];
      const uint8_t* data = rec + f.Offset + 1;
      const std::string field = where + ", field " + f.Name;
      if (flag > 1) {
        fault(field + ": null flag " + std::to_string(flag));
      } else if (flag == 0) {
        if (std::any_of(data, data + f.DataSize, [](uint8_t b) { return b != 0; })) fault(field + ": NULL but holds data");
      } else if (f.FieldType == kFldString && data[f.DataSize - 1] != 0) {
        fault(field + ": text without its terminating zero");
      } else if (f.FieldType == kFldBoolean && LoadU16(data) > 1) {
        fault(field + ": boolean value " + std::to_string(LoadU16(data)));
      }
    }
  }
  return out;
}

void CheckFreeSlotChain(const TDataHeader& header, const TDataSlots& slots, const TSlotReader& slot,
                        bool everyDeletedOnChain, const TFaultSink& fault) {
  const int32_t count = int32_t(slots.Status.size()) - 1;
  std::vector<bool> onChain(size_t(count) + 1, false);
  uint32_t n = header.FirstFreeRecord;
  uint32_t previous = 0;
  while (n != 0) {
    const std::string from = previous ? "slot " + std::to_string(previous) : "the header";
    if (n > uint32_t(count)) {
      fault("free-slot chain: " + from + " links to slot " + std::to_string(n) + ", beyond the last slot");
      break;
    }
    if (onChain[n]) {
      fault("free-slot chain: a cycle at slot " + std::to_string(n));
      break;
    }
    onChain[n] = true;
    if (slots.Status[n] != 1) {
      fault("free-slot chain: " + from + " links to slot " + std::to_string(n) + ", which is not deleted");
      break;
    }
    previous = n;
    n = LoadU32(slot(int32_t(n)) + 1);
  }
  // With a primary index every deleted slot waits on the chain; in
  // physical order deleted slots are never reused and may drop off it.
  if (!everyDeletedOnChain) return;
  for (int32_t k = 1; k <= count; ++k)
    if (slots.Status[size_t(k)] == 1 && !onChain[size_t(k)])
      fault("free-slot chain: deleted slot " + std::to_string(k) + " is not on the chain");
}

std::vector<TBlobReference> CollectBlobReferences(const std::vector<TFieldDesc>& fields, const TDataSlots& slots,
                                                  const TSlotReader& slot, const TFaultSink& fault) {
  std::vector<TBlobReference> refs;
  for (int32_t n = 1; n < int32_t(slots.Status.size()); ++n) {
    if (slots.Status[size_t(n)] != 0) continue;
    const uint8_t* rec = slot(n);
    for (const TFieldDesc& f : fields) {
      if (f.FieldType != kFldBlob || f.Computed || rec[f.Offset] != 1) continue;
      const int32_t ref = LoadI32(rec + f.Offset + 1);
      if (ref < 0) {
        fault("record " + std::to_string(n) + ", field " + f.Name +
              ": holds an open-blob handle instead of a blob reference");
        continue;
      }
      if (ref != 0) refs.push_back(TBlobReference{n, f.FieldNo, ref});
    }
  }
  return refs;
}

std::vector<std::string> CheckTableFiles(TDataFile& table) {
  std::vector<std::string> faults;
  const TFaultSink fault = [&faults](const std::string& text) { faults.push_back(text); };
  // Under the read lock no other program changes the table meanwhile; taking
  // it brings this handle up to date.
  const bool held = table.ReadLockHeld();
  if (!held) table.TakeReadLock();
  struct TRelease {
    TDataFile& Table;
    bool Held;
    ~TRelease() {
      if (!Held && Table.ReadLockHeld()) Table.ReleaseReadLock();
    }
  } release{table, held};

  std::vector<uint8_t> copy(size_t(table.StoredRecordSize()), 0);
  const TSlotReader slot = [&table, &copy](int32_t recNo) -> const uint8_t* {
    TRecord* record = nullptr;
    if (!table.GetRecord(uint32_t(recNo), true, kReadForward, false, record) || record == nullptr)
      std::fill(copy.begin(), copy.end(), uint8_t(0xFF));  // reported as a bad status byte
    else
      std::copy_n(record->Data(), copy.size(), copy.begin());
    table.ReleaseRecord(record);
    return copy.data();
  };
  const std::vector<TFieldDesc>& fields = table.Descriptors(TDescSet::kFile);
  const TDataSlots slots = CheckDataRecords(table.Header(), fields, table.NextRecordNo() - 1, slot, fault);
  CheckFreeSlotChain(table.Header(), slots, slot, !table.IndexFile().NoPrimaryIndex(), fault);

  TIndexCheckOptions options;
  options.RecordSlots = int32_t(slots.Status.size()) - 1;
  options.ReadRecord = [&slots](int32_t n, uint8_t& status, int32_t& id) {
    if (n < 1 || n >= int32_t(slots.Status.size())) return false;
    status = slots.Status[size_t(n)];
    id = slots.Ids[size_t(n)];
    return true;
  };
  for (const std::string& f : CheckIndexFile(table.IndexFile(), options)) faults.push_back(f);
  const std::vector<TBlobReference> refs = CollectBlobReferences(fields, slots, slot, fault);
  if (table.HasBlobFile())
    for (const std::string& f : CheckBlobFile(table.BlobFile(), refs)) faults.push_back(f);
  return faults;
}

}  // namespace tabula
