#include "removal-engine/quillfen_removal_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <system_error>
#include <utility>

#include "platform/unique_fd.h"
#include "protocol/bus_string.h"
#include "protocol/removal_keys.h"
#include "removal-engine/candidate_list.h"
#include "removal-engine/file_error.h"
#include "removal-engine/item_remover.h"
#include "removal-engine/path_index.h"
#include "removal-engine/path_list.h"
#include "removal-engine/removal_plan.h"
#include "removal-engine/removal_record.h"
#include "removal-engine/removal_sweep.h"
#include "removal-engine/volume_bounds.h"
#include "removal-engine/volume_walker.h"

namespace quillfen {
namespace {

// Why the volume folder can't be opened, in the reply's words.
std::string VolumeOpenFailure(const std::string& path, int error) {
  std::string quoted = "“" + path + "”";
  switch (error) {
    case ENOENT:
      return "The volume " + quoted + " doesn’t exist.";
    case ENOTDIR:
      return "The volume " + quoted + " isn’t a folder.";
    case ELOOP:
      return "The volume " + quoted +
             " is a symbolic link; give the folder it points to.";
    case EACCES:
    case EPERM:
      return "The volume " + quoted +
             " couldn’t be opened because you don’t have permission to "
             "access it.";
    default:
      return "The volume " + quoted +
             " couldn’t be opened: " + SystemErrorText(error) + ".";
  }
}

// Opens the volume's folder; when it can't be, or must not be, the record
// says why.
UniqueFd OpenVolume(const RemovalPlan& plan, RemovalRecord* record) {
  const std::string& volume = plan.volume_spelling();
  UniqueFd volume_fd(
      open(volume.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (volume_fd && IsSystemRoot(volume_fd.get())) {
    // However it is spelt, the root is the whole system, never a volume.
    record->errors.emplace(
        plan.volume_path(),
        Value("The volume “" + plan.volume_path() +
              "” is the root of the system, which is never cleaned as a "
              "volume."));
    return UniqueFd();
  }
  if (volume_fd) return volume_fd;
  int error = errno;
  struct stat status;
  // O_DIRECTORY makes a link to a folder fail as "not a folder".
  if (error == ENOTDIR && lstat(volume.c_str(), &status) == 0 &&
      S_ISLNK(status.st_mode)) {
    error = ELOOP;
  }
  record->errors.emplace(plan.volume_path(),
                         Value(VolumeOpenFailure(plan.volume_path(), error)));
  record->show_read_me = IsNoWritePermission(error);
  return volume_fd;
}

// The listed "._" items that are there and that the sweep hasn't selected
// (so far), relative to the volume: what the listing may have left to
// remove. Every line must name a "._" item beneath the volume, reached
// without links: the walk saw those it selected, the rest are looked at.
// find goes onto other mounts; lines that lead there are dropped. A line
// that names nothing, or one printed twice, is a piece of a path that
// holds a line feed, an item find can't name: |split| is set then, for the
// walk finds such items. The items are views of |found|'s text.
std::vector<std::string_view> CheckListing(const AppleDoubleListing& found,
                                           RemovalSweep& sweep,
                                           ItemRemover& remover, bool* split) {
  *split = found.pieces_dropped;
  const PathList& paths = found.paths;
  auto path_of = [&paths](std::uint32_t number) { return paths[number]; };
  PathIndex lines;
  std::vector<std::string_view> named;
  for (std::size_t number = 0; number < paths.size(); ++number) {
    std::string_view relative = paths[number];
    if (!lines.Add(static_cast<std::uint32_t>(number), path_of)) {
      *split = true;
    } else if (sweep.Selected(relative)) {
      continue;
    } else {
      switch (remover.Find(relative)) {
        case ItemPlace::kThere:
          named.push_back(relative);
          break;
        case ItemPlace::kAbsent:
          *split = true;
          break;
        case ItemPlace::kOnAnotherMount:
          break;
      }
    }
  }
  return named;
}

// Removes (or, for a preview, only records) the listed items the sweep
// hasn't taken care of: all of them when nothing was walked, deepest first.
void RemoveListed(const RemovalPlan& plan,
                  const std::vector<std::string_view>& named,
                  RemovalSweep& sweep, ItemRemover* remover,
                  RemovalRecord* record) {
  CandidateList candidates;
  for (std::string_view relative : named) {
    if (plan.SelectsListed(relative) && !sweep.Selected(relative)) {
      candidates.Add(relative);
    }
  }
  for (std::string_view path : candidates.TakeInRemovalOrder()) {
    if (record->StopHere()) break;
    record->Record(path,
                   remover != nullptr ? remover->Remove(path) : Result<void>());
  }
}

// Walks the volume open at |volume_fd| with the plan's rules and takes the
// "._" items from |listing|, when find lists them.
void Sweep(RemovalPlan& plan, int volume_fd, ItemRemover& remover, bool remove,
           std::future<AppleDoubleListing> listing, RemovalRecord* record) {
  RemovalSweep sweep(plan, remove ? &remover : nullptr, record);
  bool walked = plan.HasRules();
  if (walked) VolumeWalker().Walk(volume_fd, sweep);
  if (!listing.valid()) return;
  // A listing still to be made on this thread is not begun after a stop.
  if (record->StopHere()) return;

  AppleDoubleListing found = listing.get();
  // A stopped removal takes nothing from a listing cut short.
  if (record->StopHere()) return;
  if (!found.failure.empty()) {
    record->errors.emplace(plan.volume_path(), Value(found.failure));
  }
  bool split = false;
  // Selected items are passed over here and again below: a walk made only
  // now may select some of the others.
  std::vector<std::string_view> named =
      CheckListing(found, sweep, remover, &split);
  // The walk also counts the "._" items find listed but the reply can't
  // name.
  if ((split || found.unnameable_dropped) && !walked) {
    VolumeWalker().Walk(volume_fd, sweep);
  }
  if (record->StopHere()) return;
  RemoveListed(plan, named, sweep, remove ? &remover : nullptr, record);
}

// find's listing of the AppleDouble items, made while the volume is
// walked; a stop asked of |progress| kills find. Without a thread to spare
// (the process may not make one) the listing is made on the calling
// thread once the walk is done, which is slower but lists the same.
std::future<AppleDoubleListing> StartListing(const RemovalPlan& plan,
                                             RemovalProgress* progress) {
  auto list = [&plan, progress] {
    return ListAppleDoubleFiles(plan.volume_spelling(), progress);
  };
  try {
    return std::async(std::launch::async, list);
  } catch (const std::system_error&) {
    return std::async(std::launch::deferred, list);
  }
}

}  // namespace

AppleDoubleListing QuillfenRemovalService::appleDoubleArrayForUrl(
    const std::string& volume_spelling) {
  return ListAppleDoubleFiles(volume_spelling);
}

void QuillfenRemovalService::removeWithFileDict(const RemovalRequest& request,
                                                const ReplyBlock& withReply) {
  withReply(CarryOut(request, /*remove=*/true, nullptr));
}

void QuillfenRemovalService::removeReportingProgress(
    const RemovalRequest& request, const ReplyBlock& withReply,
    RemovalProgress& progress) {
  withReply(CarryOut(request, /*remove=*/true, &progress));
}

RemovalReply QuillfenRemovalService::previewWithFileDict(
    const RemovalRequest& request) {
  return CarryOut(request, /*remove=*/false, nullptr);
}

bool QuillfenRemovalService::previewWithFileDict(const RemovalRequest& request,
                                                 const ReplyBlock& withReply) {
  withReply(previewWithFileDict(request));
  return true;
}

RemovalReply QuillfenRemovalService::CarryOut(const RemovalRequest& request,
                                              bool remove,
                                              RemovalProgress* progress) {
  // The same answer the removal tool gives when it can't send such a
  // request, so that a preview agrees with the real road.
  std::string fault = DictionaryBusFault(request);
  if (!fault.empty()) {
    return RefusedRequestReply(request, RequestBusRefusal(fault));
  }
  Result<RemovalPlan> reading = RemovalPlan::FromRequest(request);
  if (!reading) {
    if (reading.error().message.empty()) return EmptyRemovalReply();
    return RefusedRequestReply(request, reading.error().message);
  }
  RemovalPlan& plan = *reading;
  RemovalRecord record(plan.volume_spelling());
  record.progress = progress;
  UniqueFd volume_fd = OpenVolume(plan, &record);
  if (volume_fd) {
    plan.WatchForStop(progress);
    std::future<AppleDoubleListing> listing;
    if (plan.apple_double()) listing = StartListing(plan, progress);
    ItemRemover remover(volume_fd.get());
    Sweep(plan, volume_fd.get(), remover, remove, std::move(listing), &record);
    record.left_in_part = remover.folders_left_in_part() > 0;
  }

  RemovalReply reply = EmptyRemovalReply(Value(plan.volume_path()));
  record.Finish(plan.volume_path());
  reply[std::string(kShowReadMeKey)] = Value(record.show_read_me);
  reply[std::string(kPathArrayKey)] = Value(std::move(record.removed));
  reply[std::string(kErrorDictKey)] = Value(std::move(record.errors));
  return reply;
}

}  // namespace quillfen
