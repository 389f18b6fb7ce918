#pragma once
// `tabula rebuild-indexes`: the engine's rebuild of a table's index file
// from its records (tabula/index_rebuilder.h), with the tool's passwords
// and errors.

#include <string>

#include "tabula/index_rebuilder.h"

namespace tabula::tool {

class TTablePassword;

using ::tabula::TRebuildReport;

// Raises EToolError when the table cannot be rebuilt (the data file is
// damaged, the old header is unreadable or describes an index out of its
// limits, a unique index meets duplicate keys, the table is in use); an
// enciphered table takes its password from `password` (10498 without it).
TRebuildReport RebuildIndexes(const std::string& path, TTablePassword& password);

}  // namespace tabula::tool
