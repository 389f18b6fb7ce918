#include "tools/tabula/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace tabula::tool {

std::string FormatDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  const auto total = int64_t(seconds + 0.5);
  char buf[32];
  if (total >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", (long long)(total / 3600), (long long)(total / 60 % 60),
                  (long long)(total % 60));
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", (long long)(total / 60), (long long)(total % 60));
  return buf;
}

TProgress::TProgress(std::string label, int64_t total, std::FILE* out, bool terminal)
    : label_(std::move(label)), total_(total), out_(out), terminal_(terminal) {
  start_ = lastDraw_ = std::chrono::steady_clock::now();
}

TProgress TProgress::ForStderr(std::string label, int64_t total, bool enabled) {
  TProgress p(std::move(label), total, stderr, isatty(STDERR_FILENO) != 0);
  p.enabled_ = enabled;
  return p;
}

std::string TProgress::Describe(int64_t done, int64_t rows, double seconds, bool bar) const {
  std::string out = label_;
  const double share = total_ > 0 ? std::min(1.0, double(done) / double(total_)) : 0;
  char buf[128];
  if (bar && total_ > 0) {
    constexpr int kWidth = 30;
    const int filled = int(share * kWidth);
    out += " [" + std::string(size_t(filled), '#') + std::string(size_t(kWidth - filled), '.') + "]";
  }
  if (total_ > 0) {
    std::snprintf(buf, sizeof buf, " %5.1f%%", share * 100);
    out += buf;
  }
  out += "  " + std::to_string(rows) + " rows";
  if (seconds > 0.05) {
    std::snprintf(buf, sizeof buf, "  %.0f rows/s", double(rows) / seconds);
    out += buf;
    if (total_ > 0 && done > 0 && done < total_)
      out += "  " + FormatDuration(seconds * double(total_ - done) / double(done)) + " left";
    else
      out += "  " + FormatDuration(seconds);
  }
  return out;
}

void TProgress::Update(int64_t done, int64_t rows) {
  if (!enabled_ || finished_ || !out_) return;
  const auto now = std::chrono::steady_clock::now();
  const auto interval = terminal_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(5000);
  if (now - lastDraw_ < interval) return;
  lastDraw_ = now;
  lastDone_ = done;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const std::string text = Describe(done, rows, seconds, terminal_);
  if (terminal_)
    std::fprintf(out_, "\r%s\033[K", text.c_str());
  else
    std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void TProgress::Finish(int64_t rows) {
  if (!enabled_ || finished_ || !out_) return;
  finished_ = true;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const std::string text = Describe(total_ > 0 ? total_ : lastDone_, rows, seconds, terminal_);
  std::fprintf(out_, terminal_ ? "\r%s\033[K\n" : "%s\n", text.c_str());
  std::fflush(out_);
}

}  // namespace tabula::tool
