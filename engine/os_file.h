#pragma once
// The platform layer: the one module that calls the system for files. It
// stands in for the original platform's file calls, with its error numbers:
// every failing call sets a thread-local "last system error" in those
// numbers (2 file not found, 3 path not found, 4 too many open files,
// 5 access denied, 6 invalid handle, 8 not enough memory, 17 not the same
// device, 32 sharing violation; anything else a number that maps to
// "unknown"), which TFileHandler::MapOsError reads.
//
// Names: both '\' and '/' separate directories. When a path component does
// not exist as written, the one directory entry whose name matches it
// without regard to letter case is taken; when several match, the exact
// name is required.

#include <cstdint>
#include <string>

namespace tabula {

// System error numbers used by the platform layer.
enum : int {
  kOsFileNotFound = 2,
  kOsPathNotFound = 3,
  kOsTooManyOpenFiles = 4,
  kOsAccessDenied = 5,
  kOsInvalidHandle = 6,
  kOsNotEnoughMemory = 8,
  kOsInvalidDrive = 15,
  kOsNotSameDevice = 17,
  kOsSharingViolation = 32,
  kOsNetworkAccessDenied = 65,
  kOsOtherBase = 100000,  // other errno values: kOsOtherBase + errno
};

// The last system error of this thread, and setting it (0 clears).
int OsLastError();
void OsSetLastError(int code);
// The system error number for an errno value.
int OsErrorFromErrno(int err);

// The name as the system should see it: separators made '/', components
// matched without regard to case where the exact one does not exist. A
// name that cannot be resolved comes back with only the separators changed.
std::string OsResolvePath(const std::string& name);

// Whether a regular file (or other non-directory) of that name exists.
bool OsFileExists(const std::string& name);
// Whether the existing file is not writable by this user; false with the
// last error set when its attributes cannot be read.
bool OsIsReadOnly(const std::string& name, bool& readOnly);

// Opens an existing file with the open mode byte (bits 0..1 access 0 read,
// 1 write, 2 both; bits 4..7 sharing, 0 and 1 none, others shared), the
// random-access hint and, when asked, write-through. Returns the descriptor
// (> 0) or -1. A refused share mode is a sharing violation.
int OsOpenFile(const std::string& name, uint8_t mode, bool writeThrough);
// Creates or replaces a file for reading and writing without sharing. An
// existing file that another handle holds open is left untouched (sharing
// violation).
int OsCreateFile(const std::string& name, bool writeThrough);
bool OsCloseFile(int fd);
// Reads up to count bytes (fewer only at the end of the file); -1 on error.
int64_t OsRead(int fd, void* buffer, int64_t count);
// Reads up to count bytes from `offset` in one call, leaving the position
// where it was (fewer only at the end of the file); -1 on error.
int64_t OsReadAt(int fd, void* buffer, int64_t count, int64_t offset);
// Writes count bytes; returns the bytes written, -1 on error.
int64_t OsWrite(int fd, const void* buffer, int64_t count);
// origin 0 start, 1 current, 2 end; new position or -1.
int64_t OsSeek(int fd, int64_t offset, int origin);
// Sets the end of file at the current position.
bool OsSetEndOfFile(int fd);
bool OsFlush(int fd);
// Non-blocking byte-range lock or unlock with an open-file-description lock:
// it belongs to the descriptor, so two descriptors exclude each other even
// in one process. forWrite: a write lock (the descriptor must be writable);
// otherwise a read lock, which still excludes every write lock.
bool OsLockRange(int fd, int64_t offset, int64_t length, bool lock, bool forWrite);
// A hook for the tests of failure handling, process-wide: after `count`
// more reads, writes and truncations succeed, the next one fails as a
// failing device would (EIO), once. OsFailNever disarms it.
// OsFileOperationCount counts the reads, writes and truncations made so far.
void OsFailAfter(int64_t count);
void OsFailNever();
int64_t OsFileOperationCount();

// Deletes a file; refused (sharing violation) while another handle holds it open.
bool OsDeleteFile(const std::string& name);
// Renames a file; refused when the new name exists (in any letter case) or
// the file is held open elsewhere.
bool OsRenameFile(const std::string& name, const std::string& newName);

}  // namespace tabula
