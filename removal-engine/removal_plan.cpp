#include "removal-engine/removal_plan.h"

#include "protocol/removal_keys.h"
#include "removal-engine/path_names.h"

namespace quillfen {
namespace {

// Reads a list of names; absent means empty. Refuses a value that is not
// a list of strings: such a list must never be read as empty, or a
// mistyped keep list would let kept files go.
Result<std::vector<std::string_view>> ReadNameList(
    const RemovalRequest& request, std::string_view key) {
  std::vector<std::string_view> names;
  const Value* value = Find(request, key);
  if (value == nullptr) return names;
  const Array* array = value->AsArray();
  if (array == nullptr) {
    return ErrorMessage("The request’s “" + std::string(key) + "” is " +
                        std::string(DescribeType(value->type())) +
                        ", not a list of names.");
  }
  for (const Value& element : *array) {
    const std::string* name = element.AsString();
    if (name == nullptr) {
      return ErrorMessage("The request’s “" + std::string(key) + "” holds " +
                          std::string(DescribeType(element.type())) +
                          " where a name belongs.");
    }
    names.push_back(*name);
  }
  return names;
}

// Reads "appleDouble": absent is false, and a number stands for its truth.
Result<bool> ReadAppleDouble(const RemovalRequest& request) {
  const Value* apple_double = Find(request, kAppleDoubleKey);
  if (apple_double == nullptr) return false;
  if (const bool* b = apple_double->AsBoolean()) return *b;
  if (const std::int64_t* i = apple_double->AsInteger()) return *i != 0;
  if (const double* d = apple_double->AsReal()) return *d != 0;
  return ErrorMessage("The request’s “appleDouble” is " +
                      std::string(DescribeType(apple_double->type())) +
                      ", not a boolean.");
}

// Why the volume path can't be used, or nothing.
Result<void> CheckVolumePath(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return ErrorMessage("The volume path holds a NUL character.");
  }
  if (path.empty() || path.front() != '/') {
    return ErrorMessage("The volume path “" + path +
                        "” isn’t an absolute path.");
  }
  if (!IsValidUtf8(path)) {
    return ErrorMessage("The volume path isn’t valid UTF-8 text.");
  }
  return {};
}

// Splits entries into exact ones and wildcard ones. An empty entry is
// dropped: an empty extension would otherwise select every item without an
// extension, folders included, which no one asks for on purpose.
void SplitEntries(const std::vector<std::string_view>& entries, NameSet* exact,
                  std::vector<WildcardPattern>* wildcards) {
  for (std::string_view entry : entries) {
    if (entry.empty()) continue;
    if (entry.find('*') == std::string_view::npos) {
      exact->emplace(entry);
    } else {
      wildcards->emplace_back(entry);
    }
  }
}

}  // namespace

Result<RemovalPlan> RemovalPlan::FromRequest(const RemovalRequest& request) {
  const Value* volume = Find(request, kVolumePathKey);
  if (volume == nullptr || volume->AsString() == nullptr) return Error{};

  RemovalPlan plan;
  plan.volume_path_ = *volume->AsString();
  Result<bool> apple_double = ReadAppleDouble(request);
  if (!apple_double) return apple_double.error();
  plan.apple_double_ = *apple_double;

  Result<std::vector<std::string_view>> names =
      ReadNameList(request, kFileRemovalArrayKey);
  if (!names) return names.error();
  Result<std::vector<std::string_view>> extensions =
      ReadNameList(request, kExtensionsArrayKey);
  if (!extensions) return extensions.error();
  Result<std::vector<std::string_view>> keep =
      ReadNameList(request, kFileKeepArrayKey);
  if (!keep) return keep.error();

  Result<void> usable = CheckVolumePath(plan.volume_path_);
  if (!usable) return usable.error();
  plan.volume_spelling_ = NormalizeSlashes(plan.volume_path_);

  SplitEntries(*names, &plan.exact_names_, &plan.wildcard_names_);
  SplitEntries(*extensions, &plan.exact_extensions_,
               &plan.wildcard_extensions_);
  for (std::string_view name : *keep) plan.keep_names_.emplace(name);
  return plan;
}

bool RemovalPlan::HasRules() const {
  return !exact_names_.empty() || !exact_extensions_.empty() ||
         !wildcard_names_.empty() || !wildcard_extensions_.empty();
}

bool RemovalPlan::Selects(std::string_view name, std::string_view* undecided) {
  std::string_view extension = NameExtension(name);
  // A set's lookup hashes the name even when the set is empty.
  bool exact_hit =
      (!exact_names_.empty() && exact_names_.contains(name)) ||
      (!exact_extensions_.empty() && exact_extensions_.contains(extension));
  if (exact_hit && !keep_names_.contains(name)) return true;
  const WildcardPattern* gave_up = nullptr;
  for (WildcardPattern& pattern : wildcard_names_) {
    if (pattern.Matches(name)) return true;
    if (pattern.gave_up()) {
      if (pattern.stopped()) return false;
      if (gave_up == nullptr) gave_up = &pattern;
    }
  }
  for (WildcardPattern& pattern : wildcard_extensions_) {
    if (pattern.Matches(extension)) return true;
    if (pattern.gave_up()) {
      if (pattern.stopped()) return false;
      if (gave_up == nullptr) gave_up = &pattern;
    }
  }
  if (SelectsAppleDouble(name)) return true;
  if (gave_up != nullptr && undecided != nullptr) *undecided = gave_up->entry();
  return false;
}

void RemovalPlan::WatchForStop(const RemovalProgress* progress) {
  for (WildcardPattern& pattern : wildcard_names_) {
    pattern.WatchForStop(progress);
  }
  for (WildcardPattern& pattern : wildcard_extensions_) {
    pattern.WatchForStop(progress);
  }
}

bool RemovalPlan::SelectsListed(std::string_view relative_path) const {
  return SelectsAppleDouble(LastComponent(relative_path));
}

}  // namespace quillfen
