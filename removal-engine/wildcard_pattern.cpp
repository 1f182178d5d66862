#include "removal-engine/wildcard_pattern.h"

#include <unicode/parseerr.h>

#include "removal-engine/path_names.h"

namespace quillfen {

std::string WildcardPattern::ExpressionFor(std::string_view entry) {
  std::string expression = "^";
  for (char c : entry) {
    if (c == '.') {
      expression += "\\.";
    } else if (c == '*') {
      expression += ".*";
    } else {
      expression += c;
    }
  }
  expression += '$';
  return expression;
}

WildcardPattern::WildcardPattern(std::string_view entry, Engine engine)
    : entry_(entry) {
  if (engine == Engine::kFastest) glob_ = LiteralGlob::ForEntry(entry);
  // The fast path still needs the expression for names that are not UTF-8,
  // which only it reads the way ICU does; compiled when first needed.
  if (!glob_) Compile();
}

void WildcardPattern::Compile() {
  std::string expression = ExpressionFor(entry_);
  UErrorCode status = U_ZERO_ERROR;
  UText* source =
      utext_openUTF8(nullptr, expression.data(),
                     static_cast<int64_t>(expression.size()), &status);
  UParseError parse_error;
  if (U_SUCCESS(status)) {
    pattern_.reset(icu::RegexPattern::compile(source, 0, parse_error, status));
  }
  utext_close(source);
  if (U_FAILURE(status)) {
    pattern_.reset();
    return;
  }
  matcher_.reset(pattern_->matcher(status));
  if (U_SUCCESS(status)) matcher_->setTimeLimit(kIcuStepLimit, status);
  if (U_SUCCESS(status)) matcher_->setStackLimit(kIcuStackLimit, status);
  if (U_SUCCESS(status) && progress_ != nullptr) {
    matcher_->setMatchCallback(&GoOn, progress_, status);
  }
  if (U_FAILURE(status)) matcher_.reset();
}

UBool WildcardPattern::GoOn(const void* progress, int32_t /*steps*/) {
  return !static_cast<const RemovalProgress*>(progress)->stop_requested();
}

void WildcardPattern::WatchForStop(const RemovalProgress* progress) {
  progress_ = progress;
  if (matcher_ == nullptr) return;
  UErrorCode status = U_ZERO_ERROR;
  matcher_->setMatchCallback(progress_ != nullptr ? &GoOn : nullptr, progress_,
                             status);
}

WildcardPattern::~WildcardPattern() {
  matcher_.reset();  // The matcher refers to text_; drop it first.
  if (text_ != nullptr) utext_close(text_);
}

WildcardPattern::WildcardPattern(WildcardPattern&& other) noexcept
    : entry_(std::move(other.entry_)),
      glob_(std::move(other.glob_)),
      pattern_(std::move(other.pattern_)),
      matcher_(std::move(other.matcher_)),
      text_(other.text_),
      gave_up_(other.gave_up_),
      stopped_(other.stopped_),
      progress_(other.progress_) {
  other.text_ = nullptr;
}

WildcardPattern& WildcardPattern::operator=(WildcardPattern&& other) noexcept {
  if (this != &other) {
    matcher_.reset();
    if (text_ != nullptr) utext_close(text_);
    entry_ = std::move(other.entry_);
    glob_ = std::move(other.glob_);
    pattern_ = std::move(other.pattern_);
    matcher_ = std::move(other.matcher_);
    text_ = other.text_;
    other.text_ = nullptr;
    gave_up_ = other.gave_up_;
    stopped_ = other.stopped_;
    progress_ = other.progress_;
  }
  return *this;
}

bool WildcardPattern::Matches(std::string_view utf8_text) {
  gave_up_ = false;
  stopped_ = false;
  if (glob_) {
    if (glob_->SurelyMisses(utf8_text)) return false;
    if (IsValidUtf8(utf8_text)) return glob_->Matches(utf8_text);
    if (!pattern_) Compile();
  }
  return MatchesWithIcu(utf8_text);
}

bool WildcardPattern::MatchesWithIcu(std::string_view utf8_text) {
  if (matcher_ == nullptr) return false;
  UErrorCode status = U_ZERO_ERROR;
  text_ = utext_openUTF8(text_, utf8_text.data(),
                         static_cast<int64_t>(utf8_text.size()), &status);
  if (U_FAILURE(status)) return false;
  matcher_->reset(text_);
  bool found = matcher_->find(status);
  stopped_ = status == U_REGEX_STOPPED_BY_CALLER;
  gave_up_ = stopped_ || status == U_REGEX_TIME_OUT ||
             status == U_REGEX_STACK_OVERFLOW;
  return U_SUCCESS(status) && found;
}

}  // namespace quillfen
