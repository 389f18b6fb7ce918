#include "tools/tabula/cli.h"

#include <charconv>
#include <functional>

#include "tabula/file_session.h"
#include "framework/core/exceptions.h"
#include "tools/tabula/table_reader.h"
#include "tools/tabula/tool_error.h"

namespace tabula::tool {

namespace {

struct TCommand {
  const char* Name;
  const char* Summary;
  std::string Help;  // usage and options
  std::set<std::string> ValueOptions;
  std::set<std::string> FlagOptions;
  size_t MinArgs;
  size_t MaxArgs;
  std::function<int(const TArgs&, TStreams)> Run;
};

// The password option of every command that opens an existing table.
constexpr const char* kPasswordHelp =
    "  --password TEXT  the password of an enciphered table; without it the password\n"
    "                   is asked for (without echo) when the input is a terminal\n";

const std::vector<TCommand>& Commands() {
  static const std::vector<TCommand> kCommands = {
      {"create", "make a new, empty table from a schema file",
       "usage: tabula create [--force] SCHEMA OUT.DAT\n"
       "  Makes OUT.DAT, its index file and, with blob fields, its blob file from the\n"
       "  schema (see docs/tabula-schema.md). The files are written under temporary\n"
       "  names and renamed into place when all are complete.\n"
       "  --force   replace an existing table of that name\n",
       {}, {"force"}, 2, 2, RunCreate},
      {"info", "show a table's header, fields, indexes and counts",
       "usage: tabula info [--schema] [--password TEXT] TABLE.DAT\n"
       "  --schema         print the table's definition in the schema file format instead\n" +
       std::string(kPasswordHelp),
       {"password"}, {"schema"}, 1, 1, RunInfo},
      {"dump", "print records as tab-separated lines",
       "usage: tabula dump [--index NAME] [--from KEY] [--limit N] [--filter EXPR] TABLE.DAT\n"
       "  Prints a header line of field names, then one line per record: its slot,\n"
       "  then each field (\\N for NULL; tab, newline and backslash escaped as \\t \\n \\\\;\n"
       "  blobs as their size in bytes).\n"
       "  --index NAME  in the order of that index (\"primary\" for the primary index);\n"
       "                physical order otherwise\n"
       "  --from KEY    start at the first key at or after KEY: the key fields' values\n"
       "                as one CSV row, e.g. --from 'Moscow,Ivanov'\n"
       "  --limit N     at most N records\n"
       "  --filter EXPR only records that satisfy the filter expression\n" +
       std::string(kPasswordHelp),
       {"index", "from", "limit", "filter", "password"}, {}, 1, 1, RunDump},
      {"export", "write every record to a CSV file or an SQLite database",
       "usage: tabula export TABLE.DAT (--csv OUT.csv | --sqlite OUT.db) [options]\n"
       "  CSV: a header row of field names, then one row per record (RFC 4180).\n"
       "  SQLite: a table with a column per field and the table's indexes.\n"
       "  --index NAME        in the order of that index; physical order otherwise\n"
       "  --encoding ENC      CSV text as utf8 (default) or cp1251\n"
       "  --blobs files|hex   CSV: binary blobs as files in OUT.csv.blobs/ (default;\n"
       "                      the cell holds file:PATH) or as hexadecimal\n"
       "  --slot              CSV: a first column \"slot\" with each record's slot number\n"
       "  --table NAME        SQLite: the table's name (default: the data file's base name)\n"
       "  --force             replace an existing output file\n"
       "  --quiet             no progress display\n" +
       std::string(kPasswordHelp),
       {"csv", "sqlite", "index", "encoding", "blobs", "table", "password"}, {"slot", "force", "quiet"}, 1, 1,
       RunExport},
      {"import", "append the rows of a CSV file to a table",
       "usage: tabula import [--encoding utf8|cp1251] [--quiet] TABLE.DAT FILE.csv\n"
       "  The first row names the fields (any order, any subset; letter case ignored).\n"
       "  The rows go into a copy of the table, whose indexes are built at the end\n"
       "  and which then replaces the table: a bad row stops the import with its\n"
       "  file, line, column and reason, and the table stays exactly as it was.\n"
       "  The table may not be open in another program meanwhile.\n"
       "  NULL is an empty field or \\N.\n"
       "  --encoding ENC   the file's text: utf8 (default) or cp1251\n"
       "  --quiet          no progress display\n" +
       std::string(kPasswordHelp),
       {"encoding", "password"}, {"quiet"}, 2, 2, RunImport},
      {"check", "verify the table's three files",
       "usage: tabula check TABLE.DAT\n"
       "  Checks the data file's header and layout, every record slot, the chain of\n"
       "  free slots, every index tree (key order, counts, links, \"Sys Deleted\"),\n"
       "  that each index holds exactly the keys of the live records, and the blob\n"
       "  file's chains. Prints each fault on one line; exit code 1 on damage.\n"
       "  An enciphered table is checked deciphered.\n" +
       std::string(kPasswordHelp),
       {"password"}, {}, 1, 1, RunCheck},
      {"rebuild-indexes", "write a fresh index file from the records",
       "usage: tabula rebuild-indexes TABLE.DAT\n"
       "  Builds every index of the table anew from the live records, under a\n"
       "  temporary name, checks it, and only then puts it in place of the old index\n"
       "  file. The table must not be open in another program. The index\n"
       "  definitions must be sound: a damaged one stops the rebuild before\n"
       "  anything is written.\n" +
       std::string(kPasswordHelp),
       {"password"}, {}, 1, 1, RunRebuildIndexes},
  };
  return kCommands;
}

std::string MainHelp() {
  std::string text =
      "usage: tabula COMMAND [options] ARGS\n"
      "The command-line tool for the tables of the Borvino phone directory.\n\ncommands:\n";
  for (const TCommand& c : Commands()) {
    std::string name = c.Name;
    name.resize(17, ' ');
    text += "  " + name + c.Summary + "\n";
  }
  text += "\n`tabula COMMAND --help` describes a command.\n";
  return text;
}

TArgs Parse(const TCommand& command, const std::vector<std::string>& args) {
  TArgs parsed;
  parsed.Command = command.Name;
  bool optionsEnded = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsEnded && a == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || a.size() < 3 || a.compare(0, 2, "--") != 0) {
      parsed.Positional.push_back(a);
      continue;
    }
    std::string name = a.substr(2);
    std::string value;
    const size_t eq = name.find('=');
    const bool inlineValue = eq != std::string::npos;
    if (inlineValue) {
      value = name.substr(eq + 1);
      name.erase(eq);
    }
    if (command.ValueOptions.count(name)) {
      if (!inlineValue) {
        if (i + 1 >= args.size()) throw EUsageError("option --" + name + " needs a value");
        value = args[++i];
      }
      if (parsed.Values.count(name)) throw EUsageError("option --" + name + " given twice");
      parsed.Values[name] = value;
    } else if (command.FlagOptions.count(name) && !inlineValue) {
      parsed.Flags.insert(name);
    } else {
      throw EUsageError("unknown option --" + name + " (see tabula " + command.Name + " --help)");
    }
  }
  if (parsed.Positional.size() < command.MinArgs || parsed.Positional.size() > command.MaxArgs)
  {
    const std::string help = command.Help;
    throw EUsageError("wrong number of arguments (" + help.substr(0, help.find('\n')) + ")");
  }
  return parsed;
}

}  // namespace

