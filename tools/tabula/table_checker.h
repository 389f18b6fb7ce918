#pragma once
// `tabula check`: the engine's full structural check of a table's three
// files (tabula/table_checker.h), with the tool's passwords and errors.

#include <string>

#include "tabula/table_checker.h"

namespace tabula::tool {

class TTablePassword;

using ::tabula::TCheckReport;

// Checks the table whose data file is `path` (".DAT" added when missing);
// an enciphered table is checked deciphered, with its password from
// `password`. Raises EToolError only when the check cannot start (no data
// file, the table locked by a writer) and 10498 without its password.
TCheckReport CheckTable(const std::string& path, TTablePassword& password);
// The same without a password given.
TCheckReport CheckTable(const std::string& path);

}  // namespace tabula::tool
