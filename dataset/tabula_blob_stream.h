#pragma once
// TTabulaBlobStream: a byte stream over one blob field of a table dataset's
// record buffer (the buffer the dataset's state chooses for field access).
// Reading needs no edit; writing needs the dataset in edit or insert state
// and a field that may be modified. The engine keeps the blob open in the
// record buffer while the stream lives; a blob that was written stays open
// there until the record is posted or the edit given up, and the field is
// then marked modified.

#include <cstdint>

#include "framework/data/data_set.h"
#include "framework/data/stream.h"

namespace fw {
class TBlobField;
}

namespace tabula::db {

class TTabulaDataSet;

class TTabulaBlobStream : public fw::TStream {
 public:
  // Raises the invalid-cast error when the field is not a blob field of a
  // table dataset, "Field '%s' cannot be modified" or "Dataset not in edit
  // or insert mode" for a writing mode that may not write, and the engine's
  // error when the blob cannot be opened.
  TTabulaBlobStream(fw::TField& field, fw::TBlobStreamMode mode);
  ~TTabulaBlobStream() override;
  TTabulaBlobStream(const TTabulaBlobStream&) = delete;
  TTabulaBlobStream& operator=(const TTabulaBlobStream&) = delete;

  // Bytes read from the current position (0 once past the end or when the
  // stream has no record).
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  // Origin beginning, current or end (the blob's size); the position may
  // lie beyond the end. Returns the new position.
  int32_t Seek(int32_t offset, fw::TSeekOrigin origin) override;
  // Cuts the blob at the current position.
  void Truncate();

  bool Opened() const { return opened_; }
  bool Modified() const { return modified_; }
  int32_t Position() const { return position_; }

 private:
  fw::TBlobField& field_;
  TTabulaDataSet& dataSet_;
  int fieldNo_;
  uint8_t* buffer_ = nullptr;
  bool opened_ = false;
  bool modified_ = false;
  int32_t position_ = 0;
};

}  // namespace tabula::db
