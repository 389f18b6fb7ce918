#pragma once
// The session's in-memory file store. A TMemoryFile keeps its content in a
// buffer that grows and shrinks in steps of 65535 bytes; every operation on
// the store or its files runs under MemoryFileLock() (the callers in
// TFileHandler take it; the store's own calls take it too, it is recursive).
// Store calls return an in-memory handle number >= 1, or a negated engine
// error code.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tabula {

// Growth step of in-memory files (0xFFFF, not 65536).
inline constexpr int32_t kMemoryFileStep = 65535;

struct TMemoryLockEntry {
  int32_t First;
  int32_t Last;
  int32_t Length;
};

struct TMemoryHandleEntry {
  int32_t Handle;
  int32_t Position;
};

class TMemoryFile {
 public:
  explicit TMemoryFile(std::string name);
  ~TMemoryFile();
  TMemoryFile(const TMemoryFile&) = delete;
  TMemoryFile& operator=(const TMemoryFile&) = delete;

  // Size becomes n; the buffer is reallocated to n rounded up to a multiple
  // of 65535 when that differs from Capacity (0 frees it). Bytes beyond the
  // size always read as zero when the file grows again. False (nothing
  // changed) for a negative n or when memory is refused.
  bool SetSize(int32_t n);
  // A new handle at position 0; the lowest number not in use, from 1.
  int32_t AddHandle();
  void RemoveHandle(int32_t handle);
  int32_t ReadHandle(int32_t handle, void* buffer, int32_t count);
  // Writes at the handle's position, growing the file; a count of 0
  // truncates at the position. Returns the bytes written (0 on failure).
  int32_t WriteHandle(int32_t handle, const void* buffer, int32_t count);
  int32_t SeekHandle(int32_t handle, int32_t offset, int origin);
  // Byte-range locks without an owner: any overlap is refused, even through
  // the handle that holds the range.
  bool LockRegion(int32_t offset, int32_t length);
  bool UnlockRegion(int32_t offset, int32_t length);
  bool HasHandle(int32_t handle) const;

  // Unique among all memory files the process ever made; a handler keeps it
  // to find out whether its file still exists (FindLiveMemoryFile).
  const uint64_t Serial;
  bool OpenedExclusive = false;
  std::string Name;
  int32_t Size = 0;
  uint8_t* Data = nullptr;
  int32_t Capacity = 0;
  std::vector<TMemoryLockEntry> Locks;
  int32_t OpenCount = 0;
  std::vector<TMemoryHandleEntry> Handles;

 private:
  TMemoryHandleEntry* FindHandle(int32_t handle);
};

// The memory file with that serial, or null when it has been freed (its
// session went). Call under MemoryFileLock().
TMemoryFile* FindLiveMemoryFile(uint64_t serial);

class TMemoryFileList {
 public:
  TMemoryFileList() = default;
  ~TMemoryFileList();
  TMemoryFileList(const TMemoryFileList&) = delete;
  TMemoryFileList& operator=(const TMemoryFileList&) = delete;

  int32_t CreateMemoryFile(const std::string& name, TMemoryFile*& file);
  int32_t OpenMemoryFile(const std::string& name, TMemoryFile*& file, bool exclusive);
  bool DeleteMemoryFile(const std::string& name);
  // Refused while the file is open, and when another file has the new name.
  bool RenameMemoryFile(const std::string& name, const std::string& newName);
  int32_t CopyMemoryFile(TMemoryFile* source, int32_t sourceHandle, const std::string& destName);
  bool MemoryFileExists(const std::string& name);
  TMemoryFile* FindMemoryFile(const std::string& name);
  int32_t FileCount() const { return static_cast<int32_t>(Files.size()); }

  // Names compare trimmed of blanks and without regard to letter case
  // (Latin and Cyrillic letters of Windows-1251).
  static bool SameName(const std::string& a, const std::string& b);

  std::vector<std::unique_ptr<TMemoryFile>> Files;
};

}  // namespace tabula
