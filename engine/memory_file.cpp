#include "tabula/memory_file.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "tabula/engine_error.h"
#include "engine/engine_locks.h"
#include "tabula/file_session.h"
#include "tabula/windows1251.h"

namespace tabula {

namespace {

// Largest size a memory file can take: its capacity must stay a whole
// multiple of 65535 that fits in 32 bits.
constexpr int64_t kMaxMemoryFileSize = (INT32_MAX / kMemoryFileStep) * int64_t{kMemoryFileStep};

// Every memory file that exists, by serial (under MemoryFileLock).
std::unordered_map<uint64_t, TMemoryFile*>& LiveFiles() {
  static std::unordered_map<uint64_t, TMemoryFile*> files;
  return files;
}

uint64_t NextSerial() {
  static uint64_t serial = 0;
  return ++serial;
}

std::string Trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// A name is usable when its last component, cut before its last '.' and
// trimmed, is not empty.
bool UsableName(const std::string& name) {
  size_t slash = name.find_last_of("\\/");
  std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
  size_t dot = leaf.rfind('.');
  if (dot != std::string::npos) leaf.resize(dot);
  return !Trim(leaf).empty();
}

}  // namespace

TMemoryFile* FindLiveMemoryFile(uint64_t serial) {
  std::lock_guard guard(MemoryFileLock());
  auto it = LiveFiles().find(serial);
  return it == LiveFiles().end() ? nullptr : it->second;
}

TMemoryFile::TMemoryFile(std::string name) : Serial([] {
  std::lock_guard guard(MemoryFileLock());
  return NextSerial();
}()), Name(std::move(name)) {
  std::lock_guard guard(MemoryFileLock());
  LiveFiles()[Serial] = this;
}

TMemoryFile::~TMemoryFile() {
  std::lock_guard guard(MemoryFileLock());
  LiveFiles().erase(Serial);
  EngineFree(Data);
}

bool TMemoryFile::SetSize(int32_t n) {
  std::lock_guard guard(MemoryFileLock());
  if (n < 0 || n > kMaxMemoryFileSize) return false;
  int64_t need = (int64_t{n} + kMemoryFileStep - 1) / kMemoryFileStep * kMemoryFileStep;
  if (need != Capacity) {
    if (need == 0) {
      EngineFree(Data);
    } else {
      Data = static_cast<uint8_t*>(EngineRealloc(Data, static_cast<size_t>(need)));
    }
    Capacity = static_cast<int32_t>(need);
  }
  // Bytes dropped from the end are cleared, so that growing again within the
  // same capacity shows zeros, as a disk file does.
  if (n < Size && Data != nullptr) std::memset(Data + n, 0, static_cast<size_t>(std::min(Size, Capacity) - n));
  Size = n;
  return true;
}

TMemoryHandleEntry* TMemoryFile::FindHandle(int32_t handle) {
  for (TMemoryHandleEntry& e : Handles) {
    if (e.Handle == handle) return &e;
  }
  return nullptr;
}

bool TMemoryFile::HasHandle(int32_t handle) const {
  return std::any_of(Handles.begin(), Handles.end(), [&](const TMemoryHandleEntry& e) { return e.Handle == handle; });
}

int32_t TMemoryFile::AddHandle() {
  std::lock_guard guard(MemoryFileLock());
  int32_t handle = 1;
  while (HasHandle(handle)) ++handle;
  Handles.push_back({handle, 0});
  ++OpenCount;
  return handle;
}

void TMemoryFile::RemoveHandle(int32_t handle) {
  std::lock_guard guard(MemoryFileLock());
  auto it = std::find_if(Handles.begin(), Handles.end(), [&](const TMemoryHandleEntry& e) { return e.Handle == handle; });
  if (it == Handles.end()) return;
  Handles.erase(it);
  --OpenCount;
  // With no handle left nobody can hold a lock: a table closed while holding
  // one must not leave the file locked for every later open.
  if (OpenCount == 0) Locks.clear();
}

int32_t TMemoryFile::ReadHandle(int32_t handle, void* buffer, int32_t count) {
  std::lock_guard guard(MemoryFileLock());
  TMemoryHandleEntry* e = FindHandle(handle);
  if (e == nullptr || count <= 0 || e->Position < 0 || e->Position > Size) return 0;
  int32_t n = std::min(count, Size - e->Position);
  if (n > 0) std::memcpy(buffer, Data + e->Position, static_cast<size_t>(n));
  e->Position += n;
  return n;
}

int32_t TMemoryFile::WriteHandle(int32_t handle, const void* buffer, int32_t count) {
  std::lock_guard guard(MemoryFileLock());
  TMemoryHandleEntry* e = FindHandle(handle);
  if (e == nullptr || count < 0 || e->Position < 0) return 0;
  if (count == 0) {
    SetSize(e->Position);
    return 0;
  }
  int64_t end = int64_t{e->Position} + count;
  if (end > kMaxMemoryFileSize) return 0;
  if (end > Size && !SetSize(static_cast<int32_t>(end))) return 0;
  std::memcpy(Data + e->Position, buffer, static_cast<size_t>(count));
  e->Position += count;
  return count;
}

int32_t TMemoryFile::SeekHandle(int32_t handle, int32_t offset, int origin) {
  std::lock_guard guard(MemoryFileLock());
  TMemoryHandleEntry* e = FindHandle(handle);
  if (e == nullptr) return 0;
  int64_t pos;
  switch (origin) {
    case 0: pos = offset; break;
    case 1: pos = int64_t{e->Position} + offset; break;
    case 2: pos = int64_t{Size} + offset; break;
    default: return -1;
  }
  if (pos < INT32_MIN || pos > INT32_MAX) return -1;
  e->Position = static_cast<int32_t>(pos);
  return e->Position;
}

bool TMemoryFile::LockRegion(int32_t offset, int32_t length) {
  std::lock_guard guard(MemoryFileLock());
  int64_t last = int64_t{offset} + length - 1;
  for (const TMemoryLockEntry& e : Locks) {
    if ((e.First <= offset && offset <= e.Last) || (offset <= e.First && e.First <= last)) return false;
  }
  Locks.push_back({offset, static_cast<int32_t>(last), length});
  return true;
}

bool TMemoryFile::UnlockRegion(int32_t offset, int32_t length) {
  std::lock_guard guard(MemoryFileLock());
  auto it = std::find_if(Locks.begin(), Locks.end(),
                         [&](const TMemoryLockEntry& e) { return e.First == offset && e.Length == length; });
  if (it == Locks.end()) return false;
  Locks.erase(it);
  return true;
}

TMemoryFileList::~TMemoryFileList() {
  std::lock_guard guard(MemoryFileLock());
  Files.clear();
}

bool TMemoryFileList::SameName(const std::string& a, const std::string& b) {
  return SameTextIgnoringCase(Trim(a), Trim(b));
}

TMemoryFile* TMemoryFileList::FindMemoryFile(const std::string& name) {
  std::lock_guard guard(MemoryFileLock());
  for (auto& f : Files) {
    if (SameName(f->Name, name)) return f.get();
  }
  return nullptr;
}

int32_t TMemoryFileList::OpenMemoryFile(const std::string& name, TMemoryFile*& file, bool exclusive) {
  std::lock_guard guard(MemoryFileLock());
  TMemoryFile* f = FindMemoryFile(name);
  if (f == nullptr) return -kErrInvalidPath;
  if (f->OpenCount > 0 && (f->OpenedExclusive || exclusive)) return -kErrAccessDenied;
  if (f->OpenCount == 0) f->OpenedExclusive = exclusive;
  file = f;
  return f->AddHandle();
}

int32_t TMemoryFileList::CreateMemoryFile(const std::string& name, TMemoryFile*& file) {
  std::lock_guard guard(MemoryFileLock());
  if (!UsableName(name)) return -kErrInvalidPath;
  TMemoryFile* f = FindMemoryFile(name);
  if (f != nullptr) {
    if (f->OpenCount > 0) return -kErrAccessDenied;
    f->SetSize(0);
  } else {
    Files.push_back(std::make_unique<TMemoryFile>(name));
    f = Files.back().get();
  }
  f->OpenedExclusive = true;
  file = f;
  return f->AddHandle();
}

bool TMemoryFileList::DeleteMemoryFile(const std::string& name) {
  std::lock_guard guard(MemoryFileLock());
  auto it = std::find_if(Files.begin(), Files.end(), [&](const auto& f) { return SameName(f->Name, name); });
  if (it == Files.end() || (*it)->OpenCount > 0) return false;
  Files.erase(it);
  return true;
}

bool TMemoryFileList::RenameMemoryFile(const std::string& name, const std::string& newName) {
  std::lock_guard guard(MemoryFileLock());
  TMemoryFile* f = FindMemoryFile(name);
  if (f == nullptr || f->OpenCount > 0 || !UsableName(newName)) return false;
  TMemoryFile* other = FindMemoryFile(newName);
  if (other != nullptr && other != f) return false;
  f->Name = newName;
  return true;
}

int32_t TMemoryFileList::CopyMemoryFile(TMemoryFile* source, int32_t sourceHandle, const std::string& destName) {
  std::lock_guard guard(MemoryFileLock());
  TMemoryFile* dest = nullptr;
  int32_t destHandle = CreateMemoryFile(destName, dest);
  if (destHandle < 0) return destHandle;
  // The destination's handle goes whatever happens (a refused allocation raises).
  struct TCloser {
    TMemoryFile* File;
    int32_t Handle;
    ~TCloser() { File->RemoveHandle(Handle); }
  } closer{dest, destHandle};
  source->SeekHandle(sourceHandle, 0, 0);
  std::vector<uint8_t> chunk(kMemoryFileStep);
  for (;;) {
    int32_t n = source->ReadHandle(sourceHandle, chunk.data(), kMemoryFileStep);
    if (n > 0) dest->WriteHandle(destHandle, chunk.data(), n);
    if (n < kMemoryFileStep) break;
  }
  return 0;
}

bool TMemoryFileList::MemoryFileExists(const std::string& name) { return FindMemoryFile(name) != nullptr; }

}  // namespace tabula
