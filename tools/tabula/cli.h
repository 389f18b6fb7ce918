#pragma once
// The tabula command line: `tabula COMMAND [options] ARGS`. Parses the
// arguments against each command's description, prints help, runs the
// command and turns every failure into one line on the error stream and an
// exit code (tool_error.h).

#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace tabula::tool {

struct TArgs {
  std::string Command;
  std::vector<std::string> Positional;
  std::map<std::string, std::string> Values;  // --name VALUE (or --name=VALUE)
  std::set<std::string> Flags;                // --name

  bool Has(const std::string& name) const { return Flags.count(name) || Values.count(name); }
  std::string Value(const std::string& name, const std::string& fallback = {}) const {
    auto it = Values.find(name);
    return it == Values.end() ? fallback : it->second;
  }
  // A whole non-negative number; EUsageError otherwise.
  long long Number(const std::string& name, long long fallback) const;
};

// Where commands write: the data stream, and the error stream for
// diagnostics and progress.
struct TStreams {
  std::ostream& Out;
  std::ostream& Err;
};

// Runs one command line (args without the program name). Returns the exit code.
int RunTabula(const std::vector<std::string>& args, TStreams streams);

// The commands (each returns its exit code; failures are raised).
int RunCreate(const TArgs& args, TStreams streams);
int RunInfo(const TArgs& args, TStreams streams);
int RunDump(const TArgs& args, TStreams streams);
int RunExport(const TArgs& args, TStreams streams);
int RunImport(const TArgs& args, TStreams streams);
int RunCheck(const TArgs& args, TStreams streams);
int RunRebuildIndexes(const TArgs& args, TStreams streams);

}  // namespace tabula::tool
