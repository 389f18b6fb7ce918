// A second program for the locking tests: it opens one table file through
// TFileHandler and takes or releases locks on command, one command per line
// on standard input, one answer line per command on standard output.
//
//   open <path> <exclusive 0|1> <readonly 0|1>  -> ok | err <code>
//   close                                       -> ok
//   lock <offset> <length> / unlock ...         -> ok | fail
//   tries <n>                                   -> ok   (tries of the table locks)
//   shared / exclusive / writebyte              -> ok <tries> | fail <tries>
//   unshared / unexclusive / unwritebyte        -> ok | fail
//   record <n> <retryCount> <waitTime>          -> ok <tries> | err <code> <tries>
//   unrecord <n>                                -> ok | err <code>
//   quit                                        -> (exits 0)

#include <iostream>
#include <sstream>
#include <string>

#include "tabula/engine_error.h"
#include "tabula/file_handler.h"
#include "tabula/file_session.h"
#include "engine/lock_table.h"

using namespace tabula;

int main() {
  InitializeEngine();
  TFileHandler file;
  TSharedTableLock shared;
  TExclusiveTableLock exclusive;
  TDataWriteLock writeByte;
  TRecordLocks records;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::string answer;
    try {
      if (command == "open") {
        std::string path;
        int excl = 0;
        int ro = 0;
        in >> path >> excl >> ro;
        file.SetFileName(path);
        file.SetExclusive(excl != 0);
        file.SetReadOnly(ro != 0);
        file.OpenFile();
        answer = "ok";
      } else if (command == "close") {
        file.CloseFile();
        shared.Reset();
        exclusive.Reset();
        writeByte.Reset();
        records.Reset();
        answer = "ok";
      } else if (command == "lock" || command == "unlock") {
        int32_t offset = 0;
        int32_t length = 0;
        in >> offset >> length;
        answer = file.LockRange(offset, length, command == "lock") ? "ok" : "fail";
      } else if (command == "tries") {
        int32_t n = 1;
        in >> n;
        shared.MaxTries = exclusive.MaxTries = writeByte.MaxTries = n;
        answer = "ok";
      } else if (command == "shared" || command == "exclusive" || command == "writebyte") {
        TLockState* state = command == "shared" ? static_cast<TLockState*>(&shared)
                            : command == "exclusive" ? static_cast<TLockState*>(&exclusive)
                                                     : static_cast<TLockState*>(&writeByte);
        bool ok = command == "shared" ? shared.Lock(file) : command == "exclusive" ? exclusive.Lock(file)
                                                                                    : writeByte.Lock(file);
        answer = (ok ? "ok " : "fail ") + std::to_string(state->LastTries());
      } else if (command == "unshared") {
        answer = shared.Unlock(file) ? "ok" : "fail";
      } else if (command == "unexclusive") {
        answer = exclusive.Unlock(file) ? "ok" : "fail";
      } else if (command == "unwritebyte") {
        answer = writeByte.Unlock(file) ? "ok" : "fail";
      } else if (command == "record") {
        int32_t n = 0;
        int retry = kDefaultLockRetryCount;
        int wait = kDefaultLockWaitTime;
        in >> n >> retry >> wait;
        try {
          records.Lock(file, n, static_cast<uint8_t>(retry), static_cast<uint16_t>(wait));
          answer = "ok " + std::to_string(records.LastTries());
        } catch (const ETabulaEngineError& e) {
          answer = "err " + std::to_string(e.Code()) + " " + std::to_string(records.LastTries());
        }
      } else if (command == "unrecord") {
        int32_t n = 0;
        in >> n;
        records.Unlock(file, n);
        answer = "ok";
      } else if (command == "quit") {
        break;
      } else {
        answer = "unknown";
      }
    } catch (const ETabulaEngineError& e) {
      answer = "err " + std::to_string(e.Code());
    }
    std::cout << answer << std::endl;
  }
  file.CloseFile();
  ShutdownEngine();
  return 0;
}
