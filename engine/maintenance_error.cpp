#include "tabula/maintenance_error.h"

#include "tabula/engine_error.h"
#include "tabula/file_session.h"

namespace tabula {

void RequireTablePassword(const TPasswordCheck& check, const std::string& storedPassword,
                          const std::string& fileName) {
  if (check) {
    check(storedPassword, fileName);
  } else if (!CurrentSession().SessionKnowsPassword(storedPassword)) {
    RaiseEngineError(kErrPasswordRequired, fileName);
  }
}

}  // namespace tabula
