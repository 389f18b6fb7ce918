#include "dataset/tabula_database.h"

#include "dataset/dataset_messages.h"
#include "dataset/tabula_db_data_set.h"
#include "dataset/tabula_session.h"
#include "dataset/tabula_session_list.h"
#include "framework/data/data_errors.h"
#include "framework/data/field_def.h"

namespace tabula::db {

namespace {

bool IsPathName(const std::string& name) { return name.find_first_of(":\\/") != std::string::npos; }

}  // namespace

TTabulaDatabase::TTabulaDatabase(fw::TComponent* owner) : TComponent(owner) {
  TTabulaSession* session = dynamic_cast<TTabulaSession*>(owner);
  if (session == nullptr && owner != nullptr)
    for (fw::TComponent* c : owner->Components())
      if (auto* s = dynamic_cast<TTabulaSession*>(c); s != nullptr && s->AutoSessionName()) session = s;
  if (session == nullptr) session = &Sessions().DefaultSession();
  session_ = session;
  sessionName_ = session->SessionName();
  session->AddDatabase(this);
}

TTabulaDatabase::~TTabulaDatabase() {
  MarkDestroying();
  try {
    Close();
  } catch (...) {
  }
  for (TTabulaDBDataSet* dataSet : std::vector<TTabulaDBDataSet*>(dataSets_)) dataSet->database_ = nullptr;
  if (session_ != nullptr) session_->RemoveDatabase(this);
}

void TTabulaDatabase::Loaded() {
  if (streamedConnected_) SetConnected(true);
}

void TTabulaDatabase::SetConnected(bool value) {
  if (Loading()) {
    streamedConnected_ = value;
    return;
  }
  if (value == connected_) return;
  if (value) {
    if (BeforeConnect) BeforeConnect(*this);
    if (databaseName_.empty() && !temporary_) fw::DatabaseError(msg::kDatabaseNameMissing);
    TTabulaSession& session = Sessions().RequireSession(sessionName_);
    if (&session != session_) MoveToSession(&session);
    session.SetActive(true);
    if (handleShared_)
      for (TTabulaDatabase* other : session.Databases())
        if (other != this && other->connected_ && fw::SameName(other->databaseName_, databaseName_)) {
          connected_ = true;  // the other database lends its connection
          return;
        }
    TSessionLock lock(session);
    connected_ = true;
    return;
  }
  closing_ = true;
  try {
    while (!dataSets_.empty()) {
      TTabulaDBDataSet* dataSet = dataSets_.back();
      dataSet->CloseForDatabase();
      // A dataset that closed without letting go is taken off the list.
      if (!dataSets_.empty() && dataSets_.back() == dataSet) dataSets_.pop_back();
    }
  } catch (...) {
    closing_ = false;
    throw;
  }
  closing_ = false;
  connected_ = false;
  refCount_ = 0;
}

void TTabulaDatabase::MoveToSession(TTabulaSession* session) {
  if (session_ != nullptr) session_->RemoveDatabase(this);
  session_ = session;
  sessionName_ = session->SessionName();
  session->AddDatabase(this);
}

void TTabulaDatabase::SetDatabaseName(const std::string& name) {
  if (connected_) fw::DatabaseError(msg::kDatabaseOpen);
  if (!temporary_ && IsPathName(name)) fw::DatabaseErrorFmt(msg::kDatabaseNameInvalid, {name});
  if (session_ != nullptr)
    for (TTabulaDatabase* other : std::vector<TTabulaDatabase*>(session_->Databases())) {
      if (other == this || !fw::SameName(other->databaseName_, name) || (other->handleShared_ && handleShared_)) continue;
      if (other->temporary_ && other->dataSets_.empty())
        delete other;
      else
        fw::DatabaseErrorFmt(msg::kDatabaseNameExists, {name});
    }
  databaseName_ = name;
}

void TTabulaDatabase::SetDirectory(const std::string& directory) {
  if (connected_) fw::DatabaseError(msg::kDatabaseOpen);
  directory_ = directory;
}

void TTabulaDatabase::SetHandleShared(bool value) {
  if (connected_) fw::DatabaseError(msg::kDatabaseOpen);
  handleShared_ = value;
}

void TTabulaDatabase::SetKeepConnection(bool value) {
  keepConnection_ = value;
  if (!value && dataSets_.empty()) Close();
}

void TTabulaDatabase::SetSessionName(const std::string& name) {
  if (connected_) fw::DatabaseError(msg::kDatabaseOpen);
  sessionName_ = name;
}

std::string TTabulaDatabase::TableDirectory() const {
  if (temporary_ && IsPathName(databaseName_)) return databaseName_;
  return directory_;
}

}  // namespace tabula::db
