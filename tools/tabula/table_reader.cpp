#include "tools/tabula/table_reader.h"

#include <cstring>
#include <sstream>

#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/locale.h"
#include "framework/core/exceptions.h"
#include "tools/tabula/csv.h"
#include "tools/tabula/value_text.h"

namespace tabula::tool {

std::string OpenErrorText(const std::exception& error, const TTablePassword& password) {
  std::string text = EngineErrorText(error);
  const auto* engine = dynamic_cast<const ETabulaEngineError*>(&error);
  if (engine && engine->Code() == kErrPasswordRequired && password.GivenTried())
    text += " (the password given is not the table's)";
  return text;
}

TTableReader::TTableReader(const std::string& path, TTablePassword& password) : data_(std::make_unique<TDataFile>()) {
  try {
    data_->SetReadOnly(true);
    data_->SetFileName(path);
    password.Attach(*data_);
    data_->SetMessageCallback([this](const std::string& text) { messages_.push_back(Cp1251ToUtf8(text)); });
    data_->Open();
    // One consistent state for the whole command: writers wait until the
    // reader is gone (they retry, then give up with a lock error).
    data_->TakeReadLock();
  } catch (const fw::Exception& e) {
    throw EToolError(OpenErrorText(e, password));
  }
}

TTableReader::~TTableReader() {
  try {
    data_->ReleaseReadLock();
    data_->Close();
  } catch (...) {
  }
}

void TTableReader::ForEach(const TReadOrder& order,
                           const std::function<bool(uint32_t recNo, const uint8_t* buffer)>& visit) {
  try {
    if (order.IndexName.empty()) {
      if (order.FromKey) throw EUsageError("--from needs --index");
      ForEachPhysical(order.Limit, visit);
    } else {
      ForEachIndexed(order, visit);
    }
  } catch (const fw::Exception& e) {
    throw EToolError(EngineErrorText(e));
  }
}

void TTableReader::ForEachPhysical(int64_t limit, const std::function<bool(uint32_t, const uint8_t*)>& visit) {
  const int32_t slots = SlotCount();
  int64_t count = 0;
  for (int32_t recNo = 1; recNo <= slots && (limit < 0 || count < limit); ++recNo) {
    TRecord* record = nullptr;
    // The read lock is held, so no other program can change the table and
    // the read never has to start over.
    if (!data_->GetRecord(uint32_t(recNo), true, kReadForward, false, record) || !record)
      throw EToolError(FileName() + ": record " + std::to_string(recNo) + " could not be read");
    const uint8_t status = record->Data()[0];
    if (status > kRecordDeleted) {
      data_->ReleaseRecord(record);
      throw EToolError(FileName() + ": record " + std::to_string(recNo) + ": status byte " + std::to_string(status) +
                       " is neither live (0) nor deleted (1); the table is damaged (run tabula check)");
    }
    const bool live = status == kRecordLive;
    bool more = true;
    try {
      if (live) {
        ++count;
        more = visit(uint32_t(recNo), record->Data());
      }
    } catch (...) {
      data_->ReleaseRecord(record);
      throw;
    }
    data_->ReleaseRecord(record);
    if (!more) break;
  }
}

void TTableReader::ForEachIndexed(const TReadOrder& order, const std::function<bool(uint32_t, const uint8_t*)>& visit) {
  TDataFile& data = *data_;
  std::string name = Utf8ToCp1251(order.IndexName);
  std::string lower = order.IndexName;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  if (lower == "primary" || lower == "<primary>") name.clear();
  try {
    data.SelectIndex(name);
  } catch (const ETabulaEngineError& e) {
    if (e.Code() != kErrInvalidIndexName) throw;
    throw EToolError("table " + FileName() + " has no index named '" + order.IndexName + "'");
  }
  std::vector<uint8_t> buffer(size_t(data.RecordSize()), 0);
  int rc = 0;
  if (order.FromKey) {
    const TIndexDescriptor desc = data.GetIndexDesc(data.CurrentIndex());
    if (data.PhysicalOrder()) throw EUsageError("--from needs an index with keys, not physical order");
    std::istringstream in(*order.FromKey);
    TCsvReader reader(in, "--from", TTextEncoding::kUtf8);
    std::vector<TCsvField> values;
    if (!reader.ReadRow(values)) values.clear();
    if (values.size() > desc.FieldCount)
      throw EUsageError("--from has " + std::to_string(values.size()) + " values; the index has " +
                        std::to_string(desc.FieldCount) + " key fields");
    data.InitRecord(buffer.data());
    std::vector<uint8_t> value;
    for (size_t k = 0; k < values.size(); ++k) {
      const int fieldNo = desc.FieldNumbers[k];
      const TFieldDesc& field = Fields().at(size_t(fieldNo - 1));
      if (values[k].IsNull()) {
        data.SetField(TDescSet::kWorking, fieldNo, nullptr, false, buffer.data());
        continue;
      }
      try {
        ParseFieldValue(field, values[k].Text, value);
      } catch (const EValueError& e) {
        throw EUsageError("--from, field " + Cp1251ToUtf8(field.Name) + ": " + Cp1251ToUtf8(e.what()));
      }
      data.SetField(TDescSet::kWorking, fieldNo, value.data(), false, buffer.data());
    }
    std::vector<uint8_t> key(kKeyBufferSize, 0);
    data.BuildKey(buffer.data(), key.data());
    data.FindKey(key.data(), int(values.size()), 0, true);
    rc = data.ReadCurrent(buffer.data(), false);
  } else {
    data.GotoFirst();
    rc = data.ReadNext(buffer.data());
  }
  int64_t count = 0;
  while (rc == kResultOk && (order.Limit < 0 || count < order.Limit)) {
    ++count;
    const uint32_t recNo = LoadU32(buffer.data() + 1);
    if (!visit(recNo, buffer.data())) break;
    rc = data.ReadNext(buffer.data());
  }
}

std::vector<uint8_t> TTableReader::ReadBlob(const uint8_t* buffer, int fieldNo, uint32_t recNo) {
  std::vector<uint8_t> out;
  const TFieldDesc& field = Fields().at(size_t(fieldNo - 1));
  if (data_->GetField(TDescSet::kWorking, fieldNo, buffer, nullptr)) return out;  // NULL
  auto fail = [&](int code) {
    TErrorParams params;
    params.FileName = data_->HasBlobFile() ? data_->BlobFileName() : FileName();
    throw EToolError(FileName() + ": record " + std::to_string(recNo) + ", field " + Cp1251ToUtf8(field.Name) + ": " +
                     Cp1251ToUtf8(BuildEngineMessage(uint16_t(code), params)) + " (a damaged value)");
  };
  scratch_.assign(buffer, buffer + data_->RecordSize());
  try {
    int code = data_->OpenBlob(fieldNo, scratch_.data(), kBlobModeRead);
    if (code != kResultOk) fail(code);
    int32_t size = 0;
    code = data_->GetBlobSize(fieldNo, scratch_.data(), size);
    if (code == kResultOk && size > 0) {
      out.resize(size_t(size));
      int32_t got = 0;
      code = data_->ReadBlob(fieldNo, scratch_.data(), 0, size, out.data(), got);
      if (code == kResultOk && got != size) code = kErrRead;
    }
    const int freed = data_->FreeBlob(fieldNo, scratch_.data());
    if (code != kResultOk) fail(code);
    if (freed != kResultOk) fail(freed);
  } catch (const fw::Exception& e) {
    throw EToolError(FileName() + ": record " + std::to_string(recNo) + ", field " + Cp1251ToUtf8(field.Name) + ": " +
                     EngineErrorText(e));
  }
  return out;
}

}  // namespace tabula::tool
