// quillfen-remove: removes unwanted files from a volume through the removal
// tool and service, playing the part Quillfen plays: it leaves the request
// in the shared domain, starts the tool and reads the reply.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "client/command_line.h"
#include "client/removal_exchange.h"
#include "client/reply_summary.h"
#include "protocol/bus_string.h"
#include "protocol/json_form.h"
#include "protocol/removal_keys.h"
#include "protocol/removal_reply.h"
#include "removal-engine/quillfen_removal_service.h"

namespace {

using quillfen::kExitUsageOrExchangeError;

// "Waiting for the removal service… 2.4 s", redrawn in place.
void ShowProgress(std::chrono::milliseconds elapsed) {
  std::fprintf(stderr, "\r\033[KWaiting for the removal service… %.1f s",
               static_cast<double>(elapsed.count()) / 1000);
  std::fflush(stderr);
}

void ClearProgress() {
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  quillfen::CommandLineReading reading = quillfen::ReadCommandLine(argc, argv);
  if (!reading.command_line) return reading.exit_status;
  const quillfen::CommandLine& line = *reading.command_line;

  quillfen::RemovalRequest request;
  if (!line.request_file.empty()) {
    quillfen::RequestReading from_file =
        quillfen::ReadRequest(line.request_file);
    if (!from_file.request) {
      std::fprintf(stderr, "quillfen-remove: %s\n", from_file.error.c_str());
      return kExitUsageOrExchangeError;
    }
    request = std::move(*from_file.request);
  } else {
    request = quillfen::RequestFromOptions(line.options);
  }

  if (line.preview) {
    // The engine's own selection, here and read-only: the tool never runs.
    quillfen::RemovalReply selection =
        quillfen::QuillfenRemovalService().previewWithFileDict(request);
    if (line.json) {
      std::cout << quillfen::JsonTextFromValue(quillfen::Value(selection))
                << "\n";
    } else {
      std::cout << quillfen::SummarizePreview(selection);
    }
    return quillfen::ExitStatusFor(selection);
  }

  std::string json_error;
  std::optional<std::string> request_json =
      quillfen::ExactJsonTextFromValue(quillfen::Value(request), &json_error);
  if (!request_json) {
    // Text the shared domain can't hold (an option that isn't UTF-8) would
    // reach the tool changed: it is refused here, in the words the tool
    // and the engine use for text the bus can't carry.
    std::string fault = quillfen::DictionaryBusFault(request);
    quillfen::RemovalReply refusal = quillfen::RefusedRequestReply(
        request,
        fault.empty()
            ? "The request can’t be written as JSON: " + json_error + "."
            : quillfen::RequestBusRefusal(fault));
    if (line.json) {
      std::cout << quillfen::JsonTextFromValue(quillfen::Value(refusal))
                << "\n";
    } else {
      std::cout << quillfen::SummarizeReply(refusal);
    }
    return quillfen::ExitStatusFor(refusal);
  }

  quillfen::ExchangeSettings settings;
  settings.tool_path = quillfen::LocateRemovalTool();
  settings.service_dir = quillfen::LocateServiceDir();
  if (line.timeout_seconds > 0) {
    settings.timeout = std::chrono::milliseconds(
        static_cast<long long>(line.timeout_seconds * 1000));
  }
  bool on_terminal = isatty(STDERR_FILENO);
  if (on_terminal) settings.progress = ShowProgress;
  quillfen::ExchangeOutcome outcome =
      quillfen::RunRemovalExchange(*request_json, settings);
  if (on_terminal) ClearProgress();
  if (!outcome.reply_json) {
    std::fprintf(stderr, "quillfen-remove: %s\n", outcome.error.c_str());
    return kExitUsageOrExchangeError;
  }
  // The summary counts the removed paths and lists only the failures.
  quillfen::JsonParseResult reply = quillfen::ValueFromJsonTextCounting(
      *outcome.reply_json, quillfen::kPathArrayKey);
  if (!reply.value || !reply.value->AsDictionary()) {
    std::fprintf(stderr,
                 "quillfen-remove: the stored reply can't be read: %s\n",
                 reply.error.c_str());
    return kExitUsageOrExchangeError;
  }
  if (line.json) {
    std::cout << *outcome.reply_json << "\n";
  } else {
    std::cout << quillfen::SummarizeReply(*reply.value->AsDictionary());
  }
  return quillfen::ExitStatusFor(*reply.value->AsDictionary());
}
