#pragma once
// A consistency check of a blob file: the header, the free chain and the
// chain of every blob the table's records refer to. Each fault found is one
// line of text; an empty list means the file is sound. The check reads
// through the blob file's block cache, so it sees blocks not yet written;
// it changes nothing.

#include <cstdint>
#include <string>
#include <vector>

namespace tabula {

class TBlobFile;

// A blob field of a live record and the reference stored in it.
struct TBlobReference {
  int32_t RecordNo = 0;
  int FieldNo = 0;
  int32_t Offset = 0;  // first block; 0 = no blob
};

struct TBlobCheckOptions {
  // Report blocks that belong neither to the free chain nor to any blob
  // (only meaningful when the references of every record are given).
  bool ReportLostBlocks = true;
  // Compare the file's length with EndOfBlocks (after everything is written).
  bool CheckFileSize = true;
};

// Checks an open blob file. Never raises for damage it finds; file errors
// (a failed read) are raised as usual.
std::vector<std::string> CheckBlobFile(TBlobFile& file, const std::vector<TBlobReference>& references,
                                       const TBlobCheckOptions& options = {});

}  // namespace tabula
