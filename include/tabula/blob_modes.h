#pragma once
// The modes a blob field is opened in (TDataFile::OpenBlob).

namespace tabula {

inline constexpr int kBlobModeRead = 1;   // reading, and deleting a record
inline constexpr int kBlobModeWrite = 2;  // editing

}  // namespace tabula
