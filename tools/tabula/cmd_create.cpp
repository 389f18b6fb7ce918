// tabula create SCHEMA OUT.DAT
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/table_creator.h"
#include "tools/tabula/cli.h"
#include "tools/tabula/schema.h"
#include "tools/tabula/table_reader.h"

namespace tabula::tool {

std::string ReadWholeFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) throw EToolError("cannot read " + name);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw EToolError("cannot read " + name);
  return text.str();
}

int RunCreate(const TArgs& args, TStreams streams) {
  const std::string& schemaName = args.Positional[0];
  const std::string tableName = ResolveDataFileName(args.Positional[1]);
  const TTableSchema schema = ParseSchema(ReadWholeFile(schemaName), schemaName);
  std::error_code ec;
  if (!args.Has("force") && std::filesystem::exists(tableName, ec))
    throw EToolError(tableName + " exists already (use --force to replace it)");
  TTableOptions options = schema.Options;
  options.Overwrite = args.Has("force");
  options.Password = schema.Password;
  try {
    // The engine writes the three files under temporary names and renames
    // them into place, the data file last.
    CreateTable(tableName, schema.Fields, schema.Indexes, options);
  } catch (const fw::Exception& e) {
    throw EToolError(EngineErrorText(e));
  }
  streams.Out << "created " << tableName << ": " << schema.Fields.size() << " fields, " << schema.Indexes.size()
              << " indexes\n";
  return kExitOk;
}

}  // namespace tabula::tool
