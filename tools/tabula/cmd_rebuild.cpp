// tabula rebuild-indexes TABLE.DAT
#include "tools/tabula/cli.h"
#include "tools/tabula/index_rebuilder.h"
#include "tools/tabula/table_password.h"
#include "tools/tabula/tool_error.h"

namespace tabula::tool {

int RunRebuildIndexes(const TArgs& args, TStreams streams) {
  TTablePassword password(args);
  const TRebuildReport report = RebuildIndexes(args.Positional[0], password);
  streams.Out << "rebuilt " << report.IndexFileName << ": " << report.Indexes << " indexes over "
              << report.LiveRecords << " live records in " << report.Slots << " slots\n";
  return kExitOk;
}

}  // namespace tabula::tool
