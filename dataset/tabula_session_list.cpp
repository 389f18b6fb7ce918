#include "dataset/tabula_session_list.h"

#include <algorithm>

#include "dataset/dataset_messages.h"
#include "dataset/tabula_session.h"
#include "framework/data/data_errors.h"
#include "framework/data/field_def.h"

namespace tabula::db {

TTabulaSessionList::TTabulaSessionList() {
  // The first session added becomes the default one.
  auto* session = new TTabulaSession(nullptr, this);
  session->SetSessionName("Default");
}

TTabulaSessionList::~TTabulaSessionList() {
  finalizing_ = true;
  // Sessions owned by components were freed with them; the rest go now,
  // the default one last (stopping it shuts the engine down).
  while (!sessions_.empty()) {
    TTabulaSession* session = sessions_.back();
    if (session == default_ && sessions_.size() > 1) session = sessions_[sessions_.size() - 2];
    if (session->Owner() != nullptr) {
      Remove(session);
      continue;
    }
    delete session;
  }
}

void TTabulaSessionList::Add(TTabulaSession* session) {
  std::lock_guard guard(lock_);
  if (default_ == nullptr) default_ = session;
  sessions_.push_back(session);
}

void TTabulaSessionList::Remove(TTabulaSession* session) {
  std::lock_guard guard(lock_);
  sessions_.erase(std::remove(sessions_.begin(), sessions_.end(), session), sessions_.end());
  if (default_ == session) default_ = nullptr;
}

TTabulaSession* TTabulaSessionList::SessionByName(const std::string& name) const {
  if (name.empty()) return default_;
  for (TTabulaSession* session : sessions_)
    if (fw::SameName(session->SessionName(), name)) return session;
  return nullptr;
}

TTabulaSession& TTabulaSessionList::RequireSession(const std::string& name) const {
  TTabulaSession* session = SessionByName(name);
  if (session == nullptr) fw::DatabaseErrorFmt(msg::kSessionNameInvalid, {name});
  return *session;
}

int TTabulaSessionList::TakeAutoNumber() {
  std::lock_guard guard(lock_);
  for (size_t i = 0; i < autoNumbers_.size(); ++i)
    if (!autoNumbers_[i]) {
      autoNumbers_[i] = true;
      return int(i);
    }
  autoNumbers_.push_back(true);
  return int(autoNumbers_.size()) - 1;
}

void TTabulaSessionList::ReleaseAutoNumber(int number) {
  std::lock_guard guard(lock_);
  if (number >= 0 && size_t(number) < autoNumbers_.size()) autoNumbers_[size_t(number)] = false;
}

namespace {

// Made on first use and freed only by FinalizeSessions: destroying it with
// the other statics at exit could run after the engine's own statics.
TTabulaSessionList* processList = nullptr;
std::mutex processListLock;

}  // namespace

TTabulaSessionList& Sessions() {
  std::lock_guard guard(processListLock);
  if (processList == nullptr) processList = new TTabulaSessionList;
  return *processList;
}

void FinalizeSessions() {
  TTabulaSessionList* list = nullptr;
  {
    std::lock_guard guard(processListLock);
    list = processList;
    processList = nullptr;
  }
  delete list;
}

TTabulaSession& Session() { return Sessions().DefaultSession(); }

}  // namespace tabula::db
