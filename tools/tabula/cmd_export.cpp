// tabula export TABLE.DAT --csv OUT.csv | --sqlite OUT.db
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "tabula/field_types.h"
#include "tabula/locale.h"
#include "tools/tabula/cli.h"
#include "tools/tabula/csv.h"
#include "tools/tabula/progress.h"
#include "tools/tabula/safe_file.h"
#include "tools/tabula/table_reader.h"
#include "tools/tabula/value_text.h"

namespace tabula::tool {

namespace fs = std::filesystem;

namespace {

std::string FieldText(const TFieldDesc& f, const uint8_t* value, uint32_t recNo, const std::string& table) {
  try {
    return FormatFieldValue(f, value);
  } catch (const EValueError& e) {
    throw EToolError(table + ": record " + std::to_string(recNo) + ", field " + Cp1251ToUtf8(f.Name) + ": " +
                     e.what());
  }
}

// Binary blobs of a CSV export go to files in a directory beside the CSV
// file, written under a temporary name and renamed with the CSV file.
class TBlobDirectory {
 public:
  TBlobDirectory(const std::string& csvName, bool overwrite)
      : finalDir_(csvName + ".blobs"), linkPrefix_(fs::path(csvName).filename().string() + ".blobs/") {
    std::error_code ec;
    if (!overwrite && fs::exists(finalDir_, ec)) throw EToolError(finalDir_ + " exists already (use --force)");
  }
  ~TBlobDirectory() {
    std::error_code ec;
    if (!tempDir_.empty() && !committed_) fs::remove_all(tempDir_, ec);
  }
  // Writes one blob; returns the cell text.
  std::string Write(uint32_t recNo, int fieldNo, const std::vector<uint8_t>& bytes) {
    if (tempDir_.empty()) {
      tempDir_ = TempNameBeside(finalDir_);
      std::error_code ec;
      if (!fs::create_directory(tempDir_, ec)) throw EToolError("cannot create " + tempDir_ + ": " + ec.message());
    }
    const std::string name = std::to_string(recNo) + "-" + std::to_string(fieldNo) + ".bin";
    std::ofstream out(tempDir_ + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) throw EToolError("cannot write " + tempDir_ + "/" + name);
    return "file:" + linkPrefix_ + name;
  }
  void Commit() {
    if (tempDir_.empty()) return;
    std::error_code ec;
    fs::remove_all(finalDir_, ec);
    fs::rename(tempDir_, finalDir_, ec);
    if (ec) throw EToolError("cannot rename " + tempDir_ + " to " + finalDir_ + ": " + ec.message());
    committed_ = true;
  }

