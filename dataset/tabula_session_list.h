#pragma once
// TTabulaSessionList: the process's sessions in creation order, the
// numbers taken by auto-named sessions, and the session lock (one
// process-wide recursive critical section). The list and its default
// session "Default" are made on first use; FinalizeSessions frees them,
// with every session still in the list (the program calls it before it
// ends, while the engine's own process-wide state still exists).

#include <mutex>
#include <string>
#include <vector>

namespace tabula::db {

class TTabulaSession;

class TTabulaSessionList {
 public:
  TTabulaSessionList();
  ~TTabulaSessionList();
  TTabulaSessionList(const TTabulaSessionList&) = delete;
  TTabulaSessionList& operator=(const TTabulaSessionList&) = delete;

  // Empty name: the default session; otherwise the first session whose
  // SessionName equals the name without regard to letter case; nullptr
  // when none does.
  TTabulaSession* SessionByName(const std::string& name) const;
  // The same, raising "Session name %s is not valid." when there is none.
  TTabulaSession& RequireSession(const std::string& name) const;
  TTabulaSession& DefaultSession() const { return *default_; }
  const std::vector<TTabulaSession*>& List() const { return sessions_; }
  int Count() const { return int(sessions_.size()); }

  std::recursive_mutex& Lock() { return lock_; }
  // The lowest auto-name number not in use, now marked used.
  int TakeAutoNumber();
  void ReleaseAutoNumber(int number);

 private:
  friend class TTabulaSession;
  void Add(TTabulaSession* session);
  void Remove(TTabulaSession* session);

  std::vector<TTabulaSession*> sessions_;
  TTabulaSession* default_ = nullptr;
  std::vector<bool> autoNumbers_;
  std::recursive_mutex lock_;
  bool finalizing_ = false;
};

// The process's session list (made on first use) and its default session.
TTabulaSessionList& Sessions();
TTabulaSession& Session();
// Frees the list and its sessions; stopping the default session shuts the
// engine down. A later Sessions() starts afresh.
void FinalizeSessions();

}  // namespace tabula::db
