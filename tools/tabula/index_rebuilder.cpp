#include "tools/tabula/index_rebuilder.h"

#include "tools/tabula/table_password.h"
#include "tools/tabula/tool_error.h"

namespace tabula::tool {

TRebuildReport RebuildIndexes(const std::string& path, TTablePassword& password) {
  try {
    return ::tabula::RebuildIndexes(path, PasswordCheckOf(password));
  } catch (const EMaintenanceError& e) {
    throw EToolError(e.what());
  }
}

}  // namespace tabula::tool
