#include "tabula/table_creator.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>

#include "engine/blob_block.h"
#include "engine/blob_file.h"
#include "tabula/data_file.h"
#include "tabula/data_header.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/field_values.h"
#include "tabula/file_handler.h"
#include "engine/index_format.h"
#include "tabula/locale.h"
#include "engine/os_file.h"
#include "engine/scramble.h"

namespace tabula {

namespace {

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// Letters of Windows-1251: ASCII, Cyrillic (0xC0..0xFF) and Ё/ё.
bool IsLetter(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 0xC0 || c == 0xA8 || c == 0xB8;
}

bool SameName(const std::string& a, const std::string& b) { return SameTextIgnoringCase(a, b); }

// A file written whole under a temporary name beside its final name.
struct TPendingFile {
  std::string FinalName;
  std::string TempName;
  std::vector<uint8_t> Bytes;
};

std::string TempNameFor(const std::string& finalName) {
  static std::atomic<uint32_t> counter{0};
  std::random_device device;
  return finalName + ".~" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
         std::to_string(device() & 0xFFFFFF) + ".tmp";
}

void WriteWholeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  TFileHandler file;
  file.SetExclusive(true);
  file.SetFileName(name);
  file.CreateNewFile();
  try {
    if (!bytes.empty()) file.WriteBytes(bytes.data(), int32_t(bytes.size()));
    file.FlushFile();
  } catch (...) {
    file.CloseFile();
    throw;
  }
  file.CloseFile();
}

void RemoveQuietly(const std::string& name) {
  if (OsFileExists(name)) OsDeleteFile(name);
}

}  // namespace

std::vector<TFieldDesc> CheckFieldDefs(const std::vector<TFieldDef>& defs, uint16_t languageId, uint16_t sortId,
                                       bool assignOffsets, const std::string& fileName) {
  const TLocaleFormats formats = LoadLocaleFormats(false, languageId, sortId);
  std::vector<TFieldDesc> result;
  result.reserve(defs.size());
  bool autoIncrementSeen = false;
  for (size_t i = 0; i < defs.size(); ++i) {
    const TFieldDef& def = defs[i];
    TFieldDesc d;
    std::string name = Trim(def.Name);
    if (name.size() > kFieldNameMax) name.resize(kFieldNameMax);
    name = Trim(name);
    if (name.empty() || !IsLetter(uint8_t(name[0]))) RaiseEngineError(kErrFieldName, fileName, def.Name);
    for (const TFieldDesc& other : result)
      if (SameName(other.Name, name)) RaiseEngineError(kErrFieldName, fileName, name);
    d.Name = name;
    d.FieldNo = def.FieldNo != 0 ? def.FieldNo : int16_t(i + 1);
    for (const TFieldDesc& other : result)
      if (other.FieldNo == d.FieldNo) RaiseEngineError(kErrFieldDefinition, fileName, name);
    d.FieldType = def.AutoIncrement ? uint8_t(kFldInt32) : def.FieldType;
    d.SubType = def.AutoIncrement ? uint8_t(kSubAutoInc) : def.SubType;
    // Only the types this system knows are created; the null type never is.
    if (d.FieldType == kFldNone || d.FieldType > kFldVarBytes) RaiseEngineError(kErrFieldDefinition, fileName, name);
    if (d.IsAutoIncrement()) {
      // One record ID per record: a second auto-increment field would show
      // the same bytes.
      if (autoIncrementSeen) RaiseEngineError(kErrFieldDefinition, fileName, name);
      autoIncrementSeen = true;
    }
    if (HasDeclaredSize(d.FieldType)) {
      if (def.Size > kMaxDeclaredSize) RaiseEngineError(kErrFieldDefinition, fileName, name);
      d.Size = def.Size;
    } else {
      d.Size = 0;
    }
    d.Scale = d.FieldType == kFldBcd ? def.Scale : 0;
    d.Required = def.Required ? 1 : 0;
    for (const std::string* text : {&def.MinValue, &def.MaxValue, &def.DefaultValue}) {
      if (text->size() > kFieldValueTextMax || !IsValidFieldText(*text, d.FieldType, formats))
        RaiseEngineError(kErrValidityCheck, fileName, name, *text);
    }
    d.MinValue = def.MinValue;
    d.MaxValue = def.MaxValue;
    d.DefaultValue = def.DefaultValue;
    if (def.Computed) {
      // A computed field needs its expression; the auto-increment field is
      // the record ID and cannot be computed.
      if (def.Expression.empty() || def.Expression.size() > kFieldExpressionMax)
        RaiseEngineError(kErrValidityCheck, fileName, name, def.Expression);
      if (d.IsAutoIncrement()) RaiseEngineError(kErrFieldDefinition, fileName, name);
      d.Computed = 1;
      d.Expression = def.Expression;
    }
    d.DeriveDataSize();
    result.push_back(std::move(d));
  }
  // Descriptor k is field number k.
  std::sort(result.begin(), result.end(), [](const TFieldDesc& a, const TFieldDesc& b) { return a.FieldNo < b.FieldNo; });
  for (size_t k = 0; k < result.size(); ++k)
    if (result[k].FieldNo != int(k + 1)) RaiseEngineError(kErrFieldDefinition, fileName, result[k].Name);
  if (assignOffsets) {
    int running = int(kRecordHeaderSize);
    for (TFieldDesc& d : result) {
      if (d.IsAutoIncrement()) {
        d.Offset = kRecordIdOffset;
      } else if (d.Computed != 0) {
        d.Offset = 0;
      } else {
        if (running > 0xFFFF) RaiseEngineError(kErrRecordSize, fileName, d.Name);
        d.Offset = uint16_t(running);
        running += d.DataSize + 1;
      }
    }
    if (running > 0xFFFF) RaiseEngineError(kErrRecordSize, fileName);
  }
  return result;
}

