// How quillfen-remove tells a person what happened: a reading of a
// RemovalReply (why the request never started, or how many items went,
// each failure with its reason, whether a stop cut the removal short), the
// summary made from it and from a preview, and the exit status that goes
// with a reply. A stop is no failure of an item: the reply's words for it
// are read as the stop, and the summary says what a stopped removal leaves
// to do. Pure functions: safe from any thread.
#ifndef QUILLFEN_CLIENT_REPLY_SUMMARY_H_
#define QUILLFEN_CLIENT_REPLY_SUMMARY_H_

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/value.h"

namespace quillfen {

// Exit statuses of quillfen-remove.
inline constexpr int kExitAllRemoved = 0;
inline constexpr int kExitSomeFailed = 1;
// A usage error, a request that can't start, or an exchange that failed.
inline constexpr int kExitUsageOrExchangeError = 2;
// The time limit passed (--timeout), as timeout(1) reports it.
inline constexpr int kExitTimedOut = 124;
// The person interrupted the removal (128 + SIGINT, as shells report it).
inline constexpr int kExitInterrupted = 130;

struct ReplyReading {
  std::string volume;
  // The reason, when the request never started: the volume can't be
  // opened, or the request is refused.
  std::optional<std::string> not_started;
  std::size_t removed = 0;
  bool stopped = false;  // A stop cut the removal short.
  // Folders the stop left with part of their items removed.
  std::size_t partly_removed = 0;
  // Each item that failed, by path, with the reply's reason.
  std::vector<std::pair<std::string, std::string>> failures;
  bool show_read_me = false;
};

ReplyReading ReadReply(const RemovalReply& reply);

std::string SummarizeReply(const RemovalReply& reply);
// With |list_paths|, each path that would go, indented, after the count.
std::string SummarizePreview(const RemovalReply& preview, bool list_paths);

// kExitSomeFailed when an item failed, else kExitAllRemoved.
int ExitStatusFor(const RemovalReply& reply);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_REPLY_SUMMARY_H_
