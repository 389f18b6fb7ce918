// The second process of the dataset tests: it edits a subscriber table
// through the table dataset, one command per line on standard input, and
// answers each with one line ("ok", or "error <message>"):
//   open <dir>               open base2.DAT in <dir>, writable, by Numtel
//   append <numtel> <name>   insert and post a record
//   modify <numtel> <name>   edit that record's name and post
//   delete <numtel>          delete that record
//   hold <numtel>            start editing that record (its lock is kept)
//   release                  cancel the edit (the lock goes)
//   batch <first> <count>    append numbers first..first+count-1 in one
//                            transaction, committed at the end
//   quit

#include <iostream>
#include <sstream>
#include <string>

#include "dataset/tabula_session_list.h"
#include "dataset/tabula_table.h"
#include "tabula/data_file.h"

namespace {

using tabula::db::TTabulaTable;

void Locate(TTabulaTable& table, const std::string& numtel) {
  table.First();
  while (!table.Eof() && table.FieldByName("Numtel").AsString() != numtel) table.Next();
  if (table.Eof()) throw fw::Exception("no record " + numtel);
}

void AppendOne(TTabulaTable& table, const std::string& numtel, const std::string& name) {
  table.Append();
  table.FieldByName("Numtel").SetAsString(numtel);
  table.FieldByName("Name").SetAsString(name);
  table.Post();
}

}  // namespace

int main() {
  int exitCode = 0;
  {
    TTabulaTable table;
    std::string line;
    while (std::getline(std::cin, line)) {
      std::istringstream in(line);
      std::string command, a, b;
      in >> command >> a >> b;
      if (command == "quit") break;
      try {
        if (command == "open") {
          table.SetDatabaseName(a);
          table.SetTableName("base2.DAT");
          table.SetIndexFieldNames("Numtel");
          table.SetLockRetryCount(2);
          table.SetLockWaitTime(20);
          table.Open();
        } else if (command == "append") {
          AppendOne(table, a, b);
        } else if (command == "modify") {
          Locate(table, a);
          table.Edit();
          table.FieldByName("Name").SetAsString(b);
          table.Post();
        } else if (command == "delete") {
          Locate(table, a);
          table.Delete();
        } else if (command == "hold") {
          Locate(table, a);
          table.Edit();
        } else if (command == "release") {
          table.Cancel();
        } else if (command == "batch") {
          const long first = std::stol(a);
          const long count = std::stol(b);
          table.Cursor()->StartTransaction();
          for (long n = first; n < first + count; ++n) AppendOne(table, std::to_string(n), "Batch");
          table.Cursor()->Commit();
        } else {
          throw fw::Exception("unknown command " + command);
        }
        std::cout << "ok" << std::endl;
      } catch (const std::exception& e) {
        std::cout << "error " << e.what() << std::endl;
      }
    }
  }
  tabula::db::FinalizeSessions();
  return exitCode;
}
