#include "tools/tabula/table_checker.h"

#include "tools/tabula/table_password.h"
#include "tools/tabula/tool_error.h"

namespace tabula::tool {

TCheckReport CheckTable(const std::string& path, TTablePassword& password) {
  try {
    return ::tabula::CheckTable(path, PasswordCheckOf(password));
  } catch (const EMaintenanceError& e) {
    throw EToolError(e.what());
  }
}

TCheckReport CheckTable(const std::string& path) {
  TTablePassword none;
  return CheckTable(path, none);
}

}  // namespace tabula::tool
