// quillfen-remove: removes unwanted files from a volume through the removal
// tool and service, playing the part Quillfen plays: it leaves the request
// in the shared domain, starts the tool and reads the reply.
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>

#include "client/command_line.h"
#include "client/interrupt_pipe.h"
#include "client/progress_line.h"
#include "client/removal_exchange.h"
#include "client/reply_summary.h"
#include "client/volume_rails.h"
#include "protocol/bus_string.h"
#include "protocol/json_form.h"
#include "protocol/removal_keys.h"
#include "protocol/removal_reply.h"
#include "removal-engine/quillfen_removal_service.h"

namespace quillfen {
namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "quillfen-remove: %s\n", message.c_str());
  return kExitUsageOrExchangeError;
}

// Prints |reply| (as |json_text| when there is that text, else as JSON of
// its own) or |summarize|'s summary of it; the status to exit with.
int Report(const RemovalReply& reply, const CommandLine& line,
           std::string (*summarize)(const RemovalReply&),
           const std::string* json_text = nullptr) {
  if (!line.json) {
    std::cout << summarize(reply);
  } else if (json_text != nullptr) {
    std::cout << *json_text << "\n";
  } else {
    std::cout << JsonTextFromValue(Value(reply)) << "\n";
  }
  return ExitStatusFor(reply);
}

// The request the command line asks for: from its file, or its options.
Result<RemovalRequest> RequestFor(const CommandLine& line) {
  if (line.request_file.empty()) return RequestFromOptions(line.options);
  return ReadRequest(line.request_file);
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

// The engine's own selection, here and read-only: the tool never runs.
int Preview(const RemovalRequest& request, const CommandLine& line) {
  RemovalReply selection =
      QuillfenRemovalService().previewWithFileDict(request);
  int status = Report(selection, line, SummarizePreview);
  if (!line.json) std::cout << OtherFileSystemsNote(VolumePathOf(request));
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
                         const std::string& token, const CommandLine& line) {
  ExchangeSettings settings;
  settings.tool_path = LocateRemovalTool();
  settings.service_dir = LocateServiceDir();
  if (line.timeout_seconds > 0) {
    settings.timeout = std::chrono::milliseconds(
        static_cast<long long>(line.timeout_seconds * 1000));
  }
  settings.token = token;
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

// What an exchange came to; an interrupted one that still brought its
// reply prints it (what was removed before the stop) and exits as an
// interrupted command does.
int ReportExchange(const ExchangeOutcome& outcome, const CommandLine& line) {
  if (!outcome.reply_json) {
    int status = Fail(outcome.reply_json.error().message);
    return outcome.interrupted ? kExitInterrupted : status;
  }
  // The summary counts the removed paths and lists only the failures.
  Result<Value> reply =
      ValueFromJsonTextCounting(*outcome.reply_json, kPathArrayKey);
  if (!reply || !reply->AsDictionary()) {
    return Fail(
        "the stored reply can't be read: " +
        (reply ? std::string("it is not an object") : reply.error().message));
  }
  int status = Report(*reply->AsDictionary(), line, SummarizeReply,
                      &*outcome.reply_json);
  return outcome.interrupted ? kExitInterrupted : status;
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
  if (line.preview) return Preview(*request, line);

  // This exchange's own token: only its reply, progress and stop carry it.
  const std::string token = NewExchangeToken();
  (*request)[std::string(kExchangeTokenKey)] = Value(token);
  Result<std::string> request_json = ExactJsonTextFromValue(Value(*request));
  if (!request_json) {
    return RefuseUnwritable(*request, request_json.error(), line);
  }
  return ReportExchange(Exchange(*request_json, token, line), line);
}
