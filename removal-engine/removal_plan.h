// RemovalPlan: one RemovalRequest read and checked, in the form the walk
// asks of every item: exact names and extensions in hash sets, wildcard
// entries compiled once, the keep list, and the volume's one spelling.
// Every selection rule is said here, the AppleDouble one included, for the
// items the walk meets and for those find lists alike; the sweep and the
// service only ask.
//
// A plan belongs to the request being served. Selects() reuses compiled
// matchers, so a plan is used by one thread at a time.
#ifndef QUILLFEN_REMOVAL_ENGINE_REMOVAL_PLAN_H_
#define QUILLFEN_REMOVAL_ENGINE_REMOVAL_PLAN_H_

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/result.h"
#include "protocol/value.h"
#include "removal-engine/wildcard_pattern.h"

namespace quillfen {

// Lets the sets be probed with a string_view without building a string.
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const {
    return std::hash<std::string_view>{}(s);
  }
};
using NameSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;

class RemovalPlan {
 public:
  // Checks the request's keys and types (not the file system); an error
  // says why the request is refused. A request without a string
  // "volumePath" gives an error without a message: it is answered with the
  // empty reply.
  static Result<RemovalPlan> FromRequest(const RemovalRequest& request);

  RemovalPlan(RemovalPlan&&) = default;
  RemovalPlan& operator=(RemovalPlan&&) = default;

  bool apple_double() const { return apple_double_; }
  // "volumePath" exactly as the request sent it.
  const std::string& volume_path() const { return volume_path_; }
  // The volume path with repeated and trailing slashes folded: the one
  // spelling used for the walk, for find's argument and in the reply.
  const std::string& volume_spelling() const { return volume_spelling_; }

  // Whether any name, extension or wildcard rule exists, that is, whether
  // the volume needs to be walked at all.
  bool HasRules() const;

  // Whether an item named |name| is selected by any rule: a wildcard hit
  // always is; an exact name or extension hit, and with "appleDouble" a
  // name beginning "._", unless the keep list holds the name. Files and
  // folders alike. When the answer is no only because a wildcard entry's
  // budget ran out on |name|, |undecided| (if given) is set to that entry;
  // a match a stop ended leaves it unset.
  // Asked of every item walked: no allocation.
  bool Selects(std::string_view name, std::string_view* undecided = nullptr);

  // A stop asked of |progress| (which must outlive the plan's use) ends a
  // wildcard's match in progress: Selects() then answers no.
  void WatchForStop(const RemovalProgress* progress);

  // Whether the "._" item find listed at |relative_path| goes: the
  // AppleDouble rule of Selects(), on the path's last component.
  bool SelectsListed(std::string_view relative_path) const;

 private:
  RemovalPlan() = default;

  // The AppleDouble rule: asked for, a "._" name, and not kept.
  bool SelectsAppleDouble(std::string_view name) const {
    return apple_double_ && name.starts_with("._") &&
           !keep_names_.contains(name);
  }

  bool apple_double_ = false;
  std::string volume_path_;
  std::string volume_spelling_;
  NameSet exact_names_;
  NameSet exact_extensions_;
  NameSet keep_names_;
  std::vector<WildcardPattern> wildcard_names_;
  std::vector<WildcardPattern> wildcard_extensions_;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_REMOVAL_PLAN_H_