long long TArgs::Number(const std::string& name, long long fallback) const {
  auto it = Values.find(name);
  if (it == Values.end()) return fallback;
  long long value = 0;
  const std::string& t = it->second;
  auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (t.empty() || ec != std::errc() || ptr != t.data() + t.size() || value < 0)
    throw EUsageError("--" + name + " needs a whole number, not '" + t + "'");
  return value;
}

int RunTabula(const std::vector<std::string>& args, TStreams streams) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    if (args.size() >= 2) return RunTabula({args[1], "--help"}, streams);
    (args.empty() ? streams.Err : streams.Out) << MainHelp();
    return args.empty() ? kExitUsage : kExitOk;
  }
  const TCommand* command = nullptr;
  for (const TCommand& c : Commands())
    if (args[0] == c.Name) command = &c;
  if (!command) {
    streams.Err << "tabula: unknown command '" << args[0] << "' (tabula --help lists them)\n";
    return kExitUsage;
  }
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--") break;
    if (args[i] == "--help" || args[i] == "-h") {
      streams.Out << command->Help;
      return kExitOk;
    }
  }
  const std::string prefix = std::string("tabula ") + command->Name + ": ";
  try {
    // One engine session for the command: the passwords of enciphered tables live there.
    InitializeEngine();
    const TArgs parsed = Parse(*command, args);
    return command->Run(parsed, streams);
  } catch (const EUsageError& e) {
    streams.Err << prefix << e.what() << "\n";
    return kExitUsage;
  } catch (const EToolError& e) {
    streams.Err << prefix << e.what() << "\n";
    return kExitFailure;
  } catch (const fw::Exception& e) {
    streams.Err << prefix << EngineErrorText(e) << "\n";
    return kExitFailure;
  } catch (const std::bad_alloc&) {
    streams.Err << prefix << "out of memory\n";
    return kExitFailure;
  } catch (const std::exception& e) {
    streams.Err << prefix << e.what() << "\n";
    return kExitFailure;
  }
}

}  // namespace tabula::tool
