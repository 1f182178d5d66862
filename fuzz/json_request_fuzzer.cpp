// The removal tool's request path: the text Quillfen leaves under "message"
// is read into a dictionary, and the service reads that into a removal
// plan. Neither may crash on any text, whatever the tool reads must write
// back as JSON that reads the same, and a plan must select what its exact
// lists name.
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "protocol/json_form.h"
#include "protocol/removal_keys.h"
#include "removal-engine/path_names.h"
#include "removal-engine/removal_plan.h"
#include "removal-tool/AppDelegate.h"

namespace {

using namespace quillfen;

int saved_stderr = -1;
int null_fd = -1;

// The tool logs one line per text it can't read, which is most fuzz
// inputs; those lines go to /dev/null, while sanitizer reports and the
// fuzzer's own output keep the real standard error.
std::optional<Dictionary> ConvertQuietly(AppDelegate& delegate,
                                         const std::string& text) {
  dup2(null_fd, STDERR_FILENO);
  std::optional<Dictionary> dictionary = delegate.convertJSONToDictionary(text);
  dup2(saved_stderr, STDERR_FILENO);
  return dictionary;
}

const Array* NameList(const Dictionary& request, std::string_view key) {
  const Value* value = Find(request, key);
  return value == nullptr ? nullptr : value->AsArray();
}

bool ListHolds(const Array* list, std::string_view name) {
  if (list == nullptr) return false;
  for (const Value& element : *list) {
    if (const std::string* s = element.AsString(); s != nullptr && *s == name) {
      return true;
    }
  }
  return false;
}

void CheckPlan(const Dictionary& request) {
  Result<RemovalPlan> reading = RemovalPlan::FromRequest(request);
  const Value* volume = Find(request, kVolumePathKey);
  if (volume == nullptr || volume->AsString() == nullptr) {
    // Answered with the empty reply: neither plan nor refusal.
    FUZZ_CHECK(!reading && reading.error().message.empty());
    return;
  }
  // A refusal always says why.
  FUZZ_CHECK(reading || !reading.error().message.empty());
  if (!reading) return;
  RemovalPlan& plan = *reading;
  FUZZ_CHECK(plan.volume_path() == *volume->AsString());
  FUZZ_CHECK(!plan.volume_spelling().empty() &&
             plan.volume_spelling().front() == '/');

  for (std::string_view name :
       {"._photo.jpg", ".DS_Store", "Thumbs.db", "file(1).txt", "notes.tmp", "",
        ".", "..", "name\n", "\xff\xfe.tmp", "a\xe2\x80\xa8.tmp"}) {
    plan.Selects(name);
  }

  // An exact name or extension is selected unless the keep list holds the
  // name; wildcards can only add to that.
  const Array* keep = NameList(request, kFileKeepArrayKey);
  if (const Array* names = NameList(request, kFileRemovalArrayKey)) {
    for (const Value& element : *names) {
      const std::string& name = *element.AsString();
      if (name.empty() || name.find('*') != std::string::npos) continue;
      FUZZ_CHECK(plan.Selects(name) || ListHolds(keep, name));
    }
  }
  if (const Array* extensions = NameList(request, kExtensionsArrayKey)) {
    for (const Value& element : *extensions) {
      const std::string& extension = *element.AsString();
      if (extension.empty() ||
          extension.find_first_of("*.") != std::string::npos) {
        continue;
      }
      const std::string name = "item." + extension;
      FUZZ_CHECK(NameExtension(name) == extension);
      FUZZ_CHECK(plan.Selects(name) || ListHolds(keep, name));
    }
  }
}

void CheckRoundTrip(AppDelegate& delegate, const Dictionary& request) {
  const Value value(request);
  const std::string text = JsonTextFromValue(value);
  Result<Value> back = ValueFromJsonText(text);
  FUZZ_CHECK(back.ok());
  FUZZ_CHECK(*back == value);

  // What came from JSON text is valid UTF-8 with finite numbers, so the
  // exact form exists, and it is the same text.
  Result<std::string> exact = ExactJsonTextFromValue(value);
  FUZZ_CHECK(exact.ok() && *exact == text);
  std::optional<std::string> reply = delegate.convertDictionaryToJSON(request);
  FUZZ_CHECK(reply.has_value() && *reply == text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  saved_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved_stderr < 0 || null_fd < 0) std::abort();
  __sanitizer_set_report_fd(
      reinterpret_cast<void*>(static_cast<std::intptr_t>(saved_stderr)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const std::shared_ptr<AppDelegate> delegate =
      std::make_shared<AppDelegate>();
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::optional<Dictionary> request = ConvertQuietly(*delegate, text);
  if (!request) return 0;
  CheckRoundTrip(*delegate, *request);
  CheckPlan(*request);
  return 0;
}
