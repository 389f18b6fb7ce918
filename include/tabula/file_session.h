#pragma once
// The engine session (in-memory files, passwords, private directory, the
// context of the last engine error), the engine-wide entry calls and the
// engine allocator.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>

#include "tabula/memory_file.h"
#include "tabula/password_list.h"

namespace tabula {

// The code and the four parameters of the last engine error.
struct TErrorContext {
  uint16_t Code = 0;
  std::string FileName;
  std::string FieldName;
  std::string Text;
  std::string IndexName;
};

class TFileSession {
 public:
  TFileSession() = default;
  TFileSession(const TFileSession&) = delete;
  TFileSession& operator=(const TFileSession&) = delete;

  // Code 0 and four empty parameters.
  void ClearErrorContext();

  // Adds unless already present (and not empty).
  void AddSessionPassword(const std::string& text);
  void DropSessionPassword(const std::string& text);
  void ClearSessionPasswords();
  bool SessionKnowsPassword(const std::string& text) const;

  // The context of the last engine error, kept under the session's lock:
  // threads that share a session (the default one) raise errors without
  // tearing each other's strings; each reader gets a copy.
  void SetErrorContext(TErrorContext context);
  TErrorContext ErrorContext() const;
  uint16_t LastErrorCode() const { return ErrorContext().Code; }
  std::string ErrorFieldName() const { return ErrorContext().FieldName; }
  std::string ErrorFileName() const { return ErrorContext().FileName; }
  std::string ErrorText() const { return ErrorContext().Text; }
  std::string ErrorIndexName() const { return ErrorContext().IndexName; }

  std::string PrivateDirectory;
  TMemoryFileList MemoryFiles;
  TPasswordList Passwords;

 private:
  mutable std::mutex errorLock_;
  TErrorContext error_;
};

// Once per process; later calls do nothing. Makes the default session current.
void InitializeEngine();
// Frees the default session and clears the current one; does nothing when
// not initialised. Sessions made by NewSession stay their owners' to free.
void ShutdownEngine();
bool EngineInitialized();
// The current session; 10758 when the engine is not initialised.
TFileSession& CurrentSession();
// The current session, or null when the engine is not initialised.
TFileSession* CurrentSessionOrNull();
void SetCurrentSession(TFileSession* session);
TFileSession* NewSession();
// Null does nothing; the default session is never freed here. Freeing the
// current session makes the default session current again.
void FreeSession(TFileSession* session);
// On the current session; 10758 when not initialised.
void SetPrivateDirectory(const std::string& text);
std::string GetPrivateDirectory();

// Engine allocator: zero-filled blocks; a refusal for a positive size raises
// 11016. EngineAlloc(0) gives null. EngineRealloc keeps the contents and
// zero-fills the growth; a size of 0 frees and gives null. Blocks from these
// calls are freed only with EngineFree.
void* EngineAlloc(std::size_t bytes);
void* EngineRealloc(void* pointer, std::size_t bytes);
void EngineFreePointer(void* pointer);
// Frees and sets the reference to null; null does nothing.
template <class T>
void EngineFree(T*& pointer) {
  EngineFreePointer(const_cast<void*>(static_cast<const void*>(pointer)));
  pointer = nullptr;
}

[[noreturn]] void RaiseOutOfMemory();

// Runs f; a std::bad_alloc leaving it becomes engine error 11016. For the
// engine's entry points, so that callers see only engine errors.
template <class F>
decltype(auto) EngineBoundary(F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory();
  }
}

}  // namespace tabula
