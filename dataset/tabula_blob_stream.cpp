#include "dataset/tabula_blob_stream.h"

#include "dataset/tabula_data_set.h"
#include "tabula/blob_modes.h"
#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "framework/data/data_errors.h"
#include "framework/data/standard_fields.h"

namespace tabula::db {

namespace {

fw::TBlobField& BlobFieldOf(fw::TField& field) {
  auto* blob = dynamic_cast<fw::TBlobField*>(&field);
  if (blob == nullptr) throw fw::EInvalidCast("Invalid class typecast");
  return *blob;
}

TTabulaDataSet& TableDataSetOf(fw::TField& field) {
  auto* dataSet = dynamic_cast<TTabulaDataSet*>(field.DataSet());
  if (dataSet == nullptr) throw fw::EInvalidCast("Invalid class typecast");
  return *dataSet;
}

}  // namespace

TTabulaBlobStream::TTabulaBlobStream(fw::TField& field, fw::TBlobStreamMode mode)
    : field_(BlobFieldOf(field)), dataSet_(TableDataSetOf(field)), fieldNo_(field.FieldNo()) {
  if (!dataSet_.Cursor()) return;
  buffer_ = dataSet_.CurrentFieldBuffer();
  if (buffer_ == nullptr) return;
  const bool writing = mode != fw::TBlobStreamMode::kRead;
  if (!field_.Modified) {
    if (writing) {
      if (field_.ReadOnly) fw::DatabaseErrorFmt(fw::msg::kFieldReadOnly, {field_.DisplayName()});
      const fw::TDataSetState state = dataSet_.State();
      if (state != fw::TDataSetState::kEdit && state != fw::TDataSetState::kInsert)
        fw::DatabaseError(fw::msg::kNotEditing);
    }
    const int status = dataSet_.Cursor()->OpenBlob(fieldNo_, buffer_, writing ? kBlobModeWrite : kBlobModeRead);
    if (status != 0) dataSet_.RaiseStatus(status);
  }
  opened_ = true;
  if (mode == fw::TBlobStreamMode::kWrite) Truncate();
}

TTabulaBlobStream::~TTabulaBlobStream() {
  if (!opened_) return;
  try {
    if (modified_) field_.Modified = true;
    if (!field_.Modified) dataSet_.Cursor()->FreeBlob(fieldNo_, buffer_);
    if (modified_) dataSet_.DataEvent(fw::TDataEvent::kFieldChange, &field_);
  } catch (const std::exception& error) {
    fw::ApplicationHandleException(error);
  }
}

int32_t TTabulaBlobStream::Read(void* buffer, int32_t count) {
  if (!opened_ || count <= 0) return 0;
  int32_t got = 0;
  const int status = dataSet_.Cursor()->ReadBlob(fieldNo_, buffer_, position_, count, buffer, got);
  switch (status) {
    case 0:
    case kErrEndOfBlob: position_ += got; return got;
    case kErrBlobOffset: return got;  // the position lies beyond the end
    default: dataSet_.RaiseStatus(status);
  }
}

int32_t TTabulaBlobStream::Write(const void* buffer, int32_t count) {
  if (!opened_) return 0;
  if (count <= 0) return 0;
  const int status = dataSet_.Cursor()->WriteBlob(fieldNo_, buffer_, position_, count, buffer);
  if (status != 0) dataSet_.RaiseStatus(status);
  position_ += count;
  modified_ = true;
  return count;
}

int32_t TTabulaBlobStream::Seek(int32_t offset, fw::TSeekOrigin origin) {
  switch (origin) {
    case fw::TSeekOrigin::kBeginning: position_ = offset; break;
    case fw::TSeekOrigin::kCurrent: position_ += offset; break;
    case fw::TSeekOrigin::kEnd: {
      int32_t size = 0;
      if (opened_) {
        const int status = dataSet_.Cursor()->GetBlobSize(fieldNo_, buffer_, size);
        if (status != 0) dataSet_.RaiseStatus(status);
      }
      position_ = size + offset;
      break;
    }
  }
  return position_;
}

void TTabulaBlobStream::Truncate() {
  if (!opened_) return;
  const int status = dataSet_.Cursor()->TruncateBlob(fieldNo_, buffer_, position_);
  if (status != 0) dataSet_.RaiseStatus(status);
  modified_ = true;
}

// ---------------------------------------------------------------- the dataset's side

std::unique_ptr<TTabulaBlobStream> TTabulaDataSet::OpenBlobStream(fw::TField& field, fw::TBlobStreamMode mode) {
  return std::make_unique<TTabulaBlobStream>(field, mode);
}

std::unique_ptr<fw::TStream> TTabulaDataSet::CreateBlobStream(fw::TField& field, fw::TBlobStreamMode mode) {
  return OpenBlobStream(field, mode);
}

void TTabulaDataSet::ReleaseBlob(fw::TField& field) {
  uint8_t* buffer = ActiveBuffer();
  if (!cursor_ || buffer == nullptr || field.FieldNo() < 1) return;
  bool open = false;
  if (cursor_->IsBlobOpen(field.FieldNo(), buffer, open) == 0 && open) cursor_->FreeBlob(field.FieldNo(), buffer);
  if (auto* blob = dynamic_cast<fw::TBlobField*>(&field)) blob->Modified = false;
}

int32_t TTabulaDataSet::ReadBlobField(int fieldNo, std::vector<uint8_t>& bytes) {
  fw::TField* field = Fields().FieldByNumber(fieldNo);
  if (field == nullptr) throw fw::EInvalidCast("Invalid class typecast");
  TTabulaBlobStream stream(BlobFieldOf(*field), fw::TBlobStreamMode::kRead);
  const int32_t size = stream.Size();
  if (size > 0) {
    if (bytes.size() < size_t(size)) bytes.resize(size_t(size));
    stream.Read(bytes.data(), size);
  }
  return size;
}

}  // namespace tabula::db
