#include "framework/data/data_errors.h"

#include <cstdio>
#include <mutex>

namespace fw {

void DatabaseError(const std::string& message) { throw EDatabaseError(message); }

void DatabaseErrorFmt(const char* pattern, std::initializer_list<std::string> args) {
  throw EDatabaseError(FormatMessage(pattern, args));
}

void ConvertErrorFmt(const char* pattern, std::initializer_list<std::string> args) {
  throw EConvertError(FormatMessage(pattern, args));
}

namespace {

struct THandlerSlot {
  std::mutex Lock;
  TExceptionHandler Handler;
};

THandlerSlot& Slot() {
  static THandlerSlot slot;
  return slot;
}

}  // namespace

void SetApplicationExceptionHandler(TExceptionHandler handler) {
  std::lock_guard guard(Slot().Lock);
  Slot().Handler = std::move(handler);
}

void ApplicationHandleException(const std::exception& error) {
  TExceptionHandler handler;
  {
    std::lock_guard guard(Slot().Lock);
    handler = Slot().Handler;
  }
  if (dynamic_cast<const EAbort*>(&error) != nullptr) return;
  if (handler) {
    handler(error);
    return;
  }
  std::fprintf(stderr, "%s\n", error.what());
}

}  // namespace fw
