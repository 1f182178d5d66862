#include "removal-engine/file_error.h"

#include <cerrno>
#include <utility>

#include "protocol/bus_string.h"
#include "protocol/removal_reply.h"

namespace quillfen {
namespace {

// The cause phrase that completes "“NAME” couldn’t be removed because ",
// or null when there is none for |error|.
const char* CausePhrase(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "you don’t have permission to access it.";
    case ENOENT:
      return "it no longer exists.";
    case EROFS:
      return "the volume is read-only.";
    case EBUSY:
      return "it is in use.";
    case ENOTEMPTY:
    case EEXIST:
      return "items were added to it while it was being removed.";
    case ELOOP:
      return "its path leads through a symbolic link.";
    case EXDEV:
      return "its path leads off the volume, onto another file system, which "
             "this removal never enters.";
    case ENAMETOOLONG:
      return "its path is too long.";
    case EIO:
      return "of an input/output error on the volume.";
    case ENOTDIR:
      return "a folder on its path was replaced.";
    case ESTALE:
      return "it was moved or replaced while the volume was being searched.";
    case EMFILE:
    case ENFILE:
      return "too many files are open.";
    case ENOMEM:
      return "the system is out of memory.";
    default:
      return nullptr;
  }
}

// |text| completed with the cause of |error|.
std::string WithCause(std::string text, int error) {
  if (const char* cause = CausePhrase(error)) {
    text.append(" because ");
    text.append(cause);
  } else {
    text.append(": ");
    text.append(SystemErrorText(error));
    text.append(".");
  }
  return text;
}

// |count| with a comma between each group of three digits: "8,557".
std::string GroupedDigits(std::uint64_t count) {
  const std::string digits = std::to_string(count);
  std::string grouped;
  for (std::size_t at = 0; at < digits.size(); ++at) {
    if (at > 0 && (digits.size() - at) % 3 == 0) grouped.push_back(',');
    grouped.push_back(digits[at]);
  }
  return grouped;
}

}  // namespace

std::string RemovalErrorDescription(std::string_view item_name, int error) {
  // The name may be one the bus can't carry (an item inside a selected
  // folder is never checked): the message must still reach the caller.
  std::string text = "“";
  text.append(BusSafeText(item_name));
  text.append("” couldn’t be removed");
  return WithCause(std::move(text), error);
}

std::string FolderSearchErrorDescription(std::string_view folder_name,
                                         int error) {
  std::string text = "The folder “";
  text.append(BusSafeText(folder_name));
  text.append("” couldn’t be searched");
  return WithCause(std::move(text), error);
}

std::string OtherFileSystemDescription(std::string_view item_name,
                                       std::string_view inner_path) {
  std::string text = "“";
  text.append(BusSafeText(item_name));
  if (inner_path.empty()) {
    text.append(
        "” couldn’t be removed because another file system is "
        "mounted on it");
  } else {
    text.append(
        "” couldn’t be removed whole because it holds another file "
        "system, mounted on “");
    text.append(BusSafeText(inner_path));
    text.append("”");
  }
  text.append(", which this removal never enters.");
  return text;
}

std::string HeldFileSystemSentence(std::string_view inner_path) {
  std::string text = "It holds another file system, mounted on “";
  text.append(BusSafeText(inner_path));
  text.append("”, which this removal never enters.");
  return text;
}

std::string MovedAwayDescription(std::string_view item_name,
                                 std::string_view inner_path) {
  std::string text = "“";
  if (inner_path.empty()) {
    text.append(BusSafeText(item_name));
    text.append("” was moved out of the volume while it was being removed");
  } else {
    text.append(BusSafeText(inner_path));
    text.append("” was moved out of the volume while “");
    text.append(BusSafeText(item_name));
    text.append("” was being removed");
  }
  text.append(", so what was moved was left where it went.");
  return text;
}

std::string FolderMovedAwayDescription(std::string_view folder_name) {
  std::string text = "The folder “";
  text.append(BusSafeText(folder_name));
  text.append(
      "” was moved out of the volume during the removal, so nothing "
      "more was removed from it.");
  return text;
}

std::string PartlyRemovedDescription(std::string_view folder_name,
                                     std::uint64_t removed, bool stopped,
                                     std::string_view cause) {
  std::string text = "“";
  text.append(BusSafeText(folder_name));
  text.append("” couldn’t be removed whole: ");
  text.append(GroupedDigits(removed));
  text.append(removed == 1 ? " of the items in it was removed"
                           : " of the items in it were removed");
  text.append(stopped ? kFolderCutShortByStopWords : ", but not the rest.");
  if (!cause.empty()) {
    text.append(" ");
    text.append(cause);
  }
  return text;
}

std::string UnnameableItemsDescription(std::uint64_t count) {
  if (count == 1) {
    return "1 item here whose name isn’t UTF-8 text was left in place.";
  }
  return GroupedDigits(count) +
         " items here whose names aren’t UTF-8 text were left in place.";
}

bool IsNoWritePermission(int error) {
  return error == EACCES || error == EPERM;
}

}  // namespace quillfen
