// tabula check TABLE.DAT
#include "tools/tabula/cli.h"
#include "tools/tabula/table_checker.h"
#include "tools/tabula/table_password.h"
#include "tools/tabula/tool_error.h"

namespace tabula::tool {

int RunCheck(const TArgs& args, TStreams streams) {
  TTablePassword password(args);
  const TCheckReport report = CheckTable(args.Positional[0], password);
  for (const std::string& fault : report.Faults) streams.Out << fault << "\n";
  if (!report.Faults.empty()) {
    streams.Err << "tabula check: " << args.Positional[0] << " is damaged (" << report.Faults.size()
                << (report.Faults.size() == 1 ? " fault" : " faults") << ")\n";
    return kExitFailure;
  }
  streams.Out << "ok: " << report.LiveRecords << " live records in " << report.Slots << " slots, "
              << report.IndexesCompared << " indexes compared with the records, " << report.BlobsChecked
              << " blobs\n";
  return kExitOk;
}

}  // namespace tabula::tool
