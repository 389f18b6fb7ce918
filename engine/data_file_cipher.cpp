// TDataFile: the table cipher and the password check of enciphered tables.
//
// An enciphered table keeps its password in the data file header, the
// characters scrambled with the password key. Opening it needs a session
// that knows the password; while the session does not, the password
// callback is asked (it may add passwords to the session) until it gives up
// (10498). A second handle on a table that this process already has open
// (a clone, a lookup cursor) lends the table's own password to the session
// for the duration of its open, so it never asks.
//
// The scramble keeps casual readers from the files' contents; it is not
// strong encryption.

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "tabula/engine_error.h"
#include "tabula/file_session.h"
#include "engine/scramble.h"

namespace tabula {

namespace {

// Enciphered tables open in this process that passed their password check,
// by file identity (device and inode of a disk file, the store entry of an
// in-memory file), with the number of handles open on each.
std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, int>& OpenCipherTables() {
  static std::map<std::string, int> tables;
  return tables;
}

std::string IdentityOf(const TDataFile& file) {
  if (!file.IsOpen()) return {};
  if (file.InMemory()) {
    const TMemoryFile* memory = file.MemoryFile();
    if (memory == nullptr) return {};
    return "m:" + std::to_string(reinterpret_cast<uintptr_t>(memory));
  }
  struct stat info {};
  if (file.Handle() < 0 || fstat(file.Handle(), &info) != 0) return {};
  return "d:" + std::to_string(uint64_t(info.st_dev)) + ":" + std::to_string(uint64_t(info.st_ino));
}

bool OpenInThisProcess(const std::string& identity) {
  if (identity.empty()) return false;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto it = OpenCipherTables().find(identity);
  return it != OpenCipherTables().end() && it->second > 0;
}

}  // namespace

void TDataFile::EncipherBlock(uint8_t* data, size_t size) { ::tabula::EncipherBlock(data, size); }

void TDataFile::DecipherBlock(uint8_t* data, size_t size) { ::tabula::DecipherBlock(data, size); }

std::string TDataFile::TablePassword() const {
  if (header_.Encrypted == 0) return {};
  return UnscramblePassword(header_.Raw.data() + kDhPassword);
}

void TDataFile::CheckPassword() {
  const std::string password = UnscramblePassword(header_.Raw.data() + kDhPassword);
  const std::string identity = IdentityOf(*this);
  // A second handle on a table open in this process: the password the first
  // one proved is lent to the session for this open and dropped after it.
  TFileSession* lentTo = nullptr;
  if (!CurrentSession().SessionKnowsPassword(password) && OpenInThisProcess(identity)) {
    lentTo = &CurrentSession();
    lentTo->AddSessionPassword(password);
  }
  struct TLent {
    TFileSession* Session;
    const std::string& Password;
    ~TLent() {
      if (Session != nullptr) Session->DropSessionPassword(Password);
    }
  } lent{lentTo, password};
  while (!CurrentSession().SessionKnowsPassword(password)) {
    if (!passwordCallback_ || !passwordCallback_(passwordUserData_)) Fail(kErrPasswordRequired);
  }
  RegisterOpenCipherTable();
}

void TDataFile::RegisterOpenCipherTable() {
  ForgetOpenCipherTable();
  const std::string identity = IdentityOf(*this);
  if (identity.empty()) return;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  ++OpenCipherTables()[identity];
  cipherIdentity_ = identity;
}

void TDataFile::ForgetOpenCipherTable() {
  if (cipherIdentity_.empty()) return;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto& tables = OpenCipherTables();
  auto it = tables.find(cipherIdentity_);
  if (it != tables.end() && --it->second <= 0) tables.erase(it);
  cipherIdentity_.clear();
}

}  // namespace tabula
