#pragma once
// TTabulaDatabase: a named directory in which tables live, belonging to a
// session. Opening one touches no file; tables use its directory when they
// open. A session makes temporary databases on demand for tables that name
// a database no component provides; such a database lives while tables
// use it.

#include <functional>
#include <string>
#include <vector>

#include "framework/data/component.h"

namespace tabula::db {

class TTabulaSession;
class TTabulaDBDataSet;

class TTabulaDatabase : public fw::TComponent {
 public:
  // Its session: the owner when that is a session, the owner's auto-named
  // session when it has one, else the default session.
  explicit TTabulaDatabase(fw::TComponent* owner = nullptr);
  ~TTabulaDatabase() override;

  std::string EngineVersion() const { return "1.19"; }
  void SetEngineVersion(const std::string&) {}

  bool Connected() const { return connected_; }
  void SetConnected(bool value);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }
  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  const std::string& Directory() const { return directory_; }
  void SetDirectory(const std::string& directory);
  bool HandleShared() const { return handleShared_; }
  void SetHandleShared(bool value);
  bool KeepConnection() const { return keepConnection_; }
  void SetKeepConnection(bool value);
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(const std::string& name);
  std::function<void(TTabulaDatabase&)> BeforeConnect;

  TTabulaSession* Session() const { return session_; }
  bool Temporary() const { return temporary_; }
  int RefCount() const { return refCount_; }
  const std::vector<TTabulaDBDataSet*>& DataSets() const { return dataSets_; }
  // The directory tables are looked for in: a temporary database whose
  // name is a path (holds ':', '\' or '/') is that path; otherwise
  // Directory. Empty means the current directory.
  std::string TableDirectory() const;

 protected:
  void Loaded() override;

 private:
  friend class TTabulaSession;
  friend class TTabulaDBDataSet;
  void MoveToSession(TTabulaSession* session);

  TTabulaSession* session_ = nullptr;
  std::vector<TTabulaDBDataSet*> dataSets_;
  std::string databaseName_;
  std::string directory_;
  std::string sessionName_;
  bool handleShared_ = false;
  bool keepConnection_ = true;
  bool temporary_ = false;
  bool connected_ = false;
  bool streamedConnected_ = false;
  bool closing_ = false;
  int refCount_ = 0;
};

}  // namespace tabula::db
