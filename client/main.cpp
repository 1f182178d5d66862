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

// Prints |reply| as asked, its JSON or |summary|, and answers the status
// to exit with.
int Report(const quillfen::RemovalReply& reply, bool json,
           std::string (*summary)(const quillfen::RemovalReply&)) {
  if (json) {
    std::cout << quillfen::JsonTextFromValue(quillfen::Value(reply)) << "\n";
  } else {
    std::cout << summary(reply);
  }
  return quillfen::ExitStatusFor(reply);
}

// The request the command line names: read from a file, or made from the
// options.
quillfen::Result<quillfen::RemovalRequest> RequestOf(
    const quillfen::CommandLine& line) {
  if (line.request_file.empty()) {
    return quillfen::RequestFromOptions(line.options);
  }
  return quillfen::ReadRequest(line.request_file);
}

// The refusal of a request whose text the shared domain can't hold (an
// option that isn't UTF-8): it would reach the tool changed, so it is
// refused here, in the words the tool and the engine use for text the bus
// can't carry.
quillfen::RemovalReply RefusalOfUnwritable(
    const quillfen::RemovalRequest& request, const quillfen::Error& error) {
  std::string fault = quillfen::DictionaryBusFault(request);
  return quillfen::RefusedRequestReply(
      request,
      fault.empty()
          ? "The request can’t be written as JSON: " + error.message + "."
          : quillfen::RequestBusRefusal(fault));
}

// Leaves |request_json| for the tool, waits for the stored reply and
// reports it.
int Exchange(const std::string& request_json,
             const quillfen::CommandLine& line) {
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
      quillfen::RunRemovalExchange(request_json, settings);
  if (on_terminal) ClearProgress();
  if (!outcome.reply_json) {
    std::fprintf(stderr, "quillfen-remove: %s\n", outcome.error.c_str());
    return kExitUsageOrExchangeError;
  }
  quillfen::Result<quillfen::Value> reply =
      quillfen::ValueFromJsonText(*outcome.reply_json);
  if (!reply || !reply->AsDictionary()) {
    std::fprintf(stderr,
                 "quillfen-remove: the stored reply can't be read: %s\n",
                 reply ? "it is not an object" : reply.error().message.c_str());
    return kExitUsageOrExchangeError;
  }
  if (line.json) {
    // As stored, not written again.
    std::cout << *outcome.reply_json << "\n";
    return quillfen::ExitStatusFor(*reply->AsDictionary());
  }
  return Report(*reply->AsDictionary(), false, quillfen::SummarizeReply);
}

}  // namespace

int main(int argc, char** argv) {
  quillfen::Result<quillfen::CommandLine> line =
      quillfen::ReadCommandLine(argc, argv);
  if (!line) return line.error().code;
  quillfen::Result<quillfen::RemovalRequest> request = RequestOf(*line);
  if (!request) {
    std::fprintf(stderr, "quillfen-remove: %s\n",
                 request.error().message.c_str());
    return kExitUsageOrExchangeError;
  }
  if (line->preview) {
    // The engine's own selection, here and read-only: the tool never runs.
    return Report(
        quillfen::QuillfenRemovalService().previewWithFileDict(*request),
        line->json, quillfen::SummarizePreview);
  }
  quillfen::Result<std::string> request_json =
      quillfen::ExactJsonTextFromValue(quillfen::Value(*request));
  if (!request_json) {
    return Report(RefusalOfUnwritable(*request, request_json.error()),
                  line->json, quillfen::SummarizeReply);
  }
  return Exchange(*request_json, *line);
}