namespace {

// The descriptor of one index, checked against the table's fields.
TIndexDescriptor BuildIndexDescriptor(const TIndexDef& def, bool secondary, const std::vector<TFieldDesc>& fields,
                                      const std::string& fileName) {
  TIndexDescriptor d;
  if (secondary) {
    std::string name = Trim(def.Name);
    if (name.empty()) RaiseEngineError(kErrIndexNameMissing, fileName, {}, {}, def.Name);
    if (name.size() > size_t(kMaxIndexNameLength) || SameName(name, kSysDeletedName))
      RaiseEngineError(kErrInvalidIndexName, fileName, {}, {}, name);
    d.Name = name;
  }
  if (def.Fields.empty()) RaiseEngineError(kErrIndexFieldNumber, fileName, {}, {}, def.Name);
  if (def.Fields.size() > size_t(kMaxKeyFields)) RaiseEngineError(kErrIndexLimits, fileName, {}, {}, def.Name);
  if (def.Compression > kCompressBoth) RaiseEngineError(kErrIndexLimits, fileName, {}, {}, def.Name);
  d.Descending = def.Descending;
  d.CaseInsensitive = def.CaseInsensitive;
  d.Unique = !secondary || def.Unique;
  d.Compression = def.Compression;
  d.FieldCount = uint8_t(def.Fields.size());
  int keyLength = 0;
  for (size_t i = 0; i < def.Fields.size(); ++i) {
    const TFieldDesc* field = nullptr;
    for (const TFieldDesc& f : fields)
      if (SameName(f.Name, Trim(def.Fields[i]))) field = &f;
    if (field == nullptr) RaiseEngineError(kErrIndexFieldNumber, fileName, def.Fields[i], {}, def.Name);
    if (field->FieldType == kFldBlob || field->Computed != 0)
      RaiseEngineError(kErrIndexFieldType, fileName, field->Name, {}, def.Name);
    d.FieldNumbers[i] = uint16_t(field->FieldNo);
    d.FieldDescending[i] = (i < def.FieldDescending.size() && def.FieldDescending[i]) ? 1 : 0;
    keyLength += field->DataSize + 1;
  }
  if (secondary && !d.Unique) keyLength += kKeySuffixLength;
  // Keys are handled in fixed key buffers, and a node must hold two entries.
  if (keyLength > kKeyBufferSize || NodeCapacity(keyLength) < 2 || LeafCapacity(keyLength) < 2)
    RaiseEngineError(kErrKeySize, fileName, {}, {}, def.Name);
  d.KeyLength = uint16_t(keyLength);
  return d;
}

}  // namespace

