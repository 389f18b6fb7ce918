#include "tabula/file_handler.h"

#include <algorithm>
#include <climits>
#include <mutex>
#include <vector>

#include "tabula/engine_error.h"
#include "engine/engine_locks.h"
#include "tabula/file_session.h"
#include "tabula/memory_file.h"
#include "engine/os_file.h"

namespace tabula {

TFileHandler::TFileHandler() = default;

TFileHandler::~TFileHandler() {
  if (isOpen_ || handle_ != 0) CloseHandle();
}

void TFileHandler::RaiseFileError(uint16_t code) const { RaiseEngineError(code, fileName_); }

TMemoryFile* TFileHandler::MemoryFile() const {
  if (!inMemory_ || memoryFile_ == nullptr) return nullptr;
  return FindLiveMemoryFile(memorySerial_);
}

std::string TFileHandler::ResolveName(const std::string& name) { return name; }

// Opens or creates the in-memory file through `attach(file)`, which returns
// its handle or a negative error code, and takes it as this handler's file.
void TFileHandler::AttachMemoryFile(const std::function<int32_t(TMemoryFile*&)>& attach) {
  EngineBoundary([&] {
    std::lock_guard guard(MemoryFileLock());
    TMemoryFile* file = nullptr;
    const int32_t handle = attach(file);
    if (handle < 0) RaiseFileError(static_cast<uint16_t>(-handle));
    memoryFile_ = file;
    memorySerial_ = file->Serial;
    handle_ = handle;
    isOpen_ = true;
  });
}

void TFileHandler::OpenFile() {
  if (isOpen_) return;
  if (inMemory_) {
    readOnlyByAttribute_ = false;
    AttachMemoryFile([&](TMemoryFile*& file) {
      return CurrentSession().MemoryFiles.OpenMemoryFile(fileName_, file, exclusive_);
    });
    return;
  }
  if (!OsFileExists(fileName_)) RaiseFileError(kErrInvalidPath);
  readOnlyByAttribute_ = false;
  bool notWritable = false;
  if (!OsIsReadOnly(fileName_, notWritable)) RaiseFileError(MapOsError(0));
  if (notWritable) {
    readOnly_ = true;
    readOnlyByAttribute_ = true;
  }
  uint8_t mode = exclusive_ ? (readOnly_ ? kOpenExclusiveRead : kOpenExclusiveReadWrite)
                            : (readOnly_ ? kOpenSharedRead : kOpenSharedReadWrite);
  int fd = OsOpenFile(fileName_, mode, writeThrough_);
  if (fd < 0) RaiseFileError(MapOsError(0));
  handle_ = fd;
  lockForWrite_ = !readOnly_;
  isOpen_ = true;
}

void TFileHandler::CloseHandle() noexcept {
  if (inMemory_) {
    std::lock_guard guard(MemoryFileLock());
    if (handle_ > 0 && memoryFile_ != nullptr) {
      // The file may have gone with its session; then there is nothing to release.
      if (TMemoryFile* file = FindLiveMemoryFile(memorySerial_)) file->RemoveHandle(handle_);
    }
    memoryFile_ = nullptr;
    memorySerial_ = 0;
  } else if (handle_ > 0) {
    OsCloseFile(handle_);  // closing the descriptor frees its locks and its share mode
  }
  heldRanges_.clear();
  handle_ = 0;
  isOpen_ = false;
}

void TFileHandler::CloseFile() { CloseHandle(); }

void TFileHandler::CreateNewFile() {
  if (isOpen_) RaiseFileError(kErrInUse);
  if (!exclusive_) RaiseFileError(kErrMustBeExclusive);
  if (inMemory_) {
    AttachMemoryFile([&](TMemoryFile*& file) { return CurrentSession().MemoryFiles.CreateMemoryFile(fileName_, file); });
    return;
  }
  int fd = OsCreateFile(fileName_, writeThrough_);
  if (fd < 0) RaiseFileError(MapOsError(0));
  handle_ = fd;
  lockForWrite_ = true;
  isOpen_ = true;
}

void TFileHandler::RemoveFile() {
  if (isOpen_) RaiseFileError(kErrInUse);
  bool done;
  if (inMemory_) {
    std::lock_guard guard(MemoryFileLock());
    done = CurrentSession().MemoryFiles.DeleteMemoryFile(fileName_);
  } else {
    done = OsDeleteFile(fileName_);
  }
  if (!done) RaiseFileError(kErrDelete);
}

void TFileHandler::RenameTo(const std::string& newName) {
  if (isOpen_) RaiseFileError(kErrInUse);
  std::string target = ResolveName(newName);
  bool done;
  if (inMemory_) {
    std::lock_guard guard(MemoryFileLock());
    done = CurrentSession().MemoryFiles.RenameMemoryFile(fileName_, target);
  } else {
    done = OsRenameFile(fileName_, target);
  }
  if (!done) RaiseFileError(kErrUnknownOs);
  fileName_ = target;
}

void TFileHandler::CopyTo(const std::string& destName) {
  if (!isOpen_) return;
  if (inMemory_) {
    EngineBoundary([&] {
      std::lock_guard guard(MemoryFileLock());
      TMemoryFile* file = MemoryFile();
      if (file == nullptr) RaiseFileError(kErrRead);
      int32_t result = CurrentSession().MemoryFiles.CopyMemoryFile(file, handle_, destName);
      if (result < 0) RaiseFileError(static_cast<uint16_t>(-result));
    });
    return;
  }
  int dest = OsCreateFile(destName, false);
  if (dest < 0) RaiseFileError(MapOsError(0));
  struct TCloser {
    int Fd;
    ~TCloser() { OsCloseFile(Fd); }
  } closer{dest};
  std::vector<char> chunk = EngineBoundary([] { return std::vector<char>(kCopyChunkSize); });
  if (SeekFile(0, kSeekStart) != 0) RaiseFileError(kErrRead);
  for (;;) {
    int32_t n = ReadBytes(chunk.data(), kCopyChunkSize, true);
    if (n > 0 && OsWrite(dest, chunk.data(), n) != n) RaiseFileError(kErrWrite);
    if (n < kCopyChunkSize) break;
  }
}

int32_t TFileHandler::ReadBytes(void* buffer, int32_t count, bool allowShort) {
  ++stats_.ReadCalls;
  if (count <= 0) return 0;
  int32_t n;
  if (inMemory_) {
    std::lock_guard guard(MemoryFileLock());
    TMemoryFile* file = MemoryFile();
    if (file == nullptr) RaiseFileError(kErrRead);
    n = file->ReadHandle(handle_, buffer, count);
  } else {
    if (!isOpen_) RaiseFileError(kErrRead);
    int64_t got = OsRead(handle_, buffer, count);
    // A read error is an error even when a short read is allowed: it must
    // not look like the end of the file.
    if (got < 0) RaiseFileError(kErrRead);
    n = static_cast<int32_t>(got);
  }
  stats_.BytesRead += static_cast<uint64_t>(n);
  if (!allowShort && n < count) RaiseFileError(kErrRead);
  return n;
}

int32_t TFileHandler::ReadAt(int64_t offset, void* buffer, int32_t count, bool allowShort) {
  if (offset < 0 || offset > INT32_MAX) RaiseFileError(kErrRead);
  if (inMemory_) {
    if (SeekFile(int32_t(offset), kSeekStart) != offset) RaiseFileError(kErrRead);
    return ReadBytes(buffer, count, allowShort);
  }
  ++stats_.ReadCalls;
  if (count <= 0) return 0;
  if (!isOpen_) RaiseFileError(kErrRead);
  const int64_t got = OsReadAt(handle_, buffer, count, offset);
  if (got < 0) RaiseFileError(kErrRead);
  const auto n = static_cast<int32_t>(got);
  stats_.BytesRead += static_cast<uint64_t>(n);
  if (!allowShort && n < count) RaiseFileError(kErrRead);
  return n;
}

void TFileHandler::WriteBytes(const void* buffer, int32_t count) {
  if (count < 0) RaiseFileError(kErrWrite);
  if (count == 0) {
    ++stats_.TruncateCalls;
  } else {
    ++stats_.WriteCalls;
  }
  if (inMemory_) {
    EngineBoundary([&] {
      std::lock_guard guard(MemoryFileLock());
      TMemoryFile* file = MemoryFile();
      // A handler opened read-only does not change the file, in memory as on disk.
      if (file == nullptr || readOnly_) RaiseFileError(kErrWrite);
      int32_t position = file->SeekHandle(handle_, 0, kSeekCurrent);
      int32_t written = file->WriteHandle(handle_, buffer, count);
      if (count == 0) {
        if (file->Size != position) RaiseFileError(kErrWrite);
      } else if (written != count) {
        RaiseFileError(kErrWrite);
      }
    });
  } else {
    if (!isOpen_) RaiseFileError(kErrWrite);
    if (count == 0) {
      if (!OsSetEndOfFile(handle_)) RaiseFileError(kErrWrite);
    } else if (OsWrite(handle_, buffer, count) != count) {
      RaiseFileError(kErrWrite);
    }
  }
  stats_.BytesWritten += static_cast<uint64_t>(count);
}

void TFileHandler::FlushFile() {
  ++stats_.FlushCalls;
  if (inMemory_ || !isOpen_) return;
  // A flush the system refuses means the data may not be on the device:
  // that is a write error, not a success.
  if (!OsFlush(handle_)) RaiseFileError(kErrWrite);
}

bool TFileHandler::LockRange(int32_t offset, int32_t length, bool lock) {
  if (lock) {
    ++stats_.LockCalls;
  } else {
    ++stats_.UnlockCalls;
  }
  if (exclusive_) return true;
  if (!isOpen_ || offset < 0 || length <= 0) return false;
  if (inMemory_) {
    std::lock_guard guard(MemoryFileLock());
    TMemoryFile* file = MemoryFile();
    if (file == nullptr) return false;
    return lock ? file->LockRegion(offset, length) : file->UnlockRegion(offset, length);
  }
  // The system merges overlapping locks of one descriptor and unlocks any
  // range; locks here behave as the original platform's: an overlapping
  // second lock is refused and only a range locked as given is unlocked.
  int64_t last = int64_t{offset} + length - 1;
  if (lock) {
    // Held ranges never overlap, so only the one starting last at or before
    // `last` can reach into the request.
    auto after = heldRanges_.upper_bound(static_cast<int32_t>(std::min<int64_t>(last, INT32_MAX)));
    if (after != heldRanges_.begin()) {
      const auto& [heldOffset, heldLength] = *std::prev(after);
      if (offset <= int64_t{heldOffset} + heldLength - 1) return false;
    }
    if (!OsLockRange(handle_, offset, length, true, lockForWrite_)) return false;
    heldRanges_.emplace(offset, length);
    return true;
  }
  auto it = heldRanges_.find(offset);
  if (it == heldRanges_.end() || it->second != length) return false;
  heldRanges_.erase(it);
  return OsLockRange(handle_, offset, length, false, lockForWrite_);
}

int32_t TFileHandler::SeekFile(int32_t offset, int origin) {
  ++stats_.SeekCalls;
  if (inMemory_) {
    std::lock_guard guard(MemoryFileLock());
    TMemoryFile* file = MemoryFile();
    if (file == nullptr) return -1;
    return file->SeekHandle(handle_, offset, origin);
  }
  if (!isOpen_) return -1;
  int64_t position = OsSeek(handle_, offset, origin);
  if (position < 0 || position > INT32_MAX) return -1;
  return static_cast<int32_t>(position);
}

int32_t TFileHandler::QueryFileSize() { return SeekFile(0, kSeekEnd); }

bool TFileHandler::Exists() {
  if (inMemory_) {
    std::lock_guard guard(MemoryFileLock());
    return CurrentSession().MemoryFiles.MemoryFileExists(fileName_);
  }
  return OsFileExists(fileName_);
}

void TFileHandler::SetInMemory(bool value) {
  if (value == inMemory_) return;
  if (isOpen_) RaiseFileError(kErrInUse);
  inMemory_ = value;
}

void TFileHandler::SetExclusive(bool value) {
  if (value == exclusive_) return;
  if (isOpen_) RaiseFileError(kErrInUse);
  exclusive_ = value;
}

void TFileHandler::SetReadOnly(bool value) {
  if (value == readOnly_) return;
  if (isOpen_) RaiseFileError(kErrInUse);
  readOnly_ = value;
}

void TFileHandler::SetFileName(const std::string& name) {
  std::string value = ResolveName(name);
  if (value == fileName_) return;
  if (isOpen_) RaiseFileError(kErrInUse);
  fileName_ = value;
}

void TFileHandler::SetWriteThrough(bool value) {
  if (isOpen_) return;
  writeThrough_ = value;
}

uint16_t TFileHandler::MapOsError(int code) const {
  if (!inMemory_) code = OsLastError();
  return MapSystemError(code);
}

uint16_t TFileHandler::MapSystemError(int systemCode) {
  switch (systemCode) {
    case kOsFileNotFound:
    case kOsPathNotFound: return kErrInvalidPath;
    case kOsTooManyOpenFiles: return kErrTooManyFiles;
    case kOsAccessDenied:
    case kOsSharingViolation:
    case kOsNetworkAccessDenied: return kErrAccessDenied;
    case kOsInvalidHandle: return kErrInvalidHandle;
    case kOsNotEnoughMemory: return kErrOutOfMemory;
    case kOsInvalidDrive: return kErrDeviceAccess;
    case kOsNotSameDevice: return kErrFileMoved;
    default: return kErrUnknownOs;
  }
}

}  // namespace tabula
