#pragma once
// The full structural check of a table's three files (`tabula check`).
// It reads the files itself, so damage anywhere is reported line by line
// instead of stopping at the first error the engine raises:
//
//  - data file: header (version, computed size, locale, field count), each
//    field descriptor (numbers, types, widths, offsets, the record size),
//    the file length against the slot count;
//  - every record slot: status byte, slot link, record ID, null flags, NULL
//    fields holding data, strings without their terminating zero;
//  - the chain of free slots (in range, deleted slots only, no cycle, every
//    deleted slot on it when the table has a primary index);
//  - the index file, through the index checker (tree order, counts, links,
//    pages, free lists, "Sys Deleted" against the records), then each kept
//    index against the records: every live record once, with the key its
//    record gives, and nothing else;
//  - the blob file, through the blob checker (header, free chain, the chain
//    of every blob the records refer to).
//
// The table's read lock (the index file's shared lock) is held while the
// files are read, so no writer changes them under the check.

#include <cstdint>
#include <string>
#include <vector>

#include "tabula/maintenance_error.h"

namespace tabula {

struct TCheckReport {
  std::vector<std::string> Faults;  // one line each (UTF-8)
  int32_t LiveRecords = 0;
  int32_t Slots = 0;
  int IndexesCompared = 0;
  int32_t BlobsChecked = 0;
};

// Checks the table whose data file is `path` (".DAT" added when missing);
// an enciphered table is checked deciphered, after `password` accepts its
// stored password. Raises EMaintenanceError only when the check cannot start
// (no data file, the table locked by a writer), and what `password` raises.
TCheckReport CheckTable(const std::string& path, const TPasswordCheck& password);

}  // namespace tabula
