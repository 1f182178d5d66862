#include "removal-engine/volume_walker.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "removal-engine/volume_bounds.h"

namespace quillfen {
namespace {

constexpr std::size_t kMostDescriptors = 64;
constexpr std::size_t kFewestDescriptors = 2;  // A folder and its parent.

std::size_t DefaultBudget() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
      limit.rlim_cur == RLIM_INFINITY) {
    return kMostDescriptors;
  }
  // The rest of the process, a removal inside the walk and find's pipes
  // need descriptors too.
  return std::clamp<std::size_t>(limit.rlim_cur / 8, kFewestDescriptors,
                                 kMostDescriptors);
}

bool IsShortOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM;
}

// Where a stat is a round trip (a share above all), a walk that made them
// one after another would spend its time waiting: a batch with many is
// shared out among a few helper threads, whose stats the file system
// answers side by side.
constexpr std::size_t kLookupsPerHelper = 8;
constexpr std::size_t kMostLookupHelpers = 11;

}  // namespace

void LookUpEntryTypes(int folder_fd, std::span<WalkEntry> batch,
                      std::span<const std::size_t> unknown,
                      std::vector<char>& gone) {
  auto look = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      WalkEntry& entry = batch[unknown[i]];
      // The name ends in a NUL in the reader's buffer.
      struct stat status;
      if (fstatat(folder_fd, entry.name.data(), &status, AT_SYMLINK_NOFOLLOW) !=
          0) {
        gone[unknown[i]] = 1;
      } else {
        entry.is_directory = S_ISDIR(status.st_mode);
      }
    }
  };
  const std::size_t count = unknown.size();
  const std::size_t helpers =
      std::min(kMostLookupHelpers, count / kLookupsPerHelper);
  const std::size_t share = count / (helpers + 1);
  std::vector<std::thread> threads;
  try {
    for (std::size_t h = 0; h < helpers; ++h) {
      threads.emplace_back(look, h * share, (h + 1) * share);
    }
  } catch (const std::system_error&) {
    // No thread to spare: this one looks at the rest.
  }
  look(threads.size() * share, count);
  for (std::thread& thread : threads) thread.join();
}

std::string ChildPath(std::string_view folder_path, std::string_view name) {
  std::string path;
  path.reserve(folder_path.size() + 1 + name.size());
  path.append(folder_path);
  if (!path.empty()) path.push_back('/');
  path.append(name);
  return path;
}

VolumeWalker::VolumeWalker(std::size_t descriptor_budget)
    : budget_(descriptor_budget == 0
                  ? DefaultBudget()
                  : std::max(descriptor_budget, kFewestDescriptors)) {}

int VolumeWalker::Fd(std::size_t index) const {
  return index == 0 ? root_fd_ : frames_[index].fd.get();
}

void VolumeWalker::Adopt(std::size_t index, UniqueFd fd) {
  frames_[index].fd = std::move(fd);
  open_.push_back(index);
  Use(index);
}

void VolumeWalker::Close(std::size_t index) {
  Frame& frame = frames_[index];
  if (!frame.fd) return;
  auto it = std::find(open_.begin(), open_.end(), index);
  if (it != open_.end()) {
    *it = open_.back();
    open_.pop_back();
  }
  frame.fd.reset();
}

bool VolumeWalker::CloseOne(std::size_t keep) {
  const std::size_t top = frames_.size() - 1;
  std::size_t oldest = 0;  // The walked directory is never closed.
  for (std::size_t index : open_) {
    if (index == top || index == keep) continue;
    if (oldest == 0 || frames_[index].last_use < frames_[oldest].last_use) {
      oldest = index;
    }
  }
  if (oldest == 0) return false;
  Frame& frame = frames_[oldest];
  // The identity is taken now, while the descriptor is surely the folder
  // that was walked.
  struct stat status;
  frame.identified = fstat(frame.fd.get(), &status) == 0;
  frame.device = status.st_dev;
  frame.inode = status.st_ino;
  Close(oldest);
  return true;
}

Result<UniqueFd> VolumeWalker::OpenAt(int folder_fd, const char* name,
                                      std::size_t keep) {
  if (open_.size() >= budget_) CloseOne(keep);
  for (;;) {
    Result<UniqueFd> fd = OpenFolderOnMount(folder_fd, name);
    if (fd) return fd;
    int error = fd.error().code;
    if (!IsShortOfResources(error) || !CloseOne(keep)) {
      return ErrnoError(error);
    }
    // The process as a whole is short of descriptors: hold fewer.
    if (error != ENOMEM) {
      budget_ = std::max(open_.size(), kFewestDescriptors);
    }
  }
}

Result<int> VolumeWalker::Reopen(std::size_t index) {
  if (index == 0 || frames_[index].fd) return Fd(index);
  auto same = [this](int fd, std::size_t i) {
    struct stat status;
    return frames_[i].identified && fstat(fd, &status) == 0 &&
           status.st_dev == frames_[i].device &&
           status.st_ino == frames_[i].inode;
  };
  // Going up from the subfolder costs one open whatever the depth; the
  // identity check makes it as safe as having kept the folder open.
  if (index + 1 < frames_.size() && frames_[index + 1].fd) {
    Result<UniqueFd> up = OpenAt(frames_[index + 1].fd.get(), "..", index + 1);
    if (up && same(up->get(), index)) {
      Adopt(index, std::move(*up));
      return Fd(index);
    }
  }
  // Otherwise down again by name from the nearest folder still open.
  std::size_t base = index - 1;
  while (base > 0 && !frames_[base].fd) --base;
  for (std::size_t i = base + 1; i <= index; ++i) {
    const Frame& frame = frames_[i];
    std::string name(path_, frame.name_begin,
                     frame.path_end - frame.name_begin);
    Result<UniqueFd> down = OpenAt(Fd(i - 1), name.c_str(), i - 1);
    if (!down) return down.error();
    if (!same(down->get(), i)) return ErrnoError(ESTALE);
    Adopt(i, std::move(*down));
  }
  return Fd(index);
}

