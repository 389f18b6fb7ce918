// tabula import TABLE.DAT FILE.csv
#include <sys/stat.h>

#include <fstream>

#include "engine/blob_modes.h"
#include "engine/data_file.h"
#include "engine/engine_error.h"
#include "engine/locale.h"
#include "framework/core/exceptions.h"
#include "tools/tabula/cli.h"
#include "tools/tabula/csv.h"
#include "tools/tabula/progress.h"
#include "tools/tabula/record_builder.h"
#include "tools/tabula/table_reader.h"

namespace tabula::tool {

namespace {

// The table opened for writing, with a transaction that is rolled back
// unless committed.
class TImportTable {
 public:
  TImportTable(const std::string& path, TTablePassword& password) {
    try {
      data_.SetFileName(path);
      password.Attach(data_);
      data_.Open();
    } catch (const fw::Exception& e) {
      throw EToolError(OpenErrorText(e, password));
    }
  }
  ~TImportTable() {
    try {
      if (data_.InTransaction()) data_.Rollback();
      data_.Close();
    } catch (...) {
    }
  }
  TDataFile& Data() { return data_; }

 private:
  TDataFile data_;
};

void WriteBlobs(TDataFile& data, std::vector<uint8_t>& buffer, const std::vector<TPendingBlob>& blobs) {
  for (const TPendingBlob& blob : blobs) {
    int code = data.OpenBlob(blob.FieldNo, buffer.data(), kBlobModeWrite);
    if (code == kResultOk)
      code = data.WriteBlob(blob.FieldNo, buffer.data(), 0, int32_t(blob.Bytes.size()), blob.Bytes.data());
    if (code != kResultOk) RaiseEngineError(uint16_t(code), data.FileName());
  }
}

void FreeBlobs(TDataFile& data, std::vector<uint8_t>& buffer, const std::vector<TPendingBlob>& blobs) {
  for (const TPendingBlob& blob : blobs) {
    bool open = false;
    if (data.IsBlobOpen(blob.FieldNo, buffer.data(), open) == kResultOk && open)
      data.FreeBlob(blob.FieldNo, buffer.data());
  }
}

}  // namespace

int RunImport(const TArgs& args, TStreams streams) {
  const TTextEncoding encoding = ParseEncodingName(args.Value("encoding", "utf8"));
  const std::string& csvName = args.Positional[1];
  std::ifstream in(csvName, std::ios::binary);
  if (!in) throw EToolError("cannot read " + csvName);
  struct stat st {};
  const int64_t csvSize = ::stat(csvName.c_str(), &st) == 0 ? int64_t(st.st_size) : 0;
  TCsvReader reader(in, csvName, encoding);
  std::vector<TCsvField> row;
  if (!reader.ReadRow(row)) throw EToolError(csvName + ": empty file (a header row naming the fields is needed)");

  TTablePassword password(args);
  TImportTable table(args.Positional[0], password);
  TDataFile& data = table.Data();
  TProgress progress = TProgress::ForStderr("import", csvSize, !args.Has("quiet"));
  std::vector<uint8_t> buffer;
  std::vector<TPendingBlob> blobs;
  int64_t rows = 0;
  try {
    TRecordBuilder builder(data, row, csvName);
    // One transaction: nothing reaches the files before Commit; a failure
    // rolls every appended row back.
    data.StartTransaction();
    while (reader.ReadRow(row)) {
      builder.Build(row, buffer, blobs);
      try {
        WriteBlobs(data, buffer, blobs);
        data.AppendRecord(buffer.data());
        FreeBlobs(data, buffer, blobs);
      } catch (const fw::Exception& e) {
        FreeBlobs(data, buffer, blobs);
        throw EToolError(csvName + ":" + std::to_string(reader.RowLine()) + ": the table refused the row: " +
                         EngineErrorText(e));
      }
      ++rows;
      progress.Update(reader.BytesRead(), rows);
    }
    data.Commit();
  } catch (const fw::Exception& e) {
    throw EToolError(EngineErrorText(e) + "; nothing was imported");
  } catch (const EToolError& e) {
    throw EToolError(std::string(e.what()) + "; nothing was imported");
  }
  progress.Finish(rows);
  streams.Out << "imported " << rows << " rows into " << data.FileName() << "\n";
  return kExitOk;
}

}  // namespace tabula::tool
