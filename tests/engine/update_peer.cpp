// A second program for the record-update tests. It reads commands from its
// standard input, one per line, and answers each with one line:
//   open <path>             open the table shared                -> ok
//   txn                     start a transaction; append Ids 1000..1019,
//                           modify Id 1, delete Id 2               -> ok
//   commit                                                       -> ok
//   writer <path> <w> <seconds> <log>
//                           append, modify and delete its own records
//                           (Ids w*1000000 + n) under record locks until
//                           the time is up; writes its final rows to <log>
//                                                                -> done <ops> <faults>
//   reader <path> <seconds> scan in primary-key order until the time is
//                           up, checking order and record contents
//                                                                -> done <scans> <faults>
// Errors answer "error <code> <message>".

#include <chrono>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#include "tests/engine/update_test_util.h"

namespace {

using namespace update_test;
using Clock = std::chrono::steady_clock;

// A row's contents follow from its Id and version, so a reader can tell a
// torn record: Value is always the Id, Name is "w<writer>v<version>".
TRow MakeRow(int32_t id, int version) {
  TRow row;
  row.Id = id;
  row.Value = id;
  row.Name = "w" + std::to_string(id / 1000000) + "v" + std::to_string(version);
  const size_t length = size_t((int64_t(id) * 7919 + int64_t(version) * 104729) % 3000);
  row.Memo.assign(length, char('a' + (id + version) % 26));
  for (size_t i = 0; i < row.Memo.size(); i += 50) row.Memo[i] = (i / 50) % 2 ? '\r' : '\n';
  return row;
}

void Store(TDataFile& t, std::vector<uint8_t>& buffer) {
  FreeIfOpen(t, buffer.data(), kFMemo);
  FreeIfOpen(t, buffer.data(), kFPic);
}

std::string Writer(const std::string& path, int w, double seconds, const std::string& logPath) {
  TDataFile t;
  t.SetFileName(path);
  t.Open();
  std::mt19937 random(uint32_t(w * 7777 + 1));
  std::map<int32_t, std::pair<TRow, int>> mine;  // id -> row, version
  int32_t counter = 0;
  int ops = 0;
  int faults = 0;
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    const int op = int(random() % 10);
    int32_t lastId = 0;
    try {
    if (op < 5 || mine.empty()) {
      const int32_t id = w * 1000000 + ++counter;
      lastId = id;
      const TRow row = MakeRow(id, 0);
      t.InitRecord(buffer.data());
      FillRow(t, buffer.data(), row, true);
      t.AppendRecord(buffer.data());
      Store(t, buffer);
      mine[id] = {row, 0};
    } else {
      auto it = mine.begin();
      std::advance(it, random() % mine.size());
      const int32_t id = it->first;
      lastId = id;
      if (FindId(t, id) != 0 || t.ReadCurrent(buffer.data(), true) != 0) {
        ++faults;
        std::cerr << "writer " << w << ": record " << id << " not found\n";
        mine.erase(it);
        continue;
      }
      if (ReadRow(t, buffer.data(), true) != it->second.first) {
        ++faults;
        std::cerr << "writer " << w << ": record " << id << " differs from what was written\n";
      }
      if (op < 8) {
        const int version = it->second.second + 1;
        const TRow row = MakeRow(id, version);
        SetText(t, buffer.data(), kFName, row.Name);
        PutBlob(t, buffer.data(), kFMemo, row.Memo);
        t.ModifyRecord(buffer.data(), true, false);
        Store(t, buffer);
        it->second = {row, version};
      } else {
        t.DeleteRecord(false);
        mine.erase(it);
      }
    }
    } catch (const tabula::ETabulaEngineError& e) {
      Store(t, buffer);
      ++faults;
      std::cerr << "writer " << w << ": op " << op << " on " << lastId << ": " << e.Message << "\n";
    }
    ++ops;
  }
  std::ofstream log(logPath, std::ios::trunc);
  for (const auto& [id, entry] : mine) log << id << ' ' << entry.second << '\n';
  t.Close();
  return "done " + std::to_string(ops) + " " + std::to_string(faults);
}

std::string Reader(const std::string& path, double seconds) {
  TDataFile t;
  t.SetFileName(path);
  t.SetReadOnly(true);
  t.Open();
  int scans = 0;
  int faults = 0;
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    t.GotoFirst();
    int32_t previous = INT32_MIN;
    while (t.ReadNext(buffer.data()) == 0) {
      const int32_t id = GetInt(t, buffer.data(), kFId);
      const int32_t value = GetInt(t, buffer.data(), kFValue);
      const std::string name = GetText(t, buffer.data(), kFName);
      const std::string prefix = "w" + std::to_string(id / 1000000) + "v";
      if (buffer[0] != 0 || id <= previous || value != id || name.compare(0, prefix.size(), prefix) != 0) {
        ++faults;
        std::cerr << "reader: bad record status " << int(buffer[0]) << " id " << id << " after " << previous
                  << " value " << value << " name " << name << "\n";
      }
      previous = id;
    }
    ++scans;
  }
  return "done " + std::to_string(scans) + " " + std::to_string(faults);
}

}  // namespace

int main() {
  tabula::InitializeEngine();
  TDataFile table;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::string answer = "ok";
    try {
      if (command == "open") {
        std::string path;
        in >> path;
        table.SetFileName(path);
        table.Open();
      } else if (command == "txn") {
        table.StartTransaction();
        std::vector<uint8_t> buffer(size_t(table.RecordSize()));
        for (int32_t id = 1000; id < 1020; ++id) {
          table.InitRecord(buffer.data());
          FillRow(table, buffer.data(), TRow{id, "txn", id, std::string(size_t(id), 'x'), "p"}, true);
          table.AppendRecord(buffer.data());
          Store(table, buffer);
        }
        if (FindId(table, 1) != 0 || table.ReadCurrent(buffer.data(), true) != 0) throw std::runtime_error("no Id 1");
        SetText(table, buffer.data(), kFName, "in-txn");
        PutBlob(table, buffer.data(), kFMemo, std::string(5000, 'y'));
        table.ModifyRecord(buffer.data(), true, true);
        Store(table, buffer);
        if (FindId(table, 2) != 0 || table.ReadCurrent(buffer.data(), true) != 0) throw std::runtime_error("no Id 2");
        table.DeleteRecord(true);
      } else if (command == "commit") {
        table.Commit();
      } else if (command == "writer") {
        std::string path, log;
        int w = 0;
        double seconds = 0;
        in >> path >> w >> seconds >> log;
        answer = Writer(path, w, seconds, log);
      } else if (command == "reader") {
        std::string path;
        double seconds = 0;
        in >> path >> seconds;
        answer = Reader(path, seconds);
      } else {
        answer = "error 0 unknown command";
      }
    } catch (const tabula::ETabulaEngineError& e) {
      answer = "error " + std::to_string(e.Code()) + " " + e.Message;
    } catch (const std::exception& e) {
      answer = std::string("error 0 ") + e.what();
    }
    std::cout << answer << std::endl;
  }
  return 0;
}
