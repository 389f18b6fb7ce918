#include "tools/tabula/table_password.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/file_session.h"
#include "tabula/locale.h"
#include "tools/tabula/cli.h"
#include "tools/tabula/tool_error.h"

namespace tabula::tool {

namespace {

constexpr int kMaxPrompts = 3;

}  // namespace

bool ReadPasswordWithoutEcho(const std::string& prompt, std::string& line) {
  line.clear();
  // Echo goes off before the prompt appears, so nothing typed after the
  // prompt is echoed or thrown away.
  termios saved {};
  const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= tcflag_t(~ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  bool got = false;
  for (char c; ::read(STDIN_FILENO, &c, 1) == 1;) {
    got = true;
    if (c == '\n') break;
    if (c != '\r') line.push_back(c);
  }
  if (terminal) ::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
  return got;
}

TTablePassword::TTablePassword(const TArgs& args) {
  if (args.Values.count("password")) given_ = Utf8ToCp1251(args.Value("password"));
}

bool TTablePassword::Offer(const std::string& tableName) {
  if (given_ && !givenTried_) {
    givenTried_ = true;
    CurrentSession().AddSessionPassword(*given_);
    return true;
  }
  // A password given on the command line that is not the table's is not
  // asked for again: the command is run unattended or the user said which.
  if (given_ || !::isatty(STDIN_FILENO) || prompts_ >= kMaxPrompts) return false;
  ++prompts_;
  std::string typed;
  const std::string name = std::filesystem::path(tableName).filename().string();
  if (!ReadPasswordWithoutEcho("Password for " + name + ": ", typed) || typed.empty()) return false;
  CurrentSession().AddSessionPassword(Utf8ToCp1251(typed));
  return true;
}

void TTablePassword::Attach(TDataFile& data) {
  TDataFile* file = &data;
  data.SetPasswordCallback(nullptr, [this, file](void*) { return Offer(file->FileName()); });
}

void TTablePassword::Require(const std::string& storedPassword, const std::string& fileName) {
  while (!CurrentSession().SessionKnowsPassword(storedPassword))
    if (!Offer(fileName)) RaiseEngineError(kErrPasswordRequired, fileName);
}

TPasswordCheck PasswordCheckOf(TTablePassword& password) {
  return [&password](const std::string& stored, const std::string& fileName) { password.Require(stored, fileName); };
}

}  // namespace tabula::tool