void CreateTable(const std::string& path, const std::vector<TFieldDef>& fields, const std::vector<TIndexDef>& indexes,
                 const TTableOptions& options) {
  const std::string dataName = ResolveDataFileName(path);
  if (dataName.empty()) RaiseEngineError(kErrInvalidPath, path);
  const std::string indexName = CompanionFileName(dataName, ".IDX");
  const std::string blobName = CompanionFileName(dataName, ".BLB");

  if (options.LanguageId != 0 && !IsLocaleInstalled(options.LanguageId, options.SortId))
    RaiseEngineError(kErrLanguageDriver, dataName);
  if (fields.empty()) RaiseEngineError(kErrFieldDefinition, dataName);
  // Table cipher: the stored password holds at most 15 characters.
  if (options.Password.size() > kMaxPasswordLength) RaiseEngineError(kErrInvalidPassword, dataName);
  const bool enciphered = !options.Password.empty();
  if (fields.size() > 0xFFFF) RaiseEngineError(kErrFieldLimits, dataName);
  std::vector<TFieldDesc> descs = CheckFieldDefs(fields, options.LanguageId, options.SortId, true, dataName);

  int recordSize = int(kRecordHeaderSize);
  int16_t blobFields = 0;
  for (const TFieldDesc& d : descs) {
    if (!d.IsAutoIncrement() && d.Computed == 0) recordSize += d.DataSize + 1;
    if (d.FieldType == kFldBlob) ++blobFields;
  }
  if (recordSize > 0xFFFF) RaiseEngineError(kErrRecordSize, dataName);
  // Blob blocks: 0 (the default 512) or whole multiples of 512 up to the
  // largest size the header's 16 bits can state.
  if (options.BlobBlockSize != 0 && (options.BlobBlockSize % 512 != 0 || options.BlobBlockSize > 65024))
    RaiseEngineError(kErrBlobFieldsOrBlockSize, dataName);

  // Indexes: at most one primary, up to 30 secondaries with distinct names.
  TIndexHeader indexHeader = TIndexHeader::NewFile();
  bool hasPrimary = false;
  int secondaries = 0;
  std::vector<std::string> names;
  for (const TIndexDef& def : indexes) {
    if (def.Primary) {
      if (hasPrimary) RaiseEngineError(kErrPrimaryExists, dataName);
      indexHeader.Descriptors[kPrimarySlot] = BuildIndexDescriptor(def, false, descs, dataName);
      hasPrimary = true;
      continue;
    }
    if (secondaries == kMaxSecondaryIndexes) RaiseEngineError(kErrIndexLimits, dataName, {}, {}, def.Name);
    TIndexDescriptor d = BuildIndexDescriptor(def, true, descs, dataName);
    for (const std::string& other : names)
      if (SameName(other, d.Name)) RaiseEngineError(kErrIndexExists, dataName, {}, {}, d.Name);
    names.push_back(d.Name);
    indexHeader.Descriptors[size_t(++secondaries)] = d;
  }
  indexHeader.SecondaryCount = uint8_t(secondaries);
  indexHeader.NoPrimaryIndex = hasPrimary ? 0 : 1;

  // The data file: header and descriptors, no record slots.
  TDataHeader header;
  header.ChangeCounter = 1;
  header.BlobBlockSize = options.BlobBlockSize;
  header.FormatVersion = kDataFormatVersion;
  header.FirstFreeRecord = 0;
  header.NextRecordNo = 1;
  header.LastRecordID = 0;
  header.RecordSize = uint16_t(recordSize);
  header.FieldCount = uint16_t(descs.size());
  header.BlobFieldCount = blobFields;
  header.LastUpdated = HeaderTimestampNow();
  header.LanguageId = options.LanguageId;
  header.SortId = options.SortId;
  if (enciphered) {
    // Table cipher: the flag, the scrambled password; below, every block of
    // the three files goes through the record-key scramble.
    header.Encrypted = 1;
    ScramblePassword(options.Password, header.Raw.data() + kDhPassword);
  }
  std::vector<TPendingFile> files;
  TPendingFile dat{dataName, TempNameFor(dataName), {}};
  dat.Bytes.resize(kDataHeaderSize + kFieldDescSize * descs.size());
  header.Pack(dat.Bytes.data(), false);
  for (size_t k = 0; k < descs.size(); ++k) descs[k].Pack(dat.Bytes.data() + kDataHeaderSize + kFieldDescSize * k);
  if (enciphered) EncipherBlock(dat.Bytes.data() + kDataHeaderSize, kFieldDescSize * descs.size());
  files.push_back(std::move(dat));

  // The index file: the header page with every tree empty.
  TPendingFile idx{indexName, TempNameFor(indexName), std::vector<uint8_t>(kIndexHeaderSize)};
  indexHeader.ChangeCounter = 1;
  indexHeader.Pack(idx.Bytes.data());
  if (enciphered) EncipherBlock(idx.Bytes.data(), kIndexHeaderSize);
  files.push_back(std::move(idx));

  // The blob file: its header only, EndOfBlocks at the first block.
  if (blobFields != 0) {
    const auto empty = EmptyBlobHeader();
    TPendingFile blb{blobName, TempNameFor(blobName), std::vector<uint8_t>(empty.begin(), empty.end())};
    StoreU32(blb.Bytes.data() + kBhChangeCounter, 1);
    if (enciphered) EncipherBlock(blb.Bytes.data(), blb.Bytes.size());
    files.push_back(std::move(blb));
  }

  if (!options.Overwrite && OsFileExists(dataName)) RaiseEngineError(kErrAccessDenied, dataName);
  try {
    for (const TPendingFile& f : files) WriteWholeFile(f.TempName, f.Bytes);
  } catch (...) {
    for (const TPendingFile& f : files) RemoveQuietly(f.TempName);
    throw;
  }
  // Replace whatever table stood under these names (companions in any
  // letter case, and a blob file the new table no longer has), then move
  // the new files into place, the data file last.
  try {
    for (const std::string& old : {indexName, blobName, dataName}) {
      if (OsFileExists(old) && !OsDeleteFile(old)) RaiseEngineError(kErrDelete, old);
    }
    for (size_t i = files.size(); i-- > 0;) {
      if (!OsRenameFile(files[i].TempName, files[i].FinalName)) RaiseEngineError(kErrUnknownOs, files[i].FinalName);
    }
  } catch (...) {
    for (const TPendingFile& f : files) RemoveQuietly(f.TempName);
    throw;
  }
}

}  // namespace tabula