bool VolumeWalker::ReadTop(WalkVisitor& visitor) {
  const std::size_t top = frames_.size() - 1;
  const int fd = Fd(top);
  const std::size_t pending_begin = pending_.size();
  WalkAction action = WalkAction::kGoOn;
  DirectoryReader reader(fd, &buffer_);
  DirectoryEntry entry;
  for (;;) {
    if (!reader.ReadBatch()) {
      int error = reader.error();
      if (error == 0) break;
      if (error == ENOMEM && CloseOne(top)) continue;
      action = visitor.FolderFailed(PathOf(top), error);
      break;
    }
    batch_.clear();
    unknown_.clear();
    while (reader.NextInBatch(&entry)) {
      // Some file systems leave the type out; only then is a stat needed.
      if (entry.type == EntryType::kUnknown) unknown_.push_back(batch_.size());
      batch_.push_back(WalkEntry{entry.name, entry.inode,
                                 entry.type == EntryType::kDirectory});
    }
    if (!unknown_.empty()) {
      gone_.assign(batch_.size(), 0);
      LookUpEntryTypes(fd, batch_, unknown_, gone_);
      // An entry gone before it was looked at is no longer in the folder.
      std::size_t kept = 0;
      for (std::size_t i = 0; i < batch_.size(); ++i) {
        if (!gone_[i]) batch_[kept++] = batch_[i];
      }
      batch_.resize(kept);
    }
    if (!batch_.empty()) action = visitor.VisitEntries(fd, PathOf(top), batch_);
    // Only folder names outlive a batch: they are walked after the folder.
    for (const WalkEntry& walked : batch_) {
      if (!walked.is_directory) continue;
      pending_.push_back(walked.marked ? '\1' : '\0');
      pending_.append(walked.name);
      pending_.push_back('\0');
    }
    if (action != WalkAction::kGoOn) break;
  }
  if (action == WalkAction::kGoOn) {
    action = visitor.FinishFolder(fd, PathOf(top));
  }
  if (action == WalkAction::kSkipContents) pending_.resize(pending_begin);
  frames_[top].next_pending = pending_begin;
  frames_[top].pending_end = pending_.size();
  return action != WalkAction::kStop;
}

void VolumeWalker::Walk(int root_fd, WalkVisitor& visitor) {
  root_fd_ = root_fd;
  frames_.clear();
  open_.clear();
  path_.clear();
  pending_.clear();
  frames_.push_back(Frame{});
  bool going = ReadTop(visitor);
  while (going) {
    const Frame& top = frames_.back();
    if (top.next_pending < top.pending_end) {
      going = EnterNext(visitor);
    } else {
      going = frames_.size() > 1 && LeaveTop(visitor);
    }
  }
  frames_.clear();
  open_.clear();
  visitor.WalkDone();
}

bool VolumeWalker::EnterNext(WalkVisitor& visitor) {
  const std::size_t top = frames_.size() - 1;
  Frame& frame = frames_[top];
  const bool marked = pending_[frame.next_pending] != '\0';
  const char* name = pending_.data() + frame.next_pending + 1;
  const std::string_view name_view(name, std::strlen(name));
  frame.next_pending += name_view.size() + 2;
  WalkAction action = visitor.EnterFolder(PathOf(top), name_view, marked);
  if (action == WalkAction::kStop) return false;
  if (action == WalkAction::kGoOn) {
    // The path grows in one buffer: a deep chain's paths are long.
    const std::size_t name_begin = path_.empty() ? 0 : path_.size() + 1;
    if (!path_.empty()) path_.push_back('/');
    path_.append(name_view);
    Result<UniqueFd> fd = OpenAt(Fd(top), name, top);
    if (fd) {
      Frame child;
      child.name_begin = name_begin;
      child.path_end = path_.size();
      child.marked = marked;
      frames_.push_back(std::move(child));
      Adopt(top + 1, std::move(*fd));
      return ReadTop(visitor);
    }
    action = visitor.FolderFailed(path_, fd.error().code);
    path_.resize(frames_[top].path_end);
    if (action == WalkAction::kStop) return false;
  }
  Use(top);
  action = visitor.LeaveFolder(Fd(top), PathOf(top), name_view, marked);
  if (action == WalkAction::kStop) return false;
  if (action == WalkAction::kSkipContents) {
    frames_[top].next_pending = frames_[top].pending_end;
  }
  return true;
}

bool VolumeWalker::LeaveTop(WalkVisitor& visitor) {
  const std::size_t top = frames_.size() - 1;
  const std::size_t parent = top - 1;
  Result<int> parent_fd = Reopen(parent);
  Close(top);
  WalkAction action;
  if (!parent_fd) {
    // What is left of the parent can't be reached safely.
    action = visitor.FolderFailed(PathOf(parent), parent_fd.error().code);
    if (action != WalkAction::kStop) action = WalkAction::kSkipContents;
  } else {
    Use(parent);
    const Frame& frame = frames_[top];
    std::string_view name = std::string_view(path_).substr(
        frame.name_begin, frame.path_end - frame.name_begin);
    action =
        visitor.LeaveFolder(*parent_fd, PathOf(parent), name, frame.marked);
  }
  frames_.pop_back();
  path_.resize(frames_[parent].path_end);
  pending_.resize(frames_[parent].pending_end);
  if (action == WalkAction::kStop) return false;
  if (action == WalkAction::kSkipContents) {
    frames_[parent].next_pending = frames_[parent].pending_end;
  }
  return true;
}

}  // namespace quillfen
