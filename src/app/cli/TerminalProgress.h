// Export progress on a command line. On a terminal, one line redrawn in
// place: a bar as wide as the terminal allows, the percentage and, once it
// can be told, the time left ("[#######.......]  42%  about 00:12 left").
// Anywhere else (a pipe, a log file), one plain line per whole percent
// ("42%"), so that scripts and logs read it without control characters.
//
// Writes through the given function (standard error in the program).
// Single-threaded; the owner calls update() as progress changes and
// finish() when the work ends, however it ends.
#pragma once

#include <functional>
#include <string>

namespace kf {

class TerminalProgress {
 public:
  using Writer = std::function<void(const std::string& text)>;

  // `columns`: the terminal's width (ignored when not a terminal).
  TerminalProgress(bool terminal, int columns, Writer write);
  // For standard error: a terminal when it is one; its width from the
  // terminal, else $COLUMNS, else 80.
  static TerminalProgress ForStandardError();

  // `fraction` is clamped to 0…1; `elapsedSeconds` since the work began.
  void update(double fraction, double elapsedSeconds);
  // Ends the bar's line (on a terminal) if a bar was drawn; a later
  // update() starts afresh.
  void finish();

 private:
  bool terminal_;
  int columns_;
  Writer write_;
  int lastPercent_ = -1;
  std::string lastLine_;
};

}  // namespace kf
