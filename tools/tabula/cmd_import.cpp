// tabula import TABLE.DAT FILE.csv
#include <sys/stat.h>

#include <fstream>
#include <memory>

#include "tabula/blob_modes.h"
#include "tabula/bulk_loader.h"
#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/locale.h"
#include "framework/core/exceptions.h"
#include "tools/tabula/cli.h"
#include "tools/tabula/csv.h"
#include "tools/tabula/progress.h"
#include "tools/tabula/record_builder.h"
#include "tools/tabula/table_reader.h"

namespace tabula::tool {

namespace {

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

// The line on which data row `ordinal` (1 = the row after the header) begins.
int64_t LineOfRow(const std::string& csvName, TTextEncoding encoding, int64_t ordinal) {
  std::ifstream in(csvName, std::ios::binary);
  TCsvReader reader(in, csvName, encoding);
  std::vector<TCsvField> row;
  for (int64_t n = 0; n <= ordinal; ++n)
    if (!reader.ReadRow(row)) return 0;
  return reader.RowLine();
}

// Messages name the table, not the copy the rows go to.
std::string NamingTheTable(std::string text, TBulkLoader& loader) {
  auto base = [](const std::string& name) {
    const size_t slash = name.find_last_of('/'), dot = name.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash) ? name.substr(0, dot) : name;
  };
  const std::string copy = base(loader.Table().FileName()), table = base(loader.FileName());
  for (size_t at = 0; (at = text.find(copy, at)) != std::string::npos; at += table.size())
    text.replace(at, copy.size(), table);
  return text;
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
  // The rows go into a copy of the table, which replaces it only when every
  // row and index is written: a failure leaves the table as it was.
  std::unique_ptr<TBulkLoader> loader;
  try {
    TBulkLoadOptions options;
    options.Prepare = [&password](TDataFile& data) { password.Attach(data); };
    loader = std::make_unique<TBulkLoader>(args.Positional[0], std::move(options));
  } catch (const fw::Exception& e) {
    throw EToolError(OpenErrorText(e, password) + "; nothing was imported");
  }
  TDataFile& data = loader->Table();
  TProgress progress = TProgress::ForStderr("import", csvSize, !args.Has("quiet"));
  std::vector<uint8_t> buffer;
  std::vector<TPendingBlob> blobs;
  int64_t rows = 0;
  try {
    TRecordBuilder builder(data, row, csvName);
    while (reader.ReadRow(row)) {
      builder.Build(row, buffer, blobs);
      try {
        WriteBlobs(data, buffer, blobs);
        loader->Append(buffer.data());
        FreeBlobs(data, buffer, blobs);
      } catch (const fw::Exception& e) {
        FreeBlobs(data, buffer, blobs);
        throw EToolError(csvName + ":" + std::to_string(reader.RowLine()) + ": the table refused the row: " +
                         EngineErrorText(e));
      }
      ++rows;
      progress.Update(reader.BytesRead(), rows);
    }
    try {
      loader->Commit();
    } catch (const EBulkKeyViolation& e) {
      // The later of the two records is the row an append would have refused.
      const int64_t ordinal = int64_t(e.Record) - loader->FirstNewRecord() + 1;
      if (ordinal < 1) throw;
      throw EToolError(csvName + ":" + std::to_string(LineOfRow(csvName, encoding, ordinal)) +
                       ": the table refused the row: " + EngineErrorText(e));
    }
  } catch (const fw::Exception& e) {
    throw EToolError(NamingTheTable(EngineErrorText(e), *loader) + "; nothing was imported");
  } catch (const EToolError& e) {
    throw EToolError(NamingTheTable(e.what(), *loader) + "; nothing was imported");
  }
  progress.Finish(rows);
  streams.Out << "imported " << rows << " rows into " << loader->FileName() << "\n";
  return kExitOk;
}

}  // namespace tabula::tool
