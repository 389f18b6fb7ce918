#include "tabula/file_session.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tabula/engine_error.h"
#include "engine/engine_locks.h"

namespace tabula {

namespace {

// Engine-wide state, one per process.
struct TEngineState {
  std::mutex Lock;  // guards the three fields below against concurrent entry calls
  bool Initialized = false;
  TFileSession* Current = nullptr;
  TFileSession* Default = nullptr;
};

TEngineState& Engine() {
  static TEngineState state;
  return state;
}

// Each engine block carries its size in front, so that EngineRealloc can
// zero-fill exactly the bytes it adds. 16 bytes keep the block aligned.
struct alignas(16) TBlockHeader {
  std::size_t Size;
};
static_assert(sizeof(TBlockHeader) == 16);

TBlockHeader* HeaderOf(void* pointer) { return static_cast<TBlockHeader*>(pointer) - 1; }

}  // namespace

void TFileSession::ClearErrorContext() { SetErrorContext(TErrorContext{}); }

void TFileSession::SetErrorContext(TErrorContext context) {
  std::lock_guard<std::mutex> guard(errorLock_);
  error_ = std::move(context);
}

TErrorContext TFileSession::ErrorContext() const {
  std::lock_guard<std::mutex> guard(errorLock_);
  return error_;
}

void TFileSession::AddSessionPassword(const std::string& text) {
  if (!Passwords.HasPasswordEntry(text)) Passwords.AddPasswordEntry(text);
}

void TFileSession::DropSessionPassword(const std::string& text) { Passwords.RemovePasswordEntry(text); }

void TFileSession::ClearSessionPasswords() { Passwords.ClearPasswordEntries(); }

bool TFileSession::SessionKnowsPassword(const std::string& text) const { return Passwords.HasPasswordEntry(text); }

void InitializeEngine() {
  TEngineState& e = Engine();
  std::lock_guard guard(e.Lock);
  if (e.Initialized) return;
  // The two critical sections (MemoryFileLock, FormatSettingsLock) are
  // function-local statics that exist for the whole process.
  MemoryFileLock();
  FormatSettingsLock();
  e.Default = new TFileSession;
  e.Current = e.Default;
  e.Initialized = true;
}

void ShutdownEngine() {
  TEngineState& e = Engine();
  TFileSession* dead = nullptr;
  {
    std::lock_guard guard(e.Lock);
    if (!e.Initialized) return;
    dead = e.Default;
    e.Default = nullptr;
    e.Current = nullptr;
    e.Initialized = false;
  }
  std::lock_guard memoryGuard(MemoryFileLock());
  delete dead;
}

bool EngineInitialized() {
  TEngineState& e = Engine();
  std::lock_guard guard(e.Lock);
  return e.Initialized;
}

TFileSession* CurrentSessionOrNull() {
  TEngineState& e = Engine();
  std::lock_guard guard(e.Lock);
  return e.Initialized ? e.Current : nullptr;
}

TFileSession& CurrentSession() {
  TFileSession* session = CurrentSessionOrNull();
  if (session == nullptr) RaiseEngineError(kErrNotInitialized);
  return *session;
}

void SetCurrentSession(TFileSession* session) {
  TEngineState& e = Engine();
  std::lock_guard guard(e.Lock);
  if (!e.Initialized) return;
  e.Current = session != nullptr ? session : e.Default;
}

TFileSession* NewSession() {
  try {
    return new TFileSession;
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory();
  }
}

void FreeSession(TFileSession* session) {
  if (session == nullptr) return;
  TEngineState& e = Engine();
  {
    std::lock_guard guard(e.Lock);
    if (session == e.Default) return;
    if (session == e.Current) e.Current = e.Default;
  }
  std::lock_guard memoryGuard(MemoryFileLock());
  delete session;
}

void SetPrivateDirectory(const std::string& text) {
  CurrentSession().PrivateDirectory = text.size() > 255 ? text.substr(0, 255) : text;
}

std::string GetPrivateDirectory() { return CurrentSession().PrivateDirectory; }

void RaiseOutOfMemory() { RaiseEngineError(kErrOutOfMemory); }

void* EngineAlloc(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  if (bytes > SIZE_MAX - sizeof(TBlockHeader)) RaiseOutOfMemory();
  auto* header = static_cast<TBlockHeader*>(std::calloc(1, sizeof(TBlockHeader) + bytes));
  if (header == nullptr) RaiseOutOfMemory();
  header->Size = bytes;
  return header + 1;
}

void* EngineRealloc(void* pointer, std::size_t bytes) {
  if (pointer == nullptr) return EngineAlloc(bytes);
  if (bytes == 0) {
    EngineFreePointer(pointer);
    return nullptr;
  }
  if (bytes > SIZE_MAX - sizeof(TBlockHeader)) RaiseOutOfMemory();
  TBlockHeader* old = HeaderOf(pointer);
  std::size_t oldSize = old->Size;
  auto* header = static_cast<TBlockHeader*>(std::realloc(old, sizeof(TBlockHeader) + bytes));
  if (header == nullptr) RaiseOutOfMemory();  // the old block stays valid
  if (bytes > oldSize) std::memset(reinterpret_cast<char*>(header + 1) + oldSize, 0, bytes - oldSize);
  header->Size = bytes;
  return header + 1;
}

void EngineFreePointer(void* pointer) {
  if (pointer == nullptr) return;
  std::free(HeaderOf(pointer));
}

}  // namespace tabula
