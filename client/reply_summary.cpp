#include "client/reply_summary.h"

#include <optional>

#include "protocol/removal_keys.h"

namespace quillfen {
namespace {

std::size_t CountOf(const RemovalReply& reply, std::string_view key) {
  const Value* value = Find(reply, key);
  if (value == nullptr) return 0;
  if (const Array* array = value->AsArray()) return array->size();
  if (const Dictionary* dictionary = value->AsDictionary()) {
    return dictionary->size();
  }
  return 0;
}

std::string Items(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " item" : " items");
}

std::string VolumeOf(const RemovalReply& reply) {
  const Value* volume = Find(reply, kVolumePathKey);
  return volume && volume->AsString() ? *volume->AsString() : "";
}

void AppendErrors(const RemovalReply& reply, std::string* text) {
  const Value* errors = Find(reply, kErrorDictKey);
  if (errors == nullptr || errors->AsDictionary() == nullptr) return;
  for (const auto& [path, reason] : *errors->AsDictionary()) {
    *text += "  " + path + ": " +
             (reason.AsString() ? *reason.AsString() : "(no reason given)") +
             "\n";
  }
}

// The engine's reason when the request never started: the volume can't
// be opened or the request is refused. It then answers with nothing
// removed and one error, under the volume's own path.
std::optional<std::string> WhyNothingStarted(const RemovalReply& reply) {
  if (CountOf(reply, kPathArrayKey) > 0) return std::nullopt;
  const Value* errors = Find(reply, kErrorDictKey);
  if (errors == nullptr || errors->AsDictionary() == nullptr ||
      errors->AsDictionary()->size() != 1) {
    return std::nullopt;
  }
  const auto& [path, reason] = *errors->AsDictionary()->begin();
  if (path != VolumeOf(reply) || reason.AsString() == nullptr) {
    return std::nullopt;
  }
  return *reason.AsString();
}

void AppendPermissionHint(const RemovalReply& reply, std::string* text) {
  const Value* show_read_me = Find(reply, kShowReadMeKey);
  if (show_read_me && show_read_me->AsBoolean() && *show_read_me->AsBoolean()) {
    *text +=
        "Some items could not be removed for lack of permission. Run "
        "quillfen-remove as a user who may change those folders, or give "
        "yourself write access to them, and try again.\n";
  }
}

}  // namespace

std::string SummarizeReply(const RemovalReply& reply) {
  if (std::optional<std::string> reason = WhyNothingStarted(reply)) {
    std::string text = *reason + "\n";
    AppendPermissionHint(reply, &text);
    return text;
  }
  std::size_t removed = CountOf(reply, kPathArrayKey);
  std::size_t failed = CountOf(reply, kErrorDictKey);
  std::string text;
  if (removed == 0 && failed == 0) {
    text = "Nothing to remove in " + VolumeOf(reply) + ".\n";
  } else {
    text = "Removed " + Items(removed) + " from " + VolumeOf(reply) + ".\n";
  }
  if (failed > 0) {
    text +=
        Items(failed) + (failed == 1 ? " wasn’t" : " weren’t") + " removed:\n";
    AppendErrors(reply, &text);
  }
  AppendPermissionHint(reply, &text);
  return text;
}

std::string SummarizePreview(const RemovalReply& preview) {
  if (std::optional<std::string> reason = WhyNothingStarted(preview)) {
    return *reason + "\n";
  }
  std::string text;
  const Value* paths = Find(preview, kPathArrayKey);
  std::size_t count = CountOf(preview, kPathArrayKey);
  if (count == 0) {
    text = "Nothing would be removed in " + VolumeOf(preview) + ".\n";
  } else {
    text =
        "Would remove " + Items(count) + " from " + VolumeOf(preview) + ":\n";
    for (const Value& path : *paths->AsArray()) {
      if (path.AsString()) text += "  " + *path.AsString() + "\n";
    }
  }
  if (std::size_t failing = CountOf(preview, kErrorDictKey); failing > 0) {
    text += Items(failing) + " wouldn’t be removed:\n";
    AppendErrors(preview, &text);
  }
  return text;
}

int ExitStatusFor(const RemovalReply& reply) {
  return CountOf(reply, kErrorDictKey) > 0 ? kExitSomeFailed : kExitAllRemoved;
}

}  // namespace quillfen
