#pragma once
// Rebuilding a table's index file from its records (`tabula rebuild-indexes`).
// The index definitions are taken from the old index file's header; every
// tree is built anew, bottom up, from the keys of the live records (and the
// "Sys Deleted" keys of every slot), into a new index file under a temporary
// name. The new file is checked, flushed to disk and only then renamed over
// the old one, so the old index file stays in place until the new one is
// complete. The data file is held open exclusively meanwhile: no other
// program can open the table during the rebuild.

#include <cstdint>
#include <string>

#include "tabula/maintenance_error.h"

namespace tabula {

struct TRebuildReport {
  std::string IndexFileName;
  int Indexes = 0;  // trees built (Sys Deleted included)
  int32_t LiveRecords = 0;
  int32_t Slots = 0;
};

// Raises EMaintenanceError when the table cannot be rebuilt (the data file
// is damaged, the old header is unreadable or describes an index out of its
// limits, a unique index meets duplicate keys, the table is in use); an
// enciphered table's stored password goes to `password` first.
TRebuildReport RebuildIndexes(const std::string& path, const TPasswordCheck& password);

}  // namespace tabula