 private:
  std::string finalDir_;
  std::string linkPrefix_;
  std::string tempDir_;
  bool committed_ = false;
};

int ExportCsv(TTableReader& table, const TArgs& args, TStreams streams) {
  const TTextEncoding encoding = ParseEncodingName(args.Value("encoding", "utf8"));
  const std::string blobMode = args.Value("blobs", "files");
  if (blobMode != "files" && blobMode != "hex") throw EUsageError("--blobs takes files or hex");
  const bool withSlot = args.Has("slot");
  TSafeFile file(args.Value("csv"), args.Has("force"));
  TBlobDirectory blobDir(args.Value("csv"), args.Has("force"));
  std::ofstream out(file.TempName(), std::ios::binary);
  if (!out) throw EToolError("cannot create " + file.TempName());
  TCsvWriter writer(out, encoding);
  const auto& fields = table.Fields();
  std::vector<std::string> texts;
  std::vector<bool> nulls;
  if (withSlot) texts.push_back("slot");
  for (const TFieldDesc& f : fields) texts.push_back(f.Name);
  writer.WriteRow(texts);
  TReadOrder order;
  order.IndexName = args.Value("index");
  TProgress progress = TProgress::ForStderr("export", table.LiveRecordCount(), !args.Has("quiet"));
  int64_t rows = 0;
  std::vector<uint8_t> value(256);
  table.ForEach(order, [&](uint32_t recNo, const uint8_t* buffer) {
    texts.clear();
    nulls.clear();
    if (withSlot) {
      texts.push_back(std::to_string(recNo));
      nulls.push_back(false);
    }
    for (size_t i = 0; i < fields.size(); ++i) {
      const TFieldDesc& f = fields[i];
      const int fieldNo = int(i) + 1;
      const bool isNull = table.Data().GetField(TDescSet::kWorking, fieldNo, buffer, value.data());
      nulls.push_back(isNull);
      if (isNull) {
        texts.emplace_back();
      } else if (f.FieldType == kFldBlob) {
        const std::vector<uint8_t> blob = table.ReadBlob(buffer, fieldNo, recNo);
        if (IsTextBlob(f))
          texts.emplace_back(blob.begin(), blob.end());
        else if (blobMode == "hex")
          texts.push_back(HexEncode(blob.data(), blob.size()));
        else
          texts.push_back(blobDir.Write(recNo, fieldNo, blob));
      } else {
        texts.push_back(FieldText(f, value.data(), recNo, table.FileName()));
      }
    }
    writer.WriteRow(texts, nulls);
    if (!out) throw EToolError("cannot write " + file.TempName());
    ++rows;
    progress.Update(rows, rows);
    return true;
  });
  out.close();
  if (!out) throw EToolError("cannot write " + file.TempName());
  blobDir.Commit();
  file.Commit();
  progress.Finish(rows);
  streams.Out << "exported " << rows << " records to " << file.FinalName() << "\n";
  return kExitOk;
}

std::string QuoteIdent(const std::string& utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  return out + "\"";
}

const char* SqliteType(const TFieldDesc& f) {
  switch (f.FieldType) {
    case kFldString:
    case kFldDate:
    case kFldTime:
    case kFldTimestamp: return "TEXT";
    case kFldBoolean:
    case kFldInt16:
    case kFldInt32:
    case kFldUInt16:
    case kFldUInt32: return "INTEGER";
    case kFldFloat:
    case kFldExtended: return "REAL";
    case kFldBcd: return "NUMERIC";
    case kFldBlob: return IsTextBlob(f) ? "TEXT" : "BLOB";
    default: return "BLOB";
  }
}

class TSqlite {
 public:
  explicit TSqlite(const std::string& name) {
    if (sqlite3_open_v2(name.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
      const std::string message = db_ ? sqlite3_errmsg(db_) : "cannot open";
      sqlite3_close(db_);
      db_ = nullptr;
      throw EToolError(name + ": " + message);
    }
  }
  ~TSqlite() {
    if (stmt_) sqlite3_finalize(stmt_);
    if (db_) sqlite3_close(db_);
  }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string message = error ? error : "error";
      sqlite3_free(error);
      throw EToolError("SQLite: " + message + " (in: " + sql + ")");
    }
  }
  sqlite3_stmt* Prepare(const std::string& sql) {
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
      throw EToolError(std::string("SQLite: ") + sqlite3_errmsg(db_));
    return stmt_;
  }
  void Step() {
    if (sqlite3_step(stmt_) != SQLITE_DONE) throw EToolError(std::string("SQLite: ") + sqlite3_errmsg(db_));
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  void Close() {
    if (stmt_) sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    if (sqlite3_close(db_) != SQLITE_OK) throw EToolError(std::string("SQLite: ") + sqlite3_errmsg(db_));
    db_ = nullptr;
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

int ExportSqlite(TTableReader& table, const TArgs& args, TStreams streams) {
  TSafeFile file(args.Value("sqlite"), args.Has("force"));
  std::string tableName = args.Value("table");
  if (tableName.empty()) tableName = fs::path(table.FileName()).stem().string();
  const auto& fields = table.Fields();
  {
    TSqlite db(file.TempName());
    db.Exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
    std::string create = "CREATE TABLE " + QuoteIdent(tableName) + " (";
    std::string insert = "INSERT INTO " + QuoteIdent(tableName) + " VALUES (";
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i) {
        create += ", ";
        insert += ", ";
      }
      create += QuoteIdent(Cp1251ToUtf8(fields[i].Name)) + " " + SqliteType(fields[i]);
      if (fields[i].Required) create += " NOT NULL";
      insert += "?";
    }
    db.Exec(create + ")");
    db.Exec("BEGIN");
    sqlite3_stmt* stmt = db.Prepare(insert + ")");
    TReadOrder order;
    order.IndexName = args.Value("index");
    TProgress progress = TProgress::ForStderr("export", table.LiveRecordCount(), !args.Has("quiet"));
    int64_t rows = 0;
    std::vector<uint8_t> value(256);
    table.ForEach(order, [&](uint32_t recNo, const uint8_t* buffer) {
      for (size_t i = 0; i < fields.size(); ++i) {
        const TFieldDesc& f = fields[i];
        const int fieldNo = int(i) + 1;
        const int col = fieldNo;
        if (table.Data().GetField(TDescSet::kWorking, fieldNo, buffer, value.data())) continue;  // NULL
        const uint8_t* v = value.data();
        switch (f.FieldType) {
          case kFldBoolean: sqlite3_bind_int(stmt, col, LoadU16(v) != 0); break;
          case kFldInt16: sqlite3_bind_int(stmt, col, LoadI16(v)); break;
          case kFldInt32: sqlite3_bind_int(stmt, col, LoadI32(v)); break;
          case kFldUInt16: sqlite3_bind_int(stmt, col, LoadU16(v)); break;
          case kFldUInt32: sqlite3_bind_int64(stmt, col, LoadU32(v)); break;
          case kFldFloat: sqlite3_bind_double(stmt, col, LoadF64(v)); break;
          case kFldExtended: sqlite3_bind_double(stmt, col, ExtendedToDouble(v)); break;
          case kFldBytes:
          case kFldVarBytes: sqlite3_bind_blob(stmt, col, v, f.DataSize, SQLITE_TRANSIENT); break;
          case kFldBlob: {
            const std::vector<uint8_t> blob = table.ReadBlob(buffer, fieldNo, recNo);
            if (IsTextBlob(f)) {
              const std::string text = Cp1251ToUtf8(std::string(blob.begin(), blob.end()));
              sqlite3_bind_text(stmt, col, text.data(), int(text.size()), SQLITE_TRANSIENT);
            } else {
              sqlite3_bind_blob(stmt, col, blob.data(), int(blob.size()), SQLITE_TRANSIENT);
            }
            break;
          }
          default: {
            const std::string text = Cp1251ToUtf8(FieldText(f, v, recNo, table.FileName()));
            sqlite3_bind_text(stmt, col, text.data(), int(text.size()), SQLITE_TRANSIENT);
          }
        }
      }
      db.Step();
      ++rows;
    progress.Update(rows, rows);
      return true;
    });
    db.Exec("COMMIT");
    // The table's indexes, built after the rows (faster than keeping them up
    // to date row by row).
    TDataFile& data = table.Data();
    for (int slot = 0; slot <= data.SecondaryIndexCount() && slot <= kMaxSecondaryIndexes; ++slot) {
      if (!data.IndexKeepsKeys(uint8_t(slot))) continue;
      const TIndexDescriptor d = data.GetIndexDesc(uint8_t(slot));
      if (d.FieldCount == 0) continue;
      const std::string name = tableName + "_" + (slot == 0 ? std::string("primary") : Cp1251ToUtf8(d.Name));
      std::string sql = std::string("CREATE ") + (slot == 0 || d.Unique ? "UNIQUE " : "") + "INDEX " +
                        QuoteIdent(name) + " ON " + QuoteIdent(tableName) + " (";
      for (int k = 0; k < d.FieldCount && k < kMaxKeyFields; ++k) {
        const uint16_t no = d.FieldNumbers[k];
        if (no < 1 || no > fields.size()) throw EToolError("index " + name + " names field number " + std::to_string(no));
        const TFieldDesc& f = fields[no - 1];
        if (k) sql += ", ";
        sql += QuoteIdent(Cp1251ToUtf8(f.Name));
        if (d.CaseInsensitive && f.FieldType == kFldString) sql += " COLLATE NOCASE";
        if (d.Descending || d.FieldDescending[k]) sql += " DESC";
      }
      db.Exec(sql + ")");
    }
    db.Close();
    file.Commit();
    progress.Finish(rows);
    streams.Out << "exported " << rows << " records to " << file.FinalName() << " (table " << tableName << ")\n";
  }
  return kExitOk;
}

}  // namespace

int RunExport(const TArgs& args, TStreams streams) {
  const bool csv = args.Has("csv"), sqlite = args.Has("sqlite");
  if (csv == sqlite) throw EUsageError("give exactly one of --csv OUT.csv and --sqlite OUT.db");
  if (sqlite && (args.Has("encoding") || args.Has("blobs") || args.Has("slot")))
    throw EUsageError("--encoding, --blobs and --slot apply to --csv only");
  if (csv && args.Has("table")) throw EUsageError("--table applies to --sqlite only");
  TTablePassword password(args);
  TTableReader table(args.Positional[0], password);
  return csv ? ExportCsv(table, args, streams) : ExportSqlite(table, args, streams);
}

}  // namespace tabula::tool
