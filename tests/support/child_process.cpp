#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace testing_support {

namespace {

int StatusToCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int WaitPid(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return StatusToCode(status);
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (toChild_ >= 0) close(toChild_);
  if (fromChild_ >= 0) close(fromChild_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    WaitPid(pid_);
  }
}

void ChildProcess::Start(const std::string& program, const std::vector<std::string>& args) {
  if (pid_ > 0) throw std::runtime_error("child already running");
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> argvStore;
  argvStore.push_back(program);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  }
  pid_ = pid;
  toChild_ = in[1];
  fromChild_ = out[0];
  pending_.clear();
}

void ChildProcess::WriteLine(const std::string& line) {
  if (toChild_ < 0) throw std::runtime_error("child input closed");
  std::string data = line + "\n";
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(toChild_, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("cannot write to child");
    }
    done += static_cast<size_t>(n);
  }
}

std::string ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    if (fromChild_ < 0) throw std::runtime_error("child output closed");
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("no answer from child in time");
    pollfd p{fromChild_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fromChild_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("child output ended");
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

std::string ChildProcess::Ask(const std::string& line, std::chrono::milliseconds timeout) {
  WriteLine(line);
  return ReadLine(timeout);
}

void ChildProcess::CloseInput() {
  if (toChild_ >= 0) close(toChild_);
  toChild_ = -1;
}

int ChildProcess::Wait() {
  CloseInput();
  if (pid_ <= 0) return -1;
  int code = WaitPid(pid_);
  pid_ = -1;
  if (fromChild_ >= 0) close(fromChild_);
  fromChild_ = -1;
  return code;
}

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args) {
  ChildProcess child;
  child.Start(program, args);
  child.CloseInput();
  ChildResult result;
  try {
    for (;;) result.Output += child.ReadLine(std::chrono::minutes(5)) + "\n";
  } catch (const std::runtime_error&) {
    // end of output
  }
  result.ExitCode = child.Wait();
  return result;
}

int RunInFork(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int code = 255;
    try {
      code = body();
    } catch (...) {
      code = 255;
    }
    _exit(code);
  }
  return WaitPid(pid);
}

}  // namespace testing_support
