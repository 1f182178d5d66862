#include "client/reply_summary.h"

#include <string_view>

#include "client/path_listing.h"
#include "protocol/removal_keys.h"
#include "protocol/removal_reply.h"

namespace quillfen {
namespace {

std::string Items(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " item" : " items");
}

const Array* PathsOf(const RemovalReply& reply) {
  const Value* paths = Find(reply, kPathArrayKey);
  return paths != nullptr ? paths->AsArray() : nullptr;
}

void AppendFailures(const ReplyReading& reading, std::string_view verb,
                    std::string* text) {
  if (reading.failures.empty()) return;
  std::size_t n = reading.failures.size();
  *text += Items(n) + " " + std::string(verb) + ":\n";
  for (const auto& [path, reason] : reading.failures) {
    *text += "  " + EscapeControlCharacters(path) + ": " + reason + "\n";
  }
}

constexpr char kPermissionHint[] =
    "Some items could not be removed for lack of permission. Run "
    "quillfen-remove as a user who may change those folders, or give "
    "yourself write access to them, and try again.";

void AppendPermissionHint(const ReplyReading& reading, std::string* text) {
  if (reading.show_read_me) *text += std::string(kPermissionHint) + "\n";
}

}  // namespace

ReplyReading ReadReply(const RemovalReply& reply) {
  ReplyReading reading;
  const Value* volume = Find(reply, kVolumePathKey);
  if (volume != nullptr && volume->AsString() != nullptr) {
    reading.volume = *volume->AsString();
  }
  if (const Array* paths = PathsOf(reply)) reading.removed = paths->size();
  const Value* show_read_me = Find(reply, kShowReadMeKey);
  reading.show_read_me = show_read_me != nullptr && show_read_me->AsBoolean() &&
                         *show_read_me->AsBoolean();
  const Value* errors = Find(reply, kErrorDictKey);
  if (errors == nullptr || errors->AsDictionary() == nullptr) return reading;
  for (const auto& [path, value] : *errors->AsDictionary()) {
    std::string reason =
        value.AsString() ? *value.AsString() : "(no reason given)";
    if (path == reading.volume) {
      if (std::size_t stop = reason.find(kRemovalStoppedWords);
          stop != std::string::npos) {
        reading.stopped = true;
        reason.erase(stop > 0 ? stop - 1 : 0);
        if (reason.empty()) continue;
      }
    } else if (reason.ends_with(kFolderCutShortByStopWords)) {
      // Cut short by the stop alone; one that met a failure first says
      // why after these words, and is a failure.
      ++reading.partly_removed;
      continue;
    }
    reading.failures.emplace_back(path, std::move(reason));
  }
  // An error under the volume's own path is the whole story when nothing
  // was removed, nothing else failed and no stop cut anything short.
  if (reading.removed == 0 && !reading.stopped && reading.partly_removed == 0 &&
      reading.failures.size() == 1 &&
      reading.failures[0].first == reading.volume) {
    // Said in one line, the hint included.
    reading.not_started = reading.failures[0].second;
    if (reading.show_read_me)
      *reading.not_started += std::string(" ") + kPermissionHint;
  }
  return reading;
}

std::string SummarizeReply(const RemovalReply& reply) {
  ReplyReading reading = ReadReply(reply);
  std::string text;
  if (reading.not_started) {
    return *reading.not_started + "\n";
  }
  if (reading.stopped) {
    text = "The removal was stopped before it finished: " +
           Items(reading.removed) + " removed from " + reading.volume;
    if (reading.partly_removed > 0) {
      text += ", and part of " + std::to_string(reading.partly_removed) +
              (reading.partly_removed == 1 ? " folder" : " folders");
    }
    text += ". Run the same command again to finish the job.\n";
  } else if (reading.removed == 0 && reading.failures.empty()) {
    text = "Nothing to remove in " + reading.volume + ".\n";
  } else {
    text =
        "Removed " + Items(reading.removed) + " from " + reading.volume + ".\n";
  }
  AppendFailures(
      reading,
      reading.failures.size() == 1 ? "wasn’t removed" : "weren’t removed",
      &text);
  AppendPermissionHint(reading, &text);
  return text;
}

std::string SummarizePreview(const RemovalReply& preview, bool list_paths) {
  ReplyReading reading = ReadReply(preview);
  if (reading.not_started) return *reading.not_started + "\n";
  std::string text;
  if (reading.removed == 0) {
    text = "Nothing would be removed in " + reading.volume + ".\n";
  } else if (!list_paths) {
    text = "Would remove " + Items(reading.removed) + " from " +
           reading.volume + ".\n";
  } else {
    text = "Would remove " + Items(reading.removed) + " from " +
           reading.volume + ":\n";
    for (const Value& path : *PathsOf(preview)) {
      if (path.AsString()) {
        text += "  " + EscapeControlCharacters(*path.AsString()) + "\n";
      }
    }
  }
  AppendFailures(reading, "wouldn’t be removed", &text);
  return text;
}

int ExitStatusFor(const RemovalReply& reply) {
  return ReadReply(reply).failures.empty() ? kExitAllRemoved : kExitSomeFailed;
}

}  // namespace quillfen
