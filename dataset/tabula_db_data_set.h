#pragma once
// TTabulaDBDataSet: a table dataset bound to a database and a session by
// name. It holds its database for a set of reasons (its cursor is open, it
// is reading field or index definitions while closed); the first reason
// binds it, the last one released lets the database go.

#include <cstdint>
#include <string>

#include "dataset/tabula_data_set.h"

namespace tabula::db {

class TTabulaDatabase;

enum class THoldReason : uint8_t { kOpened = 0, kFieldList = 4, kIndexList = 5 };

class TTabulaDBDataSet : public TTabulaDataSet {
 public:
  // Takes the session name of the owner's auto-named session, if any.
  explicit TTabulaDBDataSet(fw::TComponent* owner = nullptr);
  ~TTabulaDBDataSet() override;

  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(const std::string& name);
  TTabulaDatabase* Database() const { return database_; }
  uint16_t HoldReasons() const { return reasons_; }

  // Closes the dataset because its database closes.
  virtual void CloseForDatabase() { Close(); }
  virtual void HoldDatabase(THoldReason reason, bool hold);

 protected:
  void AttachCursor() override;
  void DetachCursor() override;
  // DatabaseName, SessionName (and, for a table, TableName) changed.
  virtual void PropertyChanged() {}

 private:
  friend class TTabulaDatabase;
  void BindDatabase();
  void UnbindDatabase();

  std::string databaseName_;
  std::string sessionName_;
  TTabulaDatabase* database_ = nullptr;
  uint16_t reasons_ = 0;
};

// Holds a dataset's database for one reason during a scope.
class TDatabaseHold {
 public:
  TDatabaseHold(TTabulaDBDataSet& dataSet, THoldReason reason) : dataSet_(dataSet), reason_(reason) {
    dataSet_.HoldDatabase(reason_, true);
  }
  ~TDatabaseHold() {
    try {
      dataSet_.HoldDatabase(reason_, false);
    } catch (...) {
    }
  }
  TDatabaseHold(const TDatabaseHold&) = delete;
  TDatabaseHold& operator=(const TDatabaseHold&) = delete;

 private:
  TTabulaDBDataSet& dataSet_;
  THoldReason reason_;
};

}  // namespace tabula::db
