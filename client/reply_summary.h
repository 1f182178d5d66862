// How quillfen-remove tells a person what happened: a summary of a
// RemovalReply (how many items went, each failure with its reason, the
// permission hint when "showReadMe" is set, or only the reason when the
// request couldn't start at all), of a preview, and the exit status that
// goes with a reply. Pure functions: safe from any thread.
#ifndef QUILLFEN_CLIENT_REPLY_SUMMARY_H_
#define QUILLFEN_CLIENT_REPLY_SUMMARY_H_

#include <string>

#include "protocol/value.h"

namespace quillfen {

// Exit statuses of quillfen-remove.
inline constexpr int kExitAllRemoved = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsageOrExchangeError = 2;
// The person interrupted the removal (128 + SIGINT, as shells report it).
inline constexpr int kExitInterrupted = 130;

std::string SummarizeReply(const RemovalReply& reply);
std::string SummarizePreview(const RemovalReply& preview);

// kExitSomeFailed when "errorDict" names anything, else kExitAllRemoved.
int ExitStatusFor(const RemovalReply& reply);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_REPLY_SUMMARY_H_
