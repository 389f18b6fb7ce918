#include "engine/os_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unicode/unistr.h>
#include <vector>

#include "tabula/windows1251.h"

namespace tabula {

namespace {

thread_local int tLastError = 0;

// Windows error numbers that are not in the header's list.
constexpr int kOsInvalidParameter = 87;
constexpr int kOsLockViolation = 33;
constexpr int kOsAlreadyExists = 183;

bool Fail(int code) {
  tLastError = code;
  return false;
}

bool FailErrno() { return Fail(OsErrorFromErrno(errno)); }

std::atomic<int64_t> gFailCountdown{0};
std::atomic<int64_t> gOperations{0};

// Counts a read, write or truncation; true (errno EIO) when the armed hook
// makes this one fail.
bool InjectedFailure() {
  gOperations.fetch_add(1, std::memory_order_relaxed);
  if (gFailCountdown.load(std::memory_order_relaxed) <= 0) return false;
  if (gFailCountdown.fetch_sub(1) != 1) return false;
  errno = EIO;
  return true;
}

// ---- names --------------------------------------------------------------

bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
    if (extra < 0) return false;
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

// Letter case folded: UTF-8 names through Unicode case folding; other byte
// strings by the letter case of Windows-1251.
std::string FoldName(const std::string& name) {
  bool ascii = true;
  for (char ch : name) {
    if (static_cast<unsigned char>(ch) >= 0x80) ascii = false;
  }
  if (!ascii && IsValidUtf8(name)) {
    std::string out;
    icu::UnicodeString::fromUTF8(name).foldCase().toUTF8String(out);
    return out;
  }
  std::string out = name;
  for (char& ch : out) ch = static_cast<char>(LowerCp1251(static_cast<uint8_t>(ch)));
  return out;
}

bool EntryExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The entry of `dir` matching `component` without regard to case, when there
// is exactly one.
bool FindCaseless(const std::string& dir, const std::string& component, std::string& found) {
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return false;
  std::string want = FoldName(component);
  int matches = 0;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (FoldName(name) == want) {
      if (++matches > 1) break;
      found = name;
    }
  }
  closedir(d);
  return matches == 1;
}

std::string Normalize(const std::string& name) {
  std::string path = name;
  for (char& ch : path) {
    if (ch == '\\') ch = '/';
  }
  return path;
}

bool IsHeldElsewhere(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

// Keeps descriptors 0..2 free of table files (a closed standard stream must
// not make a table's handle 0, which means "closed").
int AboveStandardStreams(int fd) {
  if (fd > 2 || fd < 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int err = errno;
  close(fd);
  errno = err;
  return moved;
}

}  // namespace

int OsLastError() { return tLastError; }
void OsSetLastError(int code) { tLastError = code; }

int OsErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case ENOENT: return kOsFileNotFound;
    case ENOTDIR: return kOsPathNotFound;
    case EMFILE:
    case ENFILE: return kOsTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY: return kOsAccessDenied;
    case EBADF: return kOsInvalidHandle;
    case ENOMEM: return kOsNotEnoughMemory;
    case EXDEV: return kOsNotSameDevice;
    case EWOULDBLOCK: return kOsSharingViolation;
    case EEXIST: return kOsAlreadyExists;
    case EINVAL: return kOsInvalidParameter;
    default: return kOsOtherBase + err;
  }
}

std::string OsResolvePath(const std::string& name) {
  std::string path = Normalize(name);
  if (path.empty() || EntryExists(path)) return path;
  std::string result = path[0] == '/' ? "/" : "";
  size_t pos = 0;
  bool lost = false;  // a component was not found: the rest is taken as written
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string component = path.substr(pos, slash - pos);
    pos = slash + 1;
    if (component.empty()) continue;
    std::string dir = result;
    std::string candidate = result.empty() ? component
                            : result.back() == '/' ? result + component
                                                   : result + "/" + component;
    if (!lost && component != "." && component != ".." && !EntryExists(candidate)) {
      std::string found;
      std::string lookIn = dir.empty() ? "." : dir;
      if (FindCaseless(lookIn, component, found)) {
        candidate = dir.empty() ? found : dir.back() == '/' ? dir + found : dir + "/" + found;
      } else {
        lost = true;
      }
    }
    result = candidate;
  }
  if (!path.empty() && path.back() == '/' && (result.empty() || result.back() != '/')) result += '/';
  return result;
}

