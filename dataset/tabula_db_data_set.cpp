#include "dataset/tabula_db_data_set.h"

#include <algorithm>

#include "dataset/dataset_messages.h"
#include "dataset/tabula_database.h"
#include "dataset/tabula_session.h"
#include "dataset/tabula_session_list.h"
#include "framework/data/data_errors.h"

namespace tabula::db {

TTabulaDBDataSet::TTabulaDBDataSet(fw::TComponent* owner) : TTabulaDataSet(owner) {
  if (owner != nullptr)
    for (fw::TComponent* c : owner->Components())
      if (auto* session = dynamic_cast<TTabulaSession*>(c); session != nullptr && session->AutoSessionName())
        sessionName_ = session->SessionName();
}

TTabulaDBDataSet::~TTabulaDBDataSet() {
  MarkDestroying();
  try {
    Close();
  } catch (...) {
  }
  if (database_ != nullptr) {
    reasons_ = 0;
    try {
      UnbindDatabase();
    } catch (...) {
    }
  }
}

void TTabulaDBDataSet::SetDatabaseName(const std::string& name) {
  CheckInactive();
  if (database_ != nullptr) fw::DatabaseError(msg::kDatabaseOpen);
  databaseName_ = name;
  PropertyChanged();
}

void TTabulaDBDataSet::SetSessionName(const std::string& name) {
  CheckInactive();
  sessionName_ = name;
  PropertyChanged();
}

void TTabulaDBDataSet::HoldDatabase(THoldReason reason, bool hold) {
  const uint16_t bit = uint16_t(1u << unsigned(reason));
  if (hold) {
    if ((reasons_ & bit) != 0) return;
    if (reasons_ == 0) BindDatabase();
    reasons_ |= bit;
  } else {
    if ((reasons_ & bit) == 0) return;
    reasons_ &= uint16_t(~bit);
    if (reasons_ == 0) UnbindDatabase();
  }
}

void TTabulaDBDataSet::BindDatabase() {
  TTabulaSessionList& sessions = Sessions();
  TTabulaSession& session = sessions.RequireSession(sessionName_);
  if (!sessionName_.empty() && !databaseName_.empty() && session.FindDatabase(databaseName_, Owner()) == nullptr)
    if (TTabulaDatabase* moved = sessions.DefaultSession().DatabaseByName(databaseName_);
        moved != nullptr && &session != &sessions.DefaultSession())
      moved->MoveToSession(&session);
  database_ = session.AcquireDatabase(databaseName_, Owner());
  database_->dataSets_.push_back(this);
}

void TTabulaDBDataSet::UnbindDatabase() {
  TTabulaDatabase* database = database_;
  database_ = nullptr;
  if (database == nullptr) return;
  auto& list = database->dataSets_;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
  if (TTabulaSession* session = database->Session())
    session->ReleaseDatabase(database);
}

void TTabulaDBDataSet::AttachCursor() {
  HoldDatabase(THoldReason::kOpened, true);
  try {
    TTabulaDataSet::AttachCursor();
  } catch (...) {
    HoldDatabase(THoldReason::kOpened, false);
    throw;
  }
}

void TTabulaDBDataSet::DetachCursor() {
  TTabulaDataSet::DetachCursor();
  HoldDatabase(THoldReason::kOpened, false);
}

}  // namespace tabula::db
