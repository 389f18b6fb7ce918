#include "dataset/tabula_session.h"

#include <algorithm>
#include <mutex>

#include "dataset/dataset_messages.h"
#include "dataset/tabula_database.h"
#include "dataset/tabula_db_data_set.h"
#include "dataset/tabula_session_list.h"
#include "tabula/file_session.h"
#include "framework/data/data_errors.h"
#include "framework/data/field_def.h"

namespace tabula::db {

namespace {

std::mutex& DialogLock() {
  static std::mutex lock;
  return lock;
}

TPasswordDialog& Dialog() {
  static TPasswordDialog dialog;
  return dialog;
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return text;
}

TTabulaSession* AutoSessionOf(fw::TComponent* owner, const TTabulaSession* except) {
  if (owner == nullptr) return nullptr;
  for (fw::TComponent* c : owner->Components())
    if (auto* s = dynamic_cast<TTabulaSession*>(c); s != nullptr && s != except && s->AutoSessionName()) return s;
  return nullptr;
}

}  // namespace

void SetPasswordDialog(TPasswordDialog dialog) {
  std::lock_guard guard(DialogLock());
  Dialog() = std::move(dialog);
}

TTabulaSession::TTabulaSession(fw::TComponent* owner) : TTabulaSession(owner, &Sessions()) {}

TTabulaSession::TTabulaSession(fw::TComponent* owner, TTabulaSessionList* list) : TComponent(owner), list_(list) {
  if (AutoSessionOf(owner, this) != nullptr) fw::DatabaseError(msg::kAutoSessionExists);
  list_->Add(this);
}

TTabulaSession::~TTabulaSession() {
  MarkDestroying();
  try {
    if (Active()) StopSession();
  } catch (...) {
  }
  // Databases the session made on demand are its own components and go
  // with it; the others stay, without a session.
  for (TTabulaDatabase* database : std::vector<TTabulaDatabase*>(databases_)) database->session_ = nullptr;
  databases_.clear();
  list_->Remove(this);
}

bool TTabulaSession::IsDefault() const { return &list_->DefaultSession() == this; }

// ---------------------------------------------------------------- starting and stopping

void TTabulaSession::SetActive(bool value) {
  if (Loading()) {
    streamedActive_ = value;
    return;
  }
  if (value == Active()) return;
  if (value)
    StartSession();
  else
    StopSession();
}

void TTabulaSession::StartSession() {
  std::lock_guard guard(list_->Lock());
  if (OnStartup) OnStartup(*this);
  if (sessionName_.empty()) fw::DatabaseError(msg::kSessionNameMissing);
  if (!IsDefault()) list_->DefaultSession().SetActive(true);
  if (IsDefault()) {
    InitializeEngine();
    SetCurrentSession(nullptr);  // the engine's own default session
    engineSession_ = &CurrentSession();
  } else {
    engineSession_ = NewSession();
  }
  if (!privateDir_.empty()) {
    try {
      TSessionLock lock(*this);
      SetPrivateDirectory(privateDir_);
    } catch (...) {
      StopSession();
      throw;
    }
  }
}

void TTabulaSession::StopSession() {
  std::lock_guard guard(list_->Lock());
  if (engineSession_ != nullptr) SetCurrentSession(engineSession_);
  for (auto it = databases_.rbegin(); it != databases_.rend();) {
    TTabulaDatabase* database = *it;
    if (database->Temporary()) {
      delete database;  // leaves databases_
      it = databases_.rbegin();
    } else {
      database->Close();
      ++it;
    }
  }
  if (IsDefault()) {
    ShutdownEngine();
  } else {
    FreeSession(engineSession_);
    SetCurrentSession(nullptr);
  }
  engineSession_ = nullptr;
}

void TTabulaSession::Loaded() {
  if (autoSessionName_) PassNameToOwnerComponents();
  if (streamedActive_) SetActive(true);
}

// ---------------------------------------------------------------- names

void TTabulaSession::SetSessionName(const std::string& value) {
  if (autoSessionName_ && !generatingName_) fw::DatabaseError(msg::kAutoSessionActive);
  if (Active()) fw::DatabaseError(msg::kSessionActive);
  if (!value.empty())
    for (TTabulaSession* other : list_->List())
      if (other != this && fw::SameName(other->sessionName_, value)) fw::DatabaseErrorFmt(msg::kSessionNameExists, {value});
  sessionName_ = value;
}

void TTabulaSession::SetAutoSessionName(bool value) {
  if (value == autoSessionName_) return;
  if (value) {
    if (Active()) fw::DatabaseError(msg::kSessionActive);
    if (Owner() != nullptr)
      for (fw::TComponent* c : Owner()->Components())
        if (c != this && dynamic_cast<TTabulaSession*>(c) != nullptr) fw::DatabaseError(msg::kAutoSessionOnly);
    autoNumber_ = list_->TakeAutoNumber();
    autoSessionName_ = true;
    GenerateAutoName();
    PassNameToOwnerComponents();
  } else {
    list_->ReleaseAutoNumber(autoNumber_);
    autoNumber_ = -1;
    autoSessionName_ = false;
  }
}

void TTabulaSession::SetName(const std::string& name) {
  TComponent::SetName(name);
  if (autoSessionName_) {
    GenerateAutoName();
    PassNameToOwnerComponents();
  }
}

void TTabulaSession::GenerateAutoName() {
  generatingName_ = true;
  try {
    SetSessionName(fw::FormatMessage("%s_%d", {Name(), std::to_string(autoNumber_ + 1)}));
  } catch (...) {
    generatingName_ = false;
    throw;
  }
  generatingName_ = false;
}

void TTabulaSession::PassNameToOwnerComponents() {
  if (Owner() == nullptr) return;
  for (fw::TComponent* c : Owner()->Components()) {
    if (auto* dataSet = dynamic_cast<TTabulaDBDataSet*>(c)) {
      if (!fw::SameName(dataSet->SessionName(), sessionName_)) dataSet->SetSessionName(sessionName_);
    } else if (auto* database = dynamic_cast<TTabulaDatabase*>(c)) {
      if (!fw::SameName(database->SessionName(), sessionName_)) database->SetSessionName(sessionName_);
    }
  }
}

// ---------------------------------------------------------------- private directory

std::string TTabulaSession::PrivateDir() {
  if (!Active()) return Upper(privateDir_);
  TSessionLock lock(*this);
  return Upper(GetPrivateDirectory());
}

void TTabulaSession::SetPrivateDir(const std::string& value) {
  privateDir_ = value;
  if (Active()) {
    TSessionLock lock(*this);
    SetPrivateDirectory(value);
  }
}

// ---------------------------------------------------------------- lock

void TTabulaSession::LockSession() {
  if (lockDepth_ == 0) {
    list_->Lock().lock();
    try {
      if (!Active()) SetActive(true);
      SetCurrentSession(engineSession_);
    } catch (...) {
      list_->Lock().unlock();
      throw;
    }
  }
  ++lockDepth_;
}

void TTabulaSession::UnlockSession() {
  if (lockDepth_ == 0) return;
  if (--lockDepth_ == 0) list_->Lock().unlock();
}

// ---------------------------------------------------------------- passwords

void TTabulaSession::AddSessionPassword(const std::string& password) {
  TSessionLock lock(*this);
  engineSession_->AddSessionPassword(password);
}

void TTabulaSession::DropSessionPassword(const std::string& password) {
  TSessionLock lock(*this);
  engineSession_->DropSessionPassword(password);
}

void TTabulaSession::ClearSessionPasswords() {
  TSessionLock lock(*this);
  engineSession_->ClearSessionPasswords();
}

bool TTabulaSession::AskPassword() {
  if (OnPassword) {
    bool tryAgain = false;
    OnPassword(*this, tryAgain);
    return tryAgain;
  }
  TPasswordDialog dialog;
  {
    std::lock_guard guard(DialogLock());
    dialog = Dialog();
  }
  return dialog ? dialog(*this) : false;
}

// ---------------------------------------------------------------- databases

void TTabulaSession::AddDatabase(TTabulaDatabase* database) { databases_.push_back(database); }

void TTabulaSession::RemoveDatabase(TTabulaDatabase* database) {
  databases_.erase(std::remove(databases_.begin(), databases_.end(), database), databases_.end());
}

TTabulaDatabase* TTabulaSession::DatabaseByName(const std::string& name) const {
  for (TTabulaDatabase* database : databases_)
    if ((!database->DatabaseName().empty() || database->Temporary()) && fw::SameName(database->DatabaseName(), name))
      return database;
  return nullptr;
}

TTabulaDatabase* TTabulaSession::FindDatabase(const std::string& name, fw::TComponent* owner) const {
  if (owner != nullptr)
    for (fw::TComponent* c : owner->Components())
      if (auto* database = dynamic_cast<TTabulaDatabase*>(c);
          database != nullptr && database->HandleShared() && fw::SameName(database->DatabaseName(), name))
        return database;
  return DatabaseByName(name);
}

TTabulaDatabase* TTabulaSession::AcquireDatabase(const std::string& name, fw::TComponent* owner) {
  SetActive(true);
  TTabulaDatabase* database = FindDatabase(name, owner);
  bool created = false;
  if (database == nullptr) {
    database = new TTabulaDatabase(this);
    database->temporary_ = true;
    database->SetDatabaseName(name);
    database->keepConnection_ = KeepConnections;
    created = true;
  }
  try {
    database->Open();
  } catch (...) {
    if (created) delete database;
    throw;
  }
  ++database->refCount_;
  return database;
}

void TTabulaSession::ReleaseDatabase(TTabulaDatabase* database) {
  if (database == nullptr) return;
  if (database->refCount_ > 0) --database->refCount_;
  if (database->refCount_ != 0 || database->KeepConnection() || database->closing_) return;
  if (database->Temporary()) {
    if (!database->Destroying()) delete database;
  } else {
    database->Close();
  }
}

}  // namespace tabula::db
