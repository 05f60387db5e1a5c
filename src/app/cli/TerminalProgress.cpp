#include "app/cli/TerminalProgress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kf {

TerminalProgress::TerminalProgress(bool terminal, int columns, Writer write)
    : terminal_(terminal), columns_(std::max(columns, 20)), write_(std::move(write)) {}

TerminalProgress TerminalProgress::ForStandardError() {
  const bool terminal = ::isatty(2) != 0;
  int columns = 80;
  winsize ws{};
  if (terminal && ::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
    columns = ws.ws_col;
  } else if (const char* env = std::getenv("COLUMNS")) {
    if (const int c = std::atoi(env); c > 0) columns = c;
  }
  return TerminalProgress(terminal, columns, [](const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  });
}

void TerminalProgress::update(double fraction, double elapsedSeconds) {
  const double f = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
  const int percent = static_cast<int>(std::floor(f * 100));
  if (!terminal_) {
    if (percent != lastPercent_) write_(std::to_string(percent) + "%\n");
    lastPercent_ = percent;
    return;
  }
  std::string tail = (percent < 10 ? "   " : percent < 100 ? "  " : " ") + std::to_string(percent) + "%";
  if (f > 0.01 && f < 1 && elapsedSeconds > 1) {
    const long left = std::lround(elapsedSeconds * (1 - f) / f);
    char buf[48];
    if (left >= 3600)
      std::snprintf(buf, sizeof buf, "  about %ld:%02ld:%02ld left", left / 3600, left / 60 % 60, left % 60);
    else
      std::snprintf(buf, sizeof buf, "  about %02ld:%02ld left", left / 60, left % 60);
    tail += buf;
  }
  // The bar takes what the line leaves, up to 50 cells; the longest tail
  // ("  about H:MM:SS left") is reserved so that the line never wraps.
  const int reserved = 4 + 24;
  const int width = std::clamp(columns_ - 1 - reserved - 2, 10, 50);
  const int filled = static_cast<int>(std::lround(f * width));
  std::string line = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]" + tail;
  if (line == lastLine_) return;
  // Blanks cover what a longer earlier line left behind.
  std::string padded = line;
  if (lastLine_.size() > line.size()) padded += std::string(lastLine_.size() - line.size(), ' ');
  write_("\r" + padded);
  lastLine_ = line;
  lastPercent_ = percent;
}

void TerminalProgress::finish() {
  if (terminal_ && !lastLine_.empty()) write_("\n");
  lastLine_.clear();
  lastPercent_ = -1;
}

}  // namespace kf
