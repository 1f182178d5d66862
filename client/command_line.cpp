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
  app.add_option("-n,--name", options.names,
                 "Remove items whose name the glob matches (repeatable)")
      ->allow_extra_args(false);
  app.add_option("-e,--ext", options.extensions,
                 "Remove items whose extension, without its dot, the glob "
                 "matches (repeatable)")
      ->allow_extra_args(false)
      ->check([](const std::string& glob) {
        // It would select every item without an extension, folders
        // included: the engine drops such an entry too.
        return glob.empty() ? std::string(
                                  "an extension is the text "
                                  "after a dot, never empty")
                            : std::string();
      });
  app.add_option("-k,--keep", options.keep,
                 "Never remove an item whose name the glob matches, whatever "
                 "rule selects it (repeatable)")
      ->allow_extra_args(false);
  app.add_flag("-i,--ignore-case", options.ignore_case,
               "Globs match names whatever their letters' case");
  app.add_flag("--mac", options.mac,
               "Remove what macOS leaves on a volume: \"._\" files, "
               ".DS_Store, .Spotlight-V100, .Trashes, .fseventsd, "
               ".TemporaryItems, .apdisk");
  app.add_flag("--windows", options.windows,
               "Remove what Windows leaves on a volume: Thumbs.db, "
               "ehthumbs.db, desktop.ini, $RECYCLE.BIN");
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
       {"volume", "--apple-double", "--name", "--ext", "--keep",
        "--ignore-case", "--mac", "--windows"}) {
    request_option->excludes(excluded);
  }

  try {
    app.parse(argc, argv);
    if (line.request_file.empty() && options.volume_path.empty()) {
      throw CLI::RequiredError("volume (or --request)");
    }
    if (line.request_file.empty() && !options.HasRules()) {
      throw CLI::ValidationError(
          "nothing to remove: name what goes with -n, -e or -a, or a "
          "preset, --mac or --windows");
    }
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e);
    return Error{status == 0 ? 0 : kExitUsageOrExchangeError, e.what()};
  }
  return line;
}

}  // namespace quillfen
