#include "tools/tabula/record_builder.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tabula/field_types.h"
#include "tabula/locale.h"
#include "framework/core/exceptions.h"
#include "tools/tabula/table_reader.h"
#include "tools/tabula/value_text.h"

namespace tabula::tool {

TRecordBuilder::TRecordBuilder(TDataFile& table, const std::vector<TCsvField>& header, std::string csvName)
    : table_(table), csvName_(std::move(csvName)) {
  const std::filesystem::path p(csvName_);
  csvDir_ = p.has_parent_path() ? p.parent_path().string() : ".";
  const auto& fields = table_.Descriptors(TDescSet::kWorking);
  const uint16_t lang = table_.Header().LanguageId, sort = table_.Header().SortId;
  std::vector<int> columnOfField(fields.size() + 1, 0);
  for (size_t c = 0; c < header.size(); ++c) {
    const TCsvField& cell = header[c];
    int found = 0;
    for (size_t k = 0; k < fields.size() && !found; ++k)
      if (CompareStrings(lang, sort, fields[k].Name, true, 0, cell.Text) == 0) found = int(k) + 1;
    if (!found) Fail(cell, "'" + Cp1251ToUtf8(cell.Text) + "' is not a field of " + table_.FileName());
    if (columnOfField[size_t(found)])
      Fail(cell, "field '" + Cp1251ToUtf8(fields[size_t(found - 1)].Name) + "' is named twice (also column " +
                     std::to_string(columnOfField[size_t(found)]) + ")");
    if (fields[size_t(found - 1)].Computed) Fail(cell, "field '" + Cp1251ToUtf8(cell.Text) + "' is computed");
    columnOfField[size_t(found)] = int(c) + 1;
    fieldOfColumn_.push_back(found);
  }
  value_.resize(256);
}

int TRecordBuilder::ColumnOfField(int fieldNo) const {
  for (size_t c = 0; c < fieldOfColumn_.size(); ++c)
    if (fieldOfColumn_[c] == fieldNo) return int(c) + 1;
  return 0;
}

void TRecordBuilder::Fail(const TCsvField& cell, const std::string& reason) const {
  throw ECsvError(csvName_, cell.Line, cell.Column, reason);
}

void TRecordBuilder::Build(const std::vector<TCsvField>& row, std::vector<uint8_t>& buffer,
                           std::vector<TPendingBlob>& blobs) {
  blobs.clear();
  if (row.size() != fieldOfColumn_.size()) {
    const TCsvField& where = row.size() > fieldOfColumn_.size() ? row[fieldOfColumn_.size()] : row.back();
    Fail(where, "the row has " + std::to_string(row.size()) + " fields, the header " +
                    std::to_string(fieldOfColumn_.size()));
  }
  buffer.assign(size_t(table_.RecordSize()), 0);
  table_.InitRecord(buffer.data());
  const auto& fields = table_.Descriptors(TDescSet::kWorking);
  std::vector<uint8_t> data;
  for (size_t c = 0; c < row.size(); ++c) {
    const TCsvField& cell = row[c];
    const int fieldNo = fieldOfColumn_[c];
    const TFieldDesc& f = fields[size_t(fieldNo - 1)];
    const std::string prefix = "field " + Cp1251ToUtf8(f.Name) + ": ";
    try {
      if (f.IsAutoIncrement()) {
        if (!cell.IsNull()) ParseFieldValue(f, cell.Text, data);  // checked, not stored
        continue;
      }
      if (cell.IsNull()) {
        table_.SetField(TDescSet::kWorking, fieldNo, nullptr, false, buffer.data());
        continue;
      }
      if (f.FieldType == kFldBlob) {
        TPendingBlob blob;
        blob.FieldNo = fieldNo;
        if (IsTextBlob(f)) {
          blob.Bytes.assign(cell.Text.begin(), cell.Text.end());
        } else if (cell.Text.rfind("file:", 0) == 0) {
          std::filesystem::path path(cell.Text.substr(5));
          if (path.is_relative()) path = std::filesystem::path(csvDir_) / path;
          std::ifstream in(path, std::ios::binary);
          if (!in) Fail(cell, prefix + "cannot read " + path.string());
          blob.Bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } else if (!HexDecode(cell.Text, blob.Bytes)) {
          Fail(cell, prefix + "not hexadecimal bytes or file:PATH");
        }
        table_.SetField(TDescSet::kWorking, fieldNo, nullptr, false, buffer.data());
        if (!blob.Bytes.empty()) blobs.push_back(std::move(blob));
        continue;
      }
      ParseFieldValue(f, cell.Text, data);
      table_.SetField(TDescSet::kWorking, fieldNo, data.data(), false, buffer.data());
    } catch (const EValueError& e) {
      Fail(cell, prefix + Cp1251ToUtf8(e.what()));
    } catch (const fw::Exception& e) {
      Fail(cell, prefix + EngineErrorText(e));
    }
  }
}

}  // namespace tabula::tool
