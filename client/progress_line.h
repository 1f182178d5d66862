// ProgressLine: the line on a terminal that shows a removal under way
// (entries walked, removed, failed, the time so far and the pace), redrawn
// in place at most ten times a second and cleared at the end, so that
// nothing of it stays between the command and its summary. Before the
// service has reported anything it says what the client waits for. One
// thread.
#ifndef QUILLFEN_CLIENT_PROGRESS_LINE_H_
#define QUILLFEN_CLIENT_PROGRESS_LINE_H_

#include <chrono>
#include <cstdio>
#include <string>

#include "client/removal_exchange.h"

namespace quillfen {

class ProgressLine {
 public:
  // Draws on |out|, a terminal.
  explicit ProgressLine(std::FILE* out) : out_(out) {}

  // Redraws the line for |progress| unless it was drawn less than a tenth
  // of a second ago.
  void Show(const ExchangeProgress& progress);
  // Clears the line, if one was drawn.
  void Clear();

 private:
  std::FILE* out_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_drawn_;
};

// The line's text for |progress|: "1,200 walked · 300 removed · 0 failed ·
// 2.5 s · 480 entries/s".
std::string ProgressText(const ExchangeProgress& progress);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_PROGRESS_LINE_H_
