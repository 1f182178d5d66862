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

// Everything |fd| gives until its end (or a read error).
std::string ReadToEnd(int fd) {
  std::string text;
  char chunk[64 * 1024];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

std::vector<std::string> AppleDoublePathsFromOutput(
    std::string_view output, std::string_view volume_spelling,
    bool* pieces_dropped) {
  std::string prefix(volume_spelling);
  if (prefix.empty() || prefix.back() != '/') prefix.push_back('/');

  // find ends every path with a line feed; only a line feed inside a name
  // leaves a piece that doesn't start with the volume's path.
  if (output.ends_with('\n')) output.remove_suffix(1);
  std::vector<std::string> paths;
  if (output.empty()) return paths;
  std::vector<std::string_view> lines;
  for (std::size_t start = 0;;) {
    std::size_t end = output.find('\n', start);
    lines.push_back(output.substr(start, end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  bool dropped = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    bool continued = i + 1 < lines.size() && !IsBeneath(lines[i + 1], prefix);
    if (continued || !IsBeneath(line, prefix) ||
        !NamesAppleDoubleItem(line, prefix)) {
      // find lists the volume itself when its own name begins "._".
      if (line != volume_spelling) dropped = true;
      continue;
    }
    // A name the bus can't carry is never a candidate; it is no piece.
    if (!IsBusString(line)) continue;
    paths.emplace_back(line);
  }
  if (pieces_dropped != nullptr) *pieces_dropped = dropped;
  return paths;
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
  std::string text = ReadToEnd(output->read.get());
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
  listing.paths = AppleDoublePathsFromOutput(text, volume_spelling,
                                             &listing.pieces_dropped);
  return listing;
}

}  // namespace quillfen
