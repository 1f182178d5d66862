// quillfen-remove: removes unwanted files from a volume through the removal
// tool and service, playing the part Quillfen plays: it leaves the request
// in the shared domain, starts the tool and reads the reply.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "client/removal_exchange.h"
#include "client/removal_options.h"
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

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Removes unwanted files from a volume: \"._\" AppleDouble files, "
      "named files and extensions (exact, or with \"*\" wildcards), less a "
      "keep list. Prints what was removed and why anything else was not.",
      "quillfen-remove"};
  app.set_version_flag("--version",
                       std::string("quillfen-remove ") + QUILLFEN_VERSION);
  app.footer(
      "Exit status: 0 when everything selected was removed, 1 when some "
      "items were not, 2 on a usage error or when the exchange with the "
      "removal tool failed.");

  quillfen::RemovalOptions options;
  std::string request_file;
  bool preview = false, json = false;
  double timeout_seconds = 0;
  app.add_option("volume", options.volume_path,
                 "The folder to clean (normally a volume's mount point)");
  app.add_flag("-a,--apple-double", options.apple_double,
               "Remove \"._\" AppleDouble files and folders");
  app.add_option(
         "-n,--name", options.names,
         "A name to remove; with \"*\", a wildcard pattern (repeatable)")
      ->allow_extra_args(false);
  app.add_option(
         "-e,--ext", options.extensions,
         "An extension to remove, without its dot; \"*\" allowed (repeatable)")
      ->allow_extra_args(false);
  app.add_option("-k,--keep", options.keep,
                 "A name never removed by the name, extension or \"._\" rules "
                 "(repeatable)")
      ->allow_extra_args(false);
  auto* request_option =
      app.add_option("-r,--request", request_file,
                     "Take the JSON request from FILE (\"-\": standard input)")
          ->type_name("FILE");
  app.add_flag("-p,--preview", preview,
               "List what would be removed; remove nothing");
  app.add_flag("-j,--json", json,
               "Print the reply's JSON instead of a summary");
  app.add_option("-t,--timeout", timeout_seconds,
                 "Give up after SECONDS without a reply")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber);
  for (const char* excluded :
       {"volume", "--apple-double", "--name", "--ext", "--keep"}) {
    request_option->excludes(excluded);
  }
  try {
    app.parse(argc, argv);
    if (request_file.empty() && options.volume_path.empty()) {
      throw CLI::RequiredError("volume (or --request)");
    }
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e);
    return status == 0 ? 0 : kExitUsageOrExchangeError;
  }

  quillfen::RemovalRequest request;
  if (!request_file.empty()) {
    quillfen::RequestReading reading = quillfen::ReadRequest(request_file);
    if (!reading.request) {
      std::fprintf(stderr, "quillfen-remove: %s\n", reading.error.c_str());
      return kExitUsageOrExchangeError;
    }
    request = std::move(*reading.request);
  } else {
    request = quillfen::RequestFromOptions(options);
  }

  if (preview) {
    // The engine's own selection, here and read-only: the tool never runs.
    quillfen::RemovalReply selection =
        quillfen::QuillfenRemovalService().previewWithFileDict(request);
    if (json) {
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
    if (json) {
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
  if (timeout_seconds > 0) {
    settings.timeout = std::chrono::milliseconds(
        static_cast<long long>(timeout_seconds * 1000));
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
  quillfen::JsonParseResult reply =
      quillfen::ValueFromJsonText(*outcome.reply_json);
  if (!reply.value || !reply.value->AsDictionary()) {
    std::fprintf(stderr,
                 "quillfen-remove: the stored reply can't be read: %s\n",
                 reply.error.c_str());
    return kExitUsageOrExchangeError;
  }
  if (json) {
    std::cout << *outcome.reply_json << "\n";
  } else {
    std::cout << quillfen::SummarizeReply(*reply.value->AsDictionary());
  }
  return quillfen::ExitStatusFor(*reply.value->AsDictionary());
}
