// phonedir-demo DIR [--subscribers N] [--seed S] [--force] [--quiet]: writes
// the demo directory (base2.DAT, street.DAT, banners.DAT) into DIR.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "tools/demo/demo_directory.h"
#include "tools/tabula/progress.h"
#include "tools/tabula/table_reader.h"

namespace {

constexpr const char* kUsage =
    "usage: phonedir-demo DIR [--subscribers N] [--seed S] [--force] [--quiet]\n"
    "  Writes the demo telephone directory of Borvino into DIR: base2.DAT\n"
    "  (subscribers, default 50000), street.DAT and banners.DAT.\n"
    "  --force replaces tables of the same names; --quiet shows no progress.\n";

struct EUsageError {
  std::string Text;
};

unsigned long long ParseNumber(const std::string& option, const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno == ERANGE)
    throw EUsageError{option + " wants a whole number, not '" + text + "'"};
  return value;
}

demo::TDemoOptions ParseArgs(const std::vector<std::string>& args, bool& quiet) {
  demo::TDemoOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i], value;
    const size_t eq = arg.find('=');
    const bool hasValue = arg.rfind("--", 0) == 0 && eq != std::string::npos;
    if (hasValue) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    const auto takeValue = [&]() -> std::string {
      if (hasValue) return value;
      if (i + 1 >= args.size()) throw EUsageError{arg + " wants a value"};
      return args[++i];
    };
    if (arg == "--subscribers") {
      const unsigned long long n = ParseNumber(arg, takeValue());
      if (n > static_cast<unsigned long long>(demo::kMaxSubscribers))
        throw EUsageError{"at most " + std::to_string(demo::kMaxSubscribers) + " subscribers"};
      options.Subscribers = static_cast<int64_t>(n);
    } else if (arg == "--seed") {
      options.Seed = ParseNumber(arg, takeValue());
    } else if (arg == "--force" && !hasValue) {
      options.Overwrite = true;
    } else if (arg == "--quiet" && !hasValue) {
      quiet = true;
    } else if (arg.rfind("-", 0) == 0 && arg != "-") {
      throw EUsageError{"unknown option " + args[i]};
    } else if (options.Directory.empty()) {
      options.Directory = arg;
    } else {
      throw EUsageError{"one directory only"};
    }
  }
  if (options.Directory.empty()) throw EUsageError{"no directory given"};
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args)
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  try {
    bool quiet = false;
    demo::TDemoOptions options = ParseArgs(args, quiet);
    // One bar per table, on standard error.
    std::string current;
    std::unique_ptr<tabula::tool::TProgress> bar;
    options.Progress = [&](const demo::TDemoProgress& p) {
      if (p.Table != current) {
        current = p.Table;
        bar = std::make_unique<tabula::tool::TProgress>(
            tabula::tool::TProgress::ForStderr(p.Table, p.Total, !quiet));
      }
      if (p.Done < p.Total)
        bar->Update(p.Done, p.Done);
      else
        bar->Finish(p.Done);
    };
    demo::MakeDemoDirectory(options);
    if (!quiet) std::fprintf(stderr, "demo directory written to %s\n", options.Directory.c_str());
    return 0;
  } catch (const EUsageError& e) {
    std::fprintf(stderr, "phonedir-demo: %s\n%s", e.Text.c_str(), kUsage);
    return 2;
  } catch (const demo::EDemoError& e) {
    std::fprintf(stderr, "phonedir-demo: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    // Engine messages are Windows-1251.
    std::fprintf(stderr, "phonedir-demo: %s\n", tabula::tool::EngineErrorText(e).c_str());
    return 1;
  }
}
