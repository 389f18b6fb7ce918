#pragma once
// TTabulaSession: one engine session (the engine's per-session state: error
// context, in-memory files, passwords, private directory) and the databases
// opened in it. The default session "Default" initialises the engine when
// it starts and shuts it down when it stops; any other session makes an
// engine session of its own and starts the default session first.

#include <functional>
#include <string>
#include <vector>

#include "framework/data/component.h"

namespace tabula {
class TFileSession;
}

namespace tabula::db {

class TTabulaDatabase;
class TTabulaSessionList;

class TTabulaSession : public fw::TComponent {
 public:
  // Joins the process's session list. Raises "This auto-session already
  // exists." when the owner holds an auto-named session.
  explicit TTabulaSession(fw::TComponent* owner = nullptr);
  ~TTabulaSession() override;

  std::string EngineVersion() const { return "1.19"; }
  void SetEngineVersion(const std::string&) {}

  bool Active() const { return engineSession_ != nullptr; }
  void SetActive(bool value);
  bool AutoSessionName() const { return autoSessionName_; }
  void SetAutoSessionName(bool value);
  bool KeepConnections = false;
  // Upper-cased; the engine's value while active.
  std::string PrivateDir();
  void SetPrivateDir(const std::string& value);
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(const std::string& value);
  void SetName(const std::string& name) override;
  bool IsDefault() const;

  // Asked when a table needs a password: set the flag to try again.
  std::function<void(TTabulaSession&, bool& tryAgain)> OnPassword;
  std::function<void(TTabulaSession&)> OnStartup;

  // ---- Databases ----
  // Finds (or makes, as a temporary database) the database of that name
  // and raises its reference count; the session starts if needed.
  TTabulaDatabase* AcquireDatabase(const std::string& name, fw::TComponent* owner);
  void ReleaseDatabase(TTabulaDatabase* database);
  // The first database with a name (or a temporary one) equal to `name`,
  // letter case ignored.
  TTabulaDatabase* DatabaseByName(const std::string& name) const;
  // With an owner: first its databases with HandleShared and that name.
  TTabulaDatabase* FindDatabase(const std::string& name, fw::TComponent* owner) const;
  const std::vector<TTabulaDatabase*>& Databases() const { return databases_; }

  // ---- Passwords (under the session lock) ----
  void AddSessionPassword(const std::string& password);
  void DropSessionPassword(const std::string& password);
  void ClearSessionPasswords();

  // The password callback of tables opened through this session: the
  // OnPassword event when assigned, else the password dialog.
  bool AskPassword();

  // ---- The session lock ----
  // The outermost take enters the process-wide critical section and makes
  // this session's engine session current (starting the session first).
  void LockSession();
  void UnlockSession();
  tabula::TFileSession* EngineSession() const { return engineSession_; }

 protected:
  void Loaded() override;

 private:
  friend class TTabulaSessionList;
  friend class TTabulaDatabase;
  TTabulaSession(fw::TComponent* owner, TTabulaSessionList* list);
  void StartSession();
  void StopSession();
  void GenerateAutoName();
  void PassNameToOwnerComponents();
  void AddDatabase(TTabulaDatabase* database);
  void RemoveDatabase(TTabulaDatabase* database);

  TTabulaSessionList* list_;
  tabula::TFileSession* engineSession_ = nullptr;
  std::vector<TTabulaDatabase*> databases_;
  std::string sessionName_;
  std::string privateDir_;
  bool autoSessionName_ = false;
  bool generatingName_ = false;
  int autoNumber_ = -1;
  bool streamedActive_ = false;
  int lockDepth_ = 0;
};

// Holds a session's lock for a scope.
class TSessionLock {
 public:
  explicit TSessionLock(TTabulaSession& session) : session_(session) { session_.LockSession(); }
  ~TSessionLock() { session_.UnlockSession(); }
  TSessionLock(const TSessionLock&) = delete;
  TSessionLock& operator=(const TSessionLock&) = delete;

 private:
  TTabulaSession& session_;
};

// The password dialog, installed by the program that has one; without it a
// table whose password nobody gives does not open.
using TPasswordDialog = std::function<bool(TTabulaSession&)>;
void SetPasswordDialog(TPasswordDialog dialog);

}  // namespace tabula::db
