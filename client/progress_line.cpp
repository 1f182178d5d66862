#include "client/progress_line.h"

#include <cinttypes>

namespace quillfen {
namespace {

// 1234567 as "1,234,567": counts run into millions.
std::string Grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
    text.push_back(digits[i]);
  }
  return text;
}

}  // namespace

std::string ProgressText(const ExchangeProgress& progress) {
  double seconds = static_cast<double>(progress.elapsed.count()) / 1000;
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", seconds);
  std::string text;
  if (!progress.counts) {
    text = "Waiting for the removal service… " + std::string(time);
  } else {
    const RemovalProgress::Counts& counts = *progress.counts;
    std::uint64_t rate = seconds > 0
                             ? static_cast<std::uint64_t>(
                                   static_cast<double>(counts.walked) / seconds)
                             : 0;
    text = Grouped(counts.walked) + " walked · " + Grouped(counts.removed) +
           " removed · " + Grouped(counts.failed) + " failed · " + time +
           " · " + Grouped(rate) + " entries/s";
  }
  if (progress.stopping) text += " · stopping…";
  return text;
}

void ProgressLine::Show(const ExchangeProgress& progress) {
  auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_drawn_ < std::chrono::milliseconds(100)) return;
  drawn_ = true;
  last_drawn_ = now;
  std::fprintf(out_, "\r\033[K%s", ProgressText(progress).c_str());
  std::fflush(out_);
}

void ProgressLine::Clear() {
  if (!drawn_) return;
  std::fprintf(out_, "\r\033[K");
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace quillfen
