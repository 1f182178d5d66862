#include "client/command_line.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "client/reply_summary.h"

namespace quillfen {
namespace {

// The help, laid out by hand in the groups a person looks for; the
// completions in completion/ offer exactly the options it lists.
constexpr char kHelp[] = R"(Usage: quillfen-remove [OPTION]... VOLUME
   or: quillfen-remove [OPTION]... --request FILE
Removes unwanted files from VOLUME, normally a volume's mount point: "._"
AppleDouble files, what other systems leave behind, and the names and
extensions given, less a keep list. Nothing outside VOLUME, nothing on
another file system mounted beneath it and nothing through a link is
touched.

What to remove:
  -a, --apple-double     "._" AppleDouble files and folders
      --mac              what macOS leaves: "._" items, .DS_Store,
                         .Spotlight-V100, .Trashes, .fseventsd,
                         .TemporaryItems, .apdisk
      --windows          what Windows leaves: Thumbs.db, ehthumbs.db,
                         desktop.ini, $RECYCLE.BIN
  -n, --name GLOB        names matching GLOB (repeatable)
  -e, --ext GLOB         names whose extension, without its dot, matches
                         GLOB (repeatable)
  -i, --ignore-case      names and extensions match whatever their case
  -k, --keep GLOB        never remove a name matching GLOB, whatever the
                         rule that selects it (repeatable)
  -r, --request FILE     take the JSON request from FILE ("-": standard
                         input) instead of the options above
  GLOB is read as the shell reads it: "*", "?", "[a-z]", "[!0-9]", and "\"
  to take the next character as it is. Quote it, so that the shell
  doesn't expand it first.

Safety:
  -p, --preview          list what would be removed; remove nothing
      --force            clean the home folder, or a folder holding it,
                         all the same (the root of the system never)
  -t, --timeout SECONDS  stop the removal after SECONDS, as Ctrl-C does,
                         and report what it removed

Output:
  -v, --verbose          print each path removed (with --preview: that
                         would be removed) on a line of its own, control
                         characters escaped, then the summary
  -0, --print0           print only those paths, each followed by a NUL;
                         failures go to standard error
  -j, --json             print the reply's JSON instead of a summary
  -q, --quiet            show no progress line on a terminal
  -h, --help             show this help and exit
  -V, --version          show the version and exit

Exit status:
  0    everything selected was removed (with --preview: can be)
  1    some selected items couldn't be removed
  2    a usage error, or the removal couldn't start: the volume is
       missing or not a folder, or the request was refused
  124  --timeout stopped the removal
  130  interrupted (Ctrl-C): the removal was stopped
)";

}  // namespace

Result<CommandLine> ReadCommandLine(int argc, const char* const* argv) {
  CLI::App app{"", "quillfen-remove"};
  app.set_help_flag();
  bool help = false;
  bool version = false;
  app.add_flag("-h,--help", help);
  app.add_flag("-V,--version", version);

  CommandLine line;
  RemovalOptions& options = line.options;
  app.add_option("volume", options.volume_path);
  app.add_flag("-a,--apple-double", options.apple_double);
  app.add_option("-n,--name", options.names)->allow_extra_args(false);
  app.add_option("-e,--ext", options.extensions)
      ->allow_extra_args(false)
      ->check([](const std::string& glob) {
        // It would select every item without an extension, folders
        // included: the engine drops such an entry too.
        return glob.empty() ? std::string(
                                  "an extension is the text "
                                  "after a dot, never empty")
                            : std::string();
      });
  app.add_option("-k,--keep", options.keep)->allow_extra_args(false);
  app.add_flag("-i,--ignore-case", options.ignore_case);
  app.add_flag("--mac", options.mac);
  app.add_flag("--windows", options.windows);
  auto* request_option = app.add_option("-r,--request", line.request_file);
  app.add_flag("-p,--preview", line.preview);
  auto* json = app.add_flag("-j,--json", line.json);
  auto* verbose = app.add_flag("-v,--verbose", line.verbose);
  app.add_flag("-0,--print0", line.print0)->excludes(json)->excludes(verbose);
  verbose->excludes(json);
  app.add_flag("-q,--quiet", line.quiet);
  app.add_flag("--force", line.force);
  app.add_option("-t,--timeout", line.timeout_seconds)
      ->check([](const std::string& text) -> std::string {
        char* end = nullptr;
        double seconds = std::strtod(text.c_str(), &end);
        if (end != text.c_str() && *end == '\0' && seconds > 0) return "";
        return "“" + text + "” is not a number of seconds above 0";
      });
  for (const char* excluded :
       {"volume", "--apple-double", "--name", "--ext", "--keep",
        "--ignore-case", "--mac", "--windows"}) {
    request_option->excludes(excluded);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (!help && !version) {
      std::fprintf(stderr,
                   "quillfen-remove: %s (quillfen-remove --help lists the "
                   "options)\n",
                   e.what());
      return Error{kExitUsageOrExchangeError, e.what()};
    }
  }
  if (help || version) {
    std::fputs(help ? kHelp : "quillfen-remove " QUILLFEN_VERSION "\n", stdout);
    return Error{0, ""};
  }
  if (line.request_file.empty() && options.volume_path.empty()) {
    std::fputs(
        "quillfen-remove: no volume given (quillfen-remove --help lists the "
        "options)\n",
        stderr);
    return Error{kExitUsageOrExchangeError, "no volume"};
  }
  if (line.request_file.empty() && !options.HasRules()) {
    std::fputs(
        "quillfen-remove: nothing to remove: name what goes with -n, -e or "
        "-a, or a preset, --mac or --windows (quillfen-remove --help lists "
        "the options)\n",
        stderr);
    return Error{kExitUsageOrExchangeError, "no rules"};
  }
  return line;
}

}  // namespace quillfen
