#include "removal-engine/removal_plan.h"

#include "protocol/removal_keys.h"
#include "removal-engine/path_names.h"

namespace quillfen {
namespace {

// Reads a list of names; absent means empty. Answers false when the value
// is not a list of strings: such a list must never be read as empty, or a
// mistyped keep list would let kept files go.
bool ReadNameList(const RemovalRequest& request, std::string_view key,
                  std::vector<std::string_view>* names, std::string* refusal) {
  const Value* value = Find(request, key);
  if (value == nullptr) return true;
  const Array* array = value->AsArray();
  if (array == nullptr) {
    *refusal = "The request’s “" + std::string(key) + "” is " +
               std::string(DescribeType(value->type())) +
               ", not a list of names.";
    return false;
  }
  for (const Value& element : *array) {
    const std::string* name = element.AsString();
    if (name == nullptr) {
      *refusal = "The request’s “" + std::string(key) + "” holds " +
                 std::string(DescribeType(element.type())) +
                 " where a name belongs.";
      return false;
    }
    names->push_back(*name);
  }
  return true;
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

RemovalPlan::Reading RemovalPlan::FromRequest(const RemovalRequest& request) {
  Reading reading;
  const Value* volume = Find(request, kVolumePathKey);
  if (volume == nullptr || volume->AsString() == nullptr) return reading;

  RemovalPlan plan;
  plan.volume_path_ = *volume->AsString();

  if (const Value* apple_double = Find(request, kAppleDoubleKey)) {
    if (const bool* b = apple_double->AsBoolean()) {
      plan.apple_double_ = *b;
    } else if (const std::int64_t* i = apple_double->AsInteger()) {
      plan.apple_double_ = *i != 0;
    } else if (const double* d = apple_double->AsReal()) {
      plan.apple_double_ = *d != 0;
    } else {
      reading.refusal = "The request’s “appleDouble” is " +
                        std::string(DescribeType(apple_double->type())) +
                        ", not a boolean.";
      return reading;
    }
  }

  std::vector<std::string_view> names, extensions, keep;
  if (!ReadNameList(request, kFileRemovalArrayKey, &names, &reading.refusal) ||
      !ReadNameList(request, kExtensionsArrayKey, &extensions,
                    &reading.refusal) ||
      !ReadNameList(request, kFileKeepArrayKey, &keep, &reading.refusal)) {
    return reading;
  }

  const std::string& path = plan.volume_path_;
  if (path.find('\0') != std::string::npos) {
    reading.refusal = "The volume path holds a NUL character.";
    return reading;
  }
  if (path.empty() || path.front() != '/') {
    reading.refusal = "The volume path “" + path + "” isn’t an absolute path.";
    return reading;
  }
  if (!IsValidUtf8(path)) {
    reading.refusal = "The volume path isn’t valid UTF-8 text.";
    return reading;
  }
  plan.volume_spelling_ = NormalizeSlashes(path);

  SplitEntries(names, &plan.exact_names_, &plan.wildcard_names_);
  SplitEntries(extensions, &plan.exact_extensions_, &plan.wildcard_extensions_);
  for (std::string_view name : keep) plan.keep_names_.emplace(name);

  reading.plan = std::move(plan);
  return reading;
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
    if (pattern.gave_up() && gave_up == nullptr) gave_up = &pattern;
  }
  for (WildcardPattern& pattern : wildcard_extensions_) {
    if (pattern.Matches(extension)) return true;
    if (pattern.gave_up() && gave_up == nullptr) gave_up = &pattern;
  }
  if (gave_up != nullptr && undecided != nullptr) *undecided = gave_up->entry();
  return false;
}

}  // namespace quillfen
