#include "removal-engine/apple_double_listing.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/result.h"
#include "platform/unique_fd.h"
#include "protocol/bus_string.h"
#include "removal-engine/file_error.h"

extern char** environ;

namespace quillfen {
namespace {

constexpr const char* kFindPath = "/usr/bin/find";

// Whether |line| names something strictly beneath the volume, whose text
// after the volume's own begins with |prefix|.
bool IsBeneath(std::string_view line, std::string_view prefix) {
  return line.size() > prefix.size() && line.starts_with(prefix);
}

// Whether every component after |prefix| is a plain name and the last one
// begins "._".
bool NamesAppleDoubleItem(std::string_view line, std::string_view prefix) {
  std::string_view rest = line.substr(prefix.size());
  std::string_view last;
  while (true) {
    std::size_t slash = rest.find('/');
    last = rest.substr(0, slash);
    if (last.empty() || last == "." || last == "..") return false;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return last.starts_with("._");
}

// Starts find over |volume_spelling|, writing to |output| and reading
// |input|; answers its process id.
Result<pid_t> StartFind(const std::string& volume_spelling, int output,
                        int input) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  std::string pattern = "._*";
  std::string name_option = "-name";
  std::string program = kFindPath;
  std::string volume = volume_spelling;
  char* argv[] = {program.data(), volume.data(), name_option.data(),
                  pattern.data(), nullptr};
  pid_t pid;
  int spawn_error =
      posix_spawn(&pid, kFindPath, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawn_error != 0) return ErrnoError(spawn_error);
  return pid;
}

// Everything |fd| gives until its end (or a read error), into |output|.
void ReadToEnd(int fd, AppleDoubleOutput& output) {
  char chunk[64 * 1024];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.Read(std::string_view(chunk, static_cast<std::size_t>(n)));
  }
}

}  // namespace

AppleDoubleOutput::AppleDoubleOutput(std::string_view volume_spelling)
    : volume_(volume_spelling), prefix_(volume_spelling) {
  if (prefix_.empty() || prefix_.back() != '/') prefix_.push_back('/');
}

void AppleDoubleOutput::Read(std::string_view piece) {
  while (!piece.empty()) {
    std::size_t end = piece.find('\n');
    if (end == std::string_view::npos) {
      line_.append(piece);
      return;
    }
    line_.append(piece.substr(0, end));
    piece.remove_prefix(end + 1);
    EndLine();
  }
}

void AppleDoubleOutput::EndLine() {
  ++lines_;
  if (holding_) Decide(&line_);
  held_.swap(line_);
  line_.clear();
  holding_ = true;
}

PathList AppleDoubleOutput::Finish(bool* pieces_dropped,
                                   bool* unnameable_dropped) {
  // find ends every path with a line feed; what follows the last one is a
  // line only if it is not empty.
  if (!line_.empty()) EndLine();
  // Nor is an output of one line feed alone.
  if (holding_ && !(lines_ == 1 && held_.empty())) Decide(nullptr);
  holding_ = false;
  if (pieces_dropped != nullptr) *pieces_dropped = dropped_;
  if (unnameable_dropped != nullptr) *unnameable_dropped = unnameable_dropped_;
  return std::move(paths_);
}

void AppleDoubleOutput::Decide(const std::string* next) {
  const std::string& line = held_;
  // Only a line feed inside a name leaves a piece that doesn't start with
  // the volume's path.
  bool continued = next != nullptr && !IsBeneath(*next, prefix_);
  if (continued || !IsBeneath(line, prefix_) ||
      !NamesAppleDoubleItem(line, prefix_)) {
    // find lists the volume itself when its own name begins "._".
    if (line != volume_) dropped_ = true;
    return;
  }
  // A name the bus can't carry is never a candidate; it is no piece.
  if (!IsBusString(line)) {
    unnameable_dropped_ = true;
    return;
  }
  paths_.Add(std::string_view(line).substr(prefix_.size()));
}

AppleDoubleListing ListAppleDoubleFiles(const std::string& volume_spelling,
                                        RemovalProgress* progress) {
  AppleDoubleListing listing;
  Result<Pipe> output = OpenPipe();
  Result<Pipe> input = OpenPipe();
  if (!output || !input) {
    int code = !output ? output.error().code : input.error().code;
    listing.failure =
        "The AppleDouble files couldn’t be listed: " + SystemErrorText(code) +
        ".";
    return listing;
  }
  Result<pid_t> pid =
      StartFind(volume_spelling, output->write.get(), input->read.get());
  // The child has its own copies of these ends: with ours closed, find
  // sees its input end and the read below sees find's output end.
  output->write.reset();
  input->read.reset();
  if (!pid) {
    listing.failure = "The AppleDouble files couldn’t be listed because " +
                      std::string(kFindPath) + " couldn’t be started: " +
                      SystemErrorText(pid.error().code) + ".";
    return listing;
  }
  // Until find is reaped its pid is its own, so the hook may kill it.
  if (progress != nullptr) {
    progress->SetStopHook([find = *pid] { kill(find, SIGKILL); });
  }
  AppleDoubleOutput lines(volume_spelling);
  ReadToEnd(output->read.get(), lines);
  output->read.reset();
  input->write.reset();
  if (progress != nullptr) progress->SetStopHook(nullptr);

  // find's exit status only says that some folder was unreadable, which is
  // no failure here; but a find that was killed listed only part of the
  // volume, and that must not pass for the whole listing.
  int status = 0;
  while (waitpid(*pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    listing.failure = "The AppleDouble files couldn’t all be listed because " +
                      std::string(kFindPath) +
                      " stopped early: " + strsignal(WTERMSIG(status)) + ".";
  }
  listing.paths =
      lines.Finish(&listing.pieces_dropped, &listing.unnameable_dropped);
  return listing;
}

}  // namespace quillfen
