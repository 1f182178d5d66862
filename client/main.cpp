// quillfen-remove: removes unwanted files from a volume through the removal
// tool and service, playing the part Quillfen plays: it leaves the request
// in the shared domain, starts the tool and reads the reply.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>

#include "client/command_line.h"
#include "client/interrupt_pipe.h"
#include "client/path_listing.h"
#include "client/progress_line.h"
#include "client/removal_exchange.h"
#include "client/reply_summary.h"
#include "client/request_file.h"
#include "client/volume_rails.h"
#include "platform/journal_stream.h"
#include "protocol/bus_string.h"
#include "protocol/json_form.h"
#include "protocol/removal_keys.h"
#include "protocol/removal_reply.h"
#include "removal-engine/quillfen_removal_service.h"

namespace quillfen {
namespace {

// The programs this one starts for a removal (the tool, a private bus and
// the services it starts, find) write to the journal under this name, or
// nowhere: the terminal shows only this program's own lines.
constexpr char kJournalIdentifier[] = "quillfen-remove";

// Every message on standard error is one line after the program's name.
void SayError(const std::string& message) {
  std::fprintf(stderr, "quillfen-remove: %s\n", message.c_str());
}

int Fail(const std::string& message) {
  SayError(message);
  return kExitUsageOrExchangeError;
}

// Prints |reply| as the command line asks: its JSON (|json_text| when
// there is that text, else JSON of its own), the removed paths
// NUL-terminated with the failures on standard error, or |summarize|'s
// summary after the removed paths' lines with --verbose. A request that
// never started is said on standard error. The status to exit with.
int Report(const RemovalReply& reply, const CommandLine& line,
           const std::function<std::string(const RemovalReply&)>& summarize,
           const std::string* json_text = nullptr) {
  ReplyReading reading = ReadReply(reply);
  if (line.json) {
    if (json_text != nullptr) {
      std::cout << *json_text << "\n";
    } else {
      std::cout << JsonTextFromValue(Value(reply)) << "\n";
    }
  }
  if (reading.not_started) {
    std::cout.flush();
    return Fail(*reading.not_started);
  }
  if (line.json) return ExitStatusFor(reply);
  const Value* paths = Find(reply, kPathArrayKey);
  const Array empty;
  const Array& removed =
      paths != nullptr && paths->AsArray() ? *paths->AsArray() : empty;
  if (line.print0) {
    WriteNulTerminatedPaths(removed, std::cout);
    std::cout.flush();
    for (const auto& [path, reason] : reading.failures) {
      SayError(EscapeControlCharacters(path) + ": " + reason);
    }
    if (reading.stopped) {
      SayError(
          "the removal was stopped before it finished; run the same command "
          "again to finish the job");
    }
  } else {
    if (line.verbose) WritePathLines(removed, std::cout);
    std::cout << summarize(reply);
  }
  return ExitStatusFor(reply);
}

// The request the command line asks for: from its file, or its options.
Result<RemovalRequest> RequestFor(const CommandLine& line) {
  if (line.request_file.empty()) return RequestFromOptions(line.options);
  return ReadRequestFile(line.request_file);
}

// The volume path the request names, or "".
std::string VolumePathOf(const RemovalRequest& request) {
  const Value* volume = Find(request, kVolumePathKey);
  return volume != nullptr && volume->AsString() != nullptr
             ? *volume->AsString()
             : std::string();
}

// A token no other exchange has: 128 bits from the kernel, in hex. Where
// the kernel has none to give, the process and the clock still tell this
// exchange from the others of this user.
std::string NewExchangeToken() {
  unsigned char bytes[16] = {};
  std::string token;
  if (getrandom(bytes, sizeof bytes, 0) == sizeof bytes) {
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char byte : bytes) {
      token.push_back(kHex[byte >> 4]);
      token.push_back(kHex[byte & 0xf]);
    }
    return token;
  }
  return std::to_string(getpid()) + "-" +
         std::to_string(
             std::chrono::steady_clock::now().time_since_epoch().count());
}

// This process's standard error sent to |fd| for as long as it lives:
// the engine runs find in this process for a preview, and what find says
// of folders it can't read is the engine's to report, not find's.
class StandardErrorTo {
 public:
  explicit StandardErrorTo(int fd)
      : saved_(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
    if (saved_ && fd >= 0) dup2(fd, STDERR_FILENO);
  }
  ~StandardErrorTo() {
    if (saved_) dup2(saved_.get(), STDERR_FILENO);
  }
  StandardErrorTo(const StandardErrorTo&) = delete;
  StandardErrorTo& operator=(const StandardErrorTo&) = delete;

