#pragma once
// Invariant checker for index files: walks every tree and free list of an
// open TIndexFile (buffered changes included) and reports each fault as one
// line of text. Used by the tests after randomized runs and by the tabula
// command-line tool ("check").
//
// Checked: page types and levels, key order under the index's comparison
// (within pages and across leaves), node entries equal to the first key of
// their child's subtree and counting its leaf entries, level links, entry
// capacities and packed sizes of compressed leaves, every page inside the
// file and used once, free lists disjoint from the trees, key totals against
// the header's live record count, and, when the data file's records are
// given, the "Sys Deleted" index against the records' status and ID.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/index_file.h"

namespace tabula {

struct TIndexCheckOptions {
  // Record slots of the data file; negative = unknown (record numbers and
  // "Sys Deleted" are then not compared with the data file).
  int32_t RecordSlots = -1;
  // Reads record n's status byte and record ID; false when it cannot.
  std::function<bool(int32_t recNo, uint8_t& status, int32_t& recordId)> ReadRecord;
  // Compare the key totals of the kept indexes with LiveRecordCount.
  bool CheckLiveCount = true;
};

std::vector<std::string> CheckIndexFile(TIndexFile& file, const TIndexCheckOptions& options = {});

// The limits of one index definition, read before anything is built on it:
// name length (the stored length byte) at most 30, 1 to 16 key fields, a
// compression code 0 to 3, a key length a page can hold (a node at least
// two entries) and, when the owner knows the table's fields, key fields the
// table has (no blob fields) and the key length those fields give. The
// "Sys Deleted" slot must have its fixed 5-byte key. One line per fault.
std::vector<std::string> CheckIndexDefinition(uint8_t slot, const TIndexDescriptor& desc, uint8_t storedNameLength,
                                              const TIndexFileOwner* owner);

// CheckIndexDefinition for every slot of a header that keeps keys and
// describes an index (the secondary count first).
std::vector<std::string> CheckIndexDefinitions(const TIndexHeader& header, const TIndexFileOwner* owner);

// The limits of an index file header: the version, the secondary count,
// EndOfFile a page boundary inside the file (fileSize < 0: not known), a
// live record count that is not negative, and for every slot that keeps
// keys its definition and root and free-list offsets that name pages of
// the file. A slot whose 120 descriptor bytes are all zero holds no index.
std::vector<std::string> CheckIndexHeader(const TIndexHeader& header, int64_t fileSize, const TIndexFileOwner* owner);

class TDataFile;
// Checks the index file of an open table, "Sys Deleted" against its records.
std::vector<std::string> CheckIndexFile(TDataFile& table);

}  // namespace tabula