bool OsFileExists(const std::string& name) {
  struct stat st;
  std::string path = OsResolvePath(name);
  if (path.empty()) return Fail(kOsFileNotFound);
  if (stat(path.c_str(), &st) != 0) return FailErrno();
  if (S_ISDIR(st.st_mode)) return Fail(kOsFileNotFound);
  return true;
}

bool OsIsReadOnly(const std::string& name, bool& readOnly) {
  std::string path = OsResolvePath(name);
  readOnly = false;
  if (access(path.c_str(), W_OK) == 0) return true;
  if (errno == EACCES || errno == EROFS || errno == EPERM) {
    readOnly = true;
    return true;
  }
  return FailErrno();
}

int OsOpenFile(const std::string& name, uint8_t mode, bool writeThrough) {
  int flags = O_CLOEXEC | O_NOCTTY;
  switch (mode & 3) {
    case 0: flags |= O_RDONLY; break;
    case 1: flags |= O_WRONLY; break;
    case 2: flags |= O_RDWR; break;
    default: Fail(kOsInvalidParameter); return -1;
  }
  if (writeThrough) flags |= O_DSYNC;
  std::string path = OsResolvePath(name);
  int fd = AboveStandardStreams(open(path.c_str(), flags));
  if (fd < 0) {
    FailErrno();
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    int code = S_ISDIR(st.st_mode) ? kOsAccessDenied : OsErrorFromErrno(errno);
    close(fd);
    Fail(code);
    return -1;
  }
  int sharing = mode >> 4;
  int op = (sharing <= 1 ? LOCK_EX : LOCK_SH) | LOCK_NB;
  while (flock(fd, op) != 0) {
    if (errno == EINTR) continue;
    int code = errno == EWOULDBLOCK ? kOsSharingViolation : OsErrorFromErrno(errno);
    close(fd);
    Fail(code);
    return -1;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  return fd;
}

int OsCreateFile(const std::string& name, bool writeThrough) {
  int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY;
  if (writeThrough) flags |= O_DSYNC;
  std::string path = OsResolvePath(name);
  if (path.empty()) {
    Fail(kOsPathNotFound);
    return -1;
  }
  int fd = AboveStandardStreams(open(path.c_str(), flags, 0666));
  if (fd < 0) {
    FailErrno();
    return -1;
  }
  // Take the exclusive share before truncating, so that a file another
  // program has open is refused rather than emptied under it.
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    int code = errno == EWOULDBLOCK ? kOsSharingViolation : OsErrorFromErrno(errno);
    close(fd);
    Fail(code);
    return -1;
  }
  if (ftruncate(fd, 0) != 0) {
    int code = OsErrorFromErrno(errno);
    close(fd);
    Fail(code);
    return -1;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  return fd;
}

bool OsCloseFile(int fd) {
  if (fd <= 0) return Fail(kOsInvalidHandle);
  if (close(fd) != 0 && errno != EINTR) return FailErrno();
  return true;
}

namespace {
// The checks every read and write starts with: a handle, and the tests'
// injected failure.
bool TransferAllowed(int fd) {
  if (fd <= 0) {
    Fail(kOsInvalidHandle);
    return false;
  }
  if (InjectedFailure()) {
    FailErrno();
    return false;
  }
  return true;
}

// Reads until count bytes are in or the file ends; readOnce(dest, n, done)
// is one read or pread call.
template <typename TReadOnce>
int64_t ReadFully(int fd, void* buffer, int64_t count, TReadOnce readOnce) {
  if (!TransferAllowed(fd)) return -1;
  auto* out = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    ssize_t n = readOnce(out + done, static_cast<size_t>(count - done), done);
    if (n < 0) {
      if (errno == EINTR) continue;
      FailErrno();
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}
}  // namespace

int64_t OsRead(int fd, void* buffer, int64_t count) {
  return ReadFully(fd, buffer, count, [fd](char* dest, size_t n, int64_t) { return read(fd, dest, n); });
}

int64_t OsReadAt(int fd, void* buffer, int64_t count, int64_t offset) {
  if (offset < 0) {
    Fail(kOsInvalidParameter);
    return -1;
  }
  return ReadFully(fd, buffer, count, [fd, offset](char* dest, size_t n, int64_t done) {
    return pread(fd, dest, n, static_cast<off_t>(offset + done));
  });
}

int64_t OsWrite(int fd, const void* buffer, int64_t count) {
  if (!TransferAllowed(fd)) return -1;
  const auto* in = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    ssize_t n = write(fd, in + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      FailErrno();
      return done > 0 ? done : -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t OsSeek(int fd, int64_t offset, int origin) {
  if (fd <= 0) {
    Fail(kOsInvalidHandle);
    return -1;
  }
  int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
  if (whence < 0) {
    Fail(kOsInvalidParameter);
    return -1;
  }
  off_t r = lseek(fd, static_cast<off_t>(offset), whence);
  if (r < 0) {
    FailErrno();
    return -1;
  }
  return r;
}

bool OsSetEndOfFile(int fd) {
  if (fd <= 0) return Fail(kOsInvalidHandle);
  if (InjectedFailure()) return FailErrno();
  off_t pos = lseek(fd, 0, SEEK_CUR);
  if (pos < 0) return FailErrno();
  if (ftruncate(fd, pos) != 0) return FailErrno();
  return true;
}

void OsFailAfter(int64_t count) { gFailCountdown.store(std::max<int64_t>(count, 0) + 1); }

void OsFailNever() { gFailCountdown.store(0); }

int64_t OsFileOperationCount() { return gOperations.load(); }

bool OsFlush(int fd) {
  if (fd <= 0) return Fail(kOsInvalidHandle);
  if (fsync(fd) != 0) return FailErrno();
  return true;
}

bool OsLockRange(int fd, int64_t offset, int64_t length, bool lock, bool forWrite) {
  if (fd <= 0) return Fail(kOsInvalidHandle);
  if (offset < 0 || length <= 0) return Fail(kOsInvalidParameter);
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = static_cast<short>(!lock ? F_UNLCK : forWrite ? F_WRLCK : F_RDLCK);
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;  // required for open-file-description locks
  if (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    return Fail(errno == EAGAIN || errno == EACCES ? kOsLockViolation : OsErrorFromErrno(errno));
  }
  return true;
}

bool OsDeleteFile(const std::string& name) {
  std::string path = OsResolvePath(name);
  if (path.empty()) return Fail(kOsFileNotFound);
  // Hold the file exclusively while deleting it, so that a file another
  // handle has open is refused, as on the original platform.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd >= 0) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      close(fd);
      return Fail(kOsSharingViolation);
    }
  }
  bool ok = unlink(path.c_str()) == 0;
  int err = errno;
  if (fd >= 0) close(fd);
  if (!ok) return Fail(OsErrorFromErrno(err));
  return true;
}

bool OsRenameFile(const std::string& name, const std::string& newName) {
  std::string from = OsResolvePath(name);
  if (from.empty() || !EntryExists(from)) return Fail(kOsFileNotFound);
  // The new name's directory is resolved; its last component is kept as written.
  std::string target = Normalize(newName);
  if (target.empty() || target.back() == '/') return Fail(kOsInvalidParameter);
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "" : OsResolvePath(target.substr(0, slash + 1));
  std::string leaf = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string to = dir.empty() ? leaf : (dir.back() == '/' ? dir + leaf : dir + "/" + leaf);
  // Refuse a new name that exists already in any letter case, unless it is
  // the file itself (a change of case).
  struct stat fromStat, existing;
  if (stat(from.c_str(), &fromStat) != 0) return FailErrno();
  std::string clash;
  bool exists = stat(to.c_str(), &existing) == 0;
  if (!exists && FindCaseless(dir.empty() ? "." : dir, leaf, clash)) {
    std::string clashPath = dir.empty() ? clash : (dir.back() == '/' ? dir + clash : dir + "/" + clash);
    exists = stat(clashPath.c_str(), &existing) == 0;
  }
  if (exists && !(existing.st_dev == fromStat.st_dev && existing.st_ino == fromStat.st_ino)) {
    return Fail(kOsAlreadyExists);
  }
  if (IsHeldElsewhere(from)) return Fail(kOsSharingViolation);
  if (from == to) return true;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS) {
    // File systems without RENAME_NOREPLACE: the check above stands in.
    if (rename(from.c_str(), to.c_str()) == 0) return true;
  }
  return FailErrno();
}

}  // namespace tabula
