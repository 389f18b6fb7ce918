#pragma once
// Real second processes for tests: start a program with its standard input
// and output piped, talk to it line by line, wait for its exit status; or
// run a piece of the test itself in a forked child.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

class ChildProcess {
 public:
  ChildProcess() = default;
  // A child still running is killed and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts program with args (argv[0] is the program); its standard error
  // goes to the test's. Throws std::runtime_error when it cannot start.
  void Start(const std::string& program, const std::vector<std::string>& args = {});
  // Sends one line (a newline is added).
  void WriteLine(const std::string& line);
  // The next line of the child's output, without the newline. Throws
  // std::runtime_error on end of output or when nothing comes in time.
  std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Sends a line and returns the answer line.
  std::string Ask(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Closes the child's standard input (it sees end of file).
  void CloseInput();
  // Waits for the child to end: its exit code, or 128 + the signal that ended it.
  int Wait();
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string pending_;  // output read but not yet returned
};

struct ChildResult {
  int ExitCode = -1;   // exit code, or 128 + signal
  std::string Output;  // every complete line the child wrote to its standard output
};

// Runs a program to its end with empty input and collects its output.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args = {});

// Runs body in a forked copy of this process and returns its exit code (or
// 128 + signal). The child ends with _exit(body()); an exception escaping
// body ends it with 255.
int RunInFork(const std::function<int()>& body);

}  // namespace testing_support
