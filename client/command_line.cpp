#include "client/command_line.h"

#include <CLI/CLI.hpp>

#include "client/reply_summary.h"

namespace quillfen {

Result<CommandLine> ReadCommandLine(int argc, const char* const* argv) {
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

  CommandLine line;
  RemovalOptions& options = line.options;
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
      app.add_option("-r,--request", line.request_file,
                     "Take the JSON request from FILE (\"-\": standard input)")
          ->type_name("FILE");
  app.add_flag("-p,--preview", line.preview,
               "List what would be removed; remove nothing");
  app.add_flag("-j,--json", line.json,
               "Print the reply's JSON instead of a summary");
  app.add_flag("-q,--quiet", line.quiet, "Show no progress line on a terminal");
  app.add_flag("--force", line.force,
               "Clean the home folder, or a folder holding it, all the same "
               "(the root of the system never)");
  app.add_option("-t,--timeout", line.timeout_seconds,
                 "Give up after SECONDS without a reply")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber);
  for (const char* excluded :
       {"volume", "--apple-double", "--name", "--ext", "--keep"}) {
    request_option->excludes(excluded);
  }

  try {
    app.parse(argc, argv);
    if (line.request_file.empty() && options.volume_path.empty()) {
      throw CLI::RequiredError("volume (or --request)");
    }
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e);
    return Error{status == 0 ? 0 : kExitUsageOrExchangeError, e.what()};
  }
  return line;
}

}  // namespace quillfen
