#pragma once
// Progress of a long command on standard error. On a terminal: one bar
// redrawn in place, with the share done, the rows, the rate and the time
// left. Otherwise (a log, a pipe): a plain line now and then, so that logs
// stay readable.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tabula::tool {

class TProgress {
 public:
  // `total` units of work (bytes of the input, records of a table); 0 when
  // unknown. `out` is normally stderr; `terminal` whether it is a terminal.
  TProgress(std::string label, int64_t total, std::FILE* out, bool terminal);
  // The usual form: stderr, terminal when isatty says so. `enabled` false
  // makes every call do nothing (--quiet).
  static TProgress ForStderr(std::string label, int64_t total, bool enabled);

  // Reports `done` units and `rows` rows so far; draws at most a few times a
  // second (a line every 5 s when not on a terminal).
  void Update(int64_t done, int64_t rows);
  // The last state and a line end; nothing after that.
  void Finish(int64_t rows);

  // The text of one report, for the tests: "label  45.0%  123456 rows
  // 34567 rows/s  1:02 left" (terminal form adds the bar).
  std::string Describe(int64_t done, int64_t rows, double seconds, bool bar) const;

 private:
  std::string label_;
  int64_t total_;
  std::FILE* out_;
  bool terminal_;
  bool enabled_ = true;
  bool finished_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
  int64_t lastDone_ = 0;
};

// "1:02", "1:02:03".
std::string FormatDuration(double seconds);

}  // namespace tabula::tool