 private:
  UniqueFd saved_;
};

// The engine's own selection, here and read-only: the tool never runs.
int Preview(const RemovalRequest& request, const CommandLine& line,
            int companion_output_fd) {
  RemovalReply selection;
  {
    StandardErrorTo quiet(companion_output_fd);
    selection = QuillfenRemovalService().previewWithFileDict(request);
  }
  int status = Report(selection, line, [&](const RemovalReply& preview) {
    return SummarizePreview(preview, !line.verbose) +
           OtherFileSystemsNote(VolumePathOf(request));
  });
  return status;
}

// Text the shared domain can't hold (an option that isn't UTF-8) would
// reach the tool changed: it is refused here, in the words the tool and the
// engine use for text the bus can't carry.
int RefuseUnwritable(const RemovalRequest& request, const Error& json_error,
                     const CommandLine& line) {
  std::string fault = DictionaryBusFault(request);
  RemovalReply refusal = RefusedRequestReply(
      request,
      fault.empty()
          ? "The request can’t be written as JSON: " + json_error.message + "."
          : RequestBusRefusal(fault));
  return Report(refusal, line, SummarizeReply);
}

// The exchange with the tool, with a progress line on a terminal unless
// asked for none. Ctrl-C asks the service to stop instead of ending the
// client at once.
ExchangeOutcome Exchange(const std::string& request_json,
                         const std::string& token, const CommandLine& line,
                         int companion_output_fd) {
  ExchangeSettings settings;
  settings.tool_path = LocateRemovalTool();
  settings.service_dir = LocateServiceDir();
  if (line.timeout_seconds > 0) {
    settings.timeout = std::chrono::milliseconds(
        static_cast<long long>(line.timeout_seconds * 1000));
  }
  settings.token = token;
  settings.companion_output_fd = companion_output_fd;
  InterruptPipe interrupts;
  settings.interrupt_fd = interrupts.fd();
  ProgressLine progress_line(stderr);
  if (!line.quiet && isatty(STDERR_FILENO)) {
    settings.progress = [&](const ExchangeProgress& progress) {
      progress_line.Show(progress);
    };
  }
  ExchangeOutcome outcome = RunRemovalExchange(request_json, settings);
  progress_line.Clear();
  return outcome;
}

// What an exchange came to; a stopped one that still brought its reply
// prints it (what was removed before the stop) and exits as an
// interrupted, or timed-out, command does.
int ReportExchange(const ExchangeOutcome& outcome, const CommandLine& line) {
  auto stopped_status = [&outcome](int status) {
    if (outcome.timed_out) return kExitTimedOut;
    return outcome.interrupted ? kExitInterrupted : status;
  };
  if (!outcome.reply_json) {
    return stopped_status(Fail(outcome.reply_json.error().message));
  }
  // Unless the paths are listed, the summary counts them and lists only
  // the failures.
  Result<Value> reply =
      line.verbose || line.print0
          ? ValueFromJsonText(*outcome.reply_json)
          : ValueFromJsonTextCounting(*outcome.reply_json, kPathArrayKey);
  if (!reply || !reply->AsDictionary()) {
    return Fail(
        "the stored reply can't be read: " +
        (reply ? std::string("it is not an object") : reply.error().message));
  }
  return stopped_status(Report(*reply->AsDictionary(), line, SummarizeReply,
                               &*outcome.reply_json));
}

}  // namespace
}  // namespace quillfen

int main(int argc, char** argv) {
  using namespace quillfen;
  Result<CommandLine> reading = ReadCommandLine(argc, argv);
  if (!reading) return reading.error().code;
  const CommandLine& line = *reading;

  Result<RemovalRequest> request = RequestFor(line);
  if (!request) return Fail(request.error().message);
  Result<void> choice = CheckVolumeChoice(VolumePathOf(*request), line.force);
  if (!choice) return Fail(choice.error().message);
  UniqueFd companion_output = OpenJournalStream(kJournalIdentifier);
  if (line.preview) return Preview(*request, line, companion_output.get());

  // This exchange's own token: only its reply, progress and stop carry it.
  const std::string token = NewExchangeToken();
  (*request)[std::string(kExchangeTokenKey)] = Value(token);
  Result<std::string> request_json = ExactJsonTextFromValue(Value(*request));
  if (!request_json) {
    return RefuseUnwritable(*request, request_json.error(), line);
  }
  return ReportExchange(
      Exchange(*request_json, token, line, companion_output.get()), line);
}
