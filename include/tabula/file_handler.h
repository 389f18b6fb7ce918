#pragma once
// TFileHandler: one table file, on disk or in the session's in-memory store.
// The data, index and blob files derive from it; they override ResolveName
// (to give names their own extension), OpenFile, CloseFile and CreateNewFile
// and call the base versions inside theirs.
//
// Calling order: set InMemory, Exclusive, ReadOnly, WriteThrough and the name
// while the file is closed, then OpenFile or CreateNewFile, then reads,
// writes and locks, then CloseFile. Every failure is raised through
// RaiseEngineError with the handler's FileName as the file parameter.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tabula {

class TMemoryFile;

// Seek origins of SeekFile.
enum : int { kSeekStart = 0, kSeekCurrent = 1, kSeekEnd = 2 };

// Open mode byte for disk files: bits 0..1 access, bits 4..7 sharing.
// The engine uses only these four.
enum : uint8_t {
  kOpenExclusiveRead = 0x10,
  kOpenExclusiveReadWrite = 0x12,
  kOpenSharedRead = 0x40,
  kOpenSharedReadWrite = 0x42,
};

// Size of the chunks CopyTo moves, and of the in-memory growth step.
inline constexpr int32_t kCopyChunkSize = 65535;

// Counters of the work a handler has done since it was made (or since
// ResetStats); other layers read them to check their buffering, e.g. one
// file read per read-ahead block.
struct TFileStats {
  uint64_t ReadCalls = 0;     // ReadBytes calls
  uint64_t BytesRead = 0;     // bytes ReadBytes returned
  uint64_t WriteCalls = 0;    // WriteBytes calls with a nonzero count
  uint64_t BytesWritten = 0;  // bytes WriteBytes wrote
  uint64_t TruncateCalls = 0; // WriteBytes calls with count 0
  uint64_t SeekCalls = 0;     // SeekFile calls (QueryFileSize included)
  uint64_t FlushCalls = 0;    // FlushFile calls
  uint64_t LockCalls = 0;     // LockRange calls that locked (Exclusive included)
  uint64_t UnlockCalls = 0;   // LockRange calls that unlocked
};

class TFileHandler {
 public:
  TFileHandler();
  // Destroying an open handler closes it first (base close only: a derived
  // class that must write something back closes itself in its destructor).
  virtual ~TFileHandler();
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;

  // Maps a name given by the caller to the stored form; the base copies it.
  virtual std::string ResolveName(const std::string& name);
  // Opens the existing file (no-op when open). Missing file: 11010. A disk
  // file that is not writable by this user opens read-only and sets
  // ReadOnlyByAttribute. A failed open leaves the handler closed.
  virtual void OpenFile();
  // Closes the file; closing a closed file does nothing.
  virtual void CloseFile();
  // Creates (replacing) the file and leaves it open. 10031 when open, 10253
  // when Exclusive is clear.
  virtual void CreateNewFile();
  // Deletes the closed file: 10031 when open, 9220 when refused.
  virtual void RemoveFile();
  // Renames the closed file to ResolveName(newName): 10031 when open, 11047
  // when refused; on success FileName is the new name.
  virtual void RenameTo(const std::string& newName);
  // Copies the open file to destName (created, replaced); nothing when closed.
  virtual void CopyTo(const std::string& destName);
  // Reads at the current position; fewer than count bytes raise 9217 unless
  // allowShort. Returns the bytes read.
  virtual int32_t ReadBytes(void* buffer, int32_t count, bool allowShort);
  // Reads at `offset` as ReadBytes would after seeking there, in one system
  // call on a disk file; the position afterwards is not defined (the next
  // positioned access seeks).
  int32_t ReadAt(int64_t offset, void* buffer, int32_t count, bool allowShort);
  // Writes at the current position; a short write raises 9218. A count of 0
  // truncates the file at the current position.
  virtual void WriteBytes(const void* buffer, int32_t count);
  // Flushes the system's buffers of a disk file to the device.
  virtual void FlushFile();

  // Locks or unlocks one byte range; never blocks, never raises. With
  // Exclusive set it succeeds at once. Locks belong to this handler: a second
  // handler on the same file, in this or another process, is refused an
  // overlapping range; so is this handler itself (an overlapping second lock
  // fails, and only a range locked exactly as given can be unlocked).
  bool LockRange(int32_t offset, int32_t length, bool lock);
  // Moves the position; origin kSeekStart, kSeekCurrent or kSeekEnd. Returns
  // the new position, or -1 when the system refuses (or the file is closed).
  int32_t SeekFile(int32_t offset, int origin);
  // Seeks to the end and returns the position (the file size).
  int32_t QueryFileSize();
  // Whether a file of this name exists (disk: a regular file, names matched
  // as the platform layer does; in memory: in the current session's store).
  bool Exists();

  // Mode setters: no-op for an unchanged value, 10031 while open.
  void SetInMemory(bool value);
  void SetExclusive(bool value);
  void SetReadOnly(bool value);
  void SetFileName(const std::string& name);  // stores ResolveName(name)
  // Ignored while open.
  void SetWriteThrough(bool value);

  // Engine code for a system error; a disk file uses the platform layer's
  // last error whatever code is passed.
  uint16_t MapOsError(int code) const;
  // The fixed system error -> engine code table.
  static uint16_t MapSystemError(int systemCode);

  // Field reads.
  bool InMemory() const { return inMemory_; }
  // The open in-memory file, or null (closed, on disk, or freed with its session).
  TMemoryFile* MemoryFile() const;
  const std::string& FileName() const { return fileName_; }
  int32_t Handle() const { return handle_; }
  bool Exclusive() const { return exclusive_; }
  bool ReadOnly() const { return readOnly_; }
  bool ReadOnlyByAttribute() const { return readOnlyByAttribute_; }
  bool IsOpen() const { return isOpen_; }
  bool WriteThrough() const { return writeThrough_; }

  const TFileStats& Stats() const { return stats_; }
  void ResetStats() { stats_ = TFileStats{}; }

 protected:
  // Raises `code` with this handler's FileName as the file parameter.
  [[noreturn]] void RaiseFileError(uint16_t code) const;

  bool inMemory_ = false;
  TMemoryFile* memoryFile_ = nullptr;  // not owned; set while an in-memory file is open
  uint64_t memorySerial_ = 0;          // its serial, to notice that it was freed
  std::string fileName_;
  int32_t handle_ = 0;                 // descriptor or in-memory handle number; 0 when closed
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool readOnlyByAttribute_ = false;
  bool isOpen_ = false;
  bool writeThrough_ = false;
  TFileStats stats_;

 private:
  void CloseHandle() noexcept;
  void AttachMemoryFile(const std::function<int32_t(TMemoryFile*&)>& attach);
  // Disk byte ranges this handler holds: first byte -> length (they never
  // overlap).
  std::map<int32_t, int32_t> heldRanges_;
  bool lockForWrite_ = false;  // the descriptor can take write locks
};

}  // namespace tabula
