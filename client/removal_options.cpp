#include "client/removal_options.h"

#include <filesystem>

#include "client/glob_entry.h"
#include "protocol/bus_string.h"
#include "protocol/removal_keys.h"

namespace quillfen {
namespace {

// The options' globs, read into the request's three lists.
class RequestLists {
 public:
  explicit RequestLists(bool ignore_case)
      : glob_case_(ignore_case ? GlobCase::kIgnore : GlobCase::kExact) {}

  // Every keep glob before any rule: together they say which rules may
  // travel as exact entries.
  Result<void> AddKeep(const std::string& glob) {
    if (!IsBusString(glob)) return AsTyped(glob, &keep_);
    Result<std::string> expression = Expression(glob);
    if (!expression) return expression.error();
    keep_expressions_.push_back(*expression);
    if (std::optional<std::string> name = ExactName(glob)) {
      keep_.emplace_back(*name);
    } else {
      keep_globs_ = true;
    }
    return {};
  }

  Result<void> AddName(const std::string& glob) {
    if (!IsBusString(glob)) return AsTyped(glob, &names_);
    if (!keep_globs_) {
      if (std::optional<std::string> name = ExactName(glob)) {
        names_.emplace_back(*name);
        return {};
      }
    }
    Result<std::string> expression = Expression(glob);
    if (!expression) return expression.error();
    names_.emplace_back(WildcardEntry(*expression, keep_expressions_));
    return {};
  }

  Result<void> AddExtension(const std::string& glob) {
    if (!IsBusString(glob)) return AsTyped(glob, &extensions_);
    if (!keep_globs_) {
      if (std::optional<std::string> extension = ExactName(glob)) {
        extensions_.emplace_back(*extension);
        return {};
      }
    }
    Result<std::string> expression = Expression(glob);
    if (!expression) return expression.error();
    if (keep_expressions_.empty()) {
      extensions_.emplace_back(WildcardEntry(*expression));
    } else {
      // An extension entry sees only the extension, never the name a keep
      // glob would spare: the rule becomes one on whole names.
      names_.emplace_back(WildcardEntry(
          ExtensionNameExpression(*expression, GlobMatchesEmpty(glob)),
          keep_expressions_));
    }
    return {};
  }

  // The "._" rule: the request's own unless a keep glob must be able to
  // spare such a name.
  Result<bool> AddAppleDouble() {
    if (!keep_globs_) return true;
    Result<void> added = AddName("._*");
    if (!added) return added.error();
    return false;
  }

  Value names() { return Value(std::move(names_)); }
  Value extensions() { return Value(std::move(extensions_)); }
  Value keep() { return Value(std::move(keep_)); }

 private:
  // Text the bus can't carry can't be read as a glob either; it goes as
  // typed, and the request is refused whole.
  static Result<void> AsTyped(const std::string& glob, Array* list) {
    list->emplace_back(glob);
    return {};
  }

  // The exact entry that means what |glob| does, if one does.
  std::optional<std::string> ExactName(const std::string& glob) const {
    if (glob_case_ == GlobCase::kIgnore) return std::nullopt;
    return GlobLiteral(glob);
  }

  Result<std::string> Expression(const std::string& glob) const {
    Result<std::string> expression = GlobExpression(glob, glob_case_);
    if (!expression) {
      return ErrorMessage("can't read the glob “" + glob +
                          "”: " + expression.error().message);
    }
    return expression;
  }

  GlobCase glob_case_;
  bool keep_globs_ = false;  // A keep glob that isn't an exact name.
  std::vector<std::string> keep_expressions_;
  Array names_, extensions_, keep_;
};

}  // namespace

bool RemovalOptions::HasRules() const {
  return apple_double || mac || windows || !names.empty() ||
         !extensions.empty();
}

Result<RemovalRequest> RequestFromOptions(const RemovalOptions& options) {
  std::string volume = options.volume_path;
  if (!volume.empty() && volume.front() != '/') {
    std::error_code ignored;
    volume = (std::filesystem::current_path(ignored) / volume).string();
  }
  std::vector<std::string> names = options.names;
  if (options.mac) {
    names.insert(names.end(), std::begin(kMacNames), std::end(kMacNames));
  }
  if (options.windows) {
    names.insert(names.end(), std::begin(kWindowsNames),
                 std::end(kWindowsNames));
  }

  RequestLists lists(options.ignore_case);
  for (const std::string& glob : options.keep) {
    Result<void> added = lists.AddKeep(glob);
    if (!added) return added.error();
  }
  for (const std::string& glob : names) {
    Result<void> added = lists.AddName(glob);
    if (!added) return added.error();
  }
  for (const std::string& glob : options.extensions) {
    Result<void> added = lists.AddExtension(glob);
    if (!added) return added.error();
  }
  bool apple_double = false;
  if (options.apple_double || options.mac) {
    Result<bool> own_rule = lists.AddAppleDouble();
    if (!own_rule) return own_rule.error();
    apple_double = *own_rule;
  }

  RemovalRequest request;
  request.emplace(kVolumePathKey, Value(volume));
  request.emplace(kAppleDoubleKey, Value(apple_double));
  request.emplace(kFileRemovalArrayKey, lists.names());
  request.emplace(kExtensionsArrayKey, lists.extensions());
  request.emplace(kFileKeepArrayKey, lists.keep());
  return request;
}

}  // namespace quillfen
