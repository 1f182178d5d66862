// The shared domain's file is written by Quillfen and may hold anything
// by the time the tool reads it. Whatever the file holds, reading keys must
// not crash, and taking the message and storing a reply must succeed; they
// keep every other key as it was (a second flush of the same change writes
// the same bytes), and a file that is not a JSON object is kept, byte for
// byte, under a new name beside it. Every text the reference parser takes
// for an object is kept in place; the domain may keep more (numbers past
// its range), never less.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/shared_suite.h"
#include "protocol/json_form.h"

namespace {

using Json = nlohmann::json;
using quillfen::Dictionary;
using quillfen::SharedSuite;
using quillfen::Value;

constexpr std::string_view kSuite = "fuzz.shared-domain";
constexpr std::string_view kSetKey = "reply";
constexpr std::string_view kFileName = "preferences.json";
constexpr std::string_view kLockName = "preferences.lock";
constexpr std::string_view kCorruptPrefix = "preferences.json.corrupt-";

std::string folder;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  FUZZ_CHECK(in.good());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) ==
             static_cast<ssize_t>(bytes.size()));
  close(fd);
}

std::vector<std::string> FolderEntries() {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  FUZZ_CHECK(dir != nullptr);
  while (dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(dir);
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // Flushes sync every file; tmpfs makes that cheap.
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string config = base + "/shared-domain-fuzzer.XXXXXX";
  FUZZ_CHECK(mkdtemp(config.data()) != nullptr);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  folder = SharedSuite::FolderFor(kSuite);
  FUZZ_CHECK(mkdir(folder.c_str(), 0700) == 0);
  // A crash skips this and leaves the folder to look into.
  static const std::string config_folder = config;
  std::atexit([] { std::filesystem::remove_all(config_folder); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view original(reinterpret_cast<const char*>(data), size);
  const std::string file = folder + "/" + std::string(kFileName);
  WriteFile(file, original);
  const Json before = Json::parse(original, nullptr, false);
  // The reference parser ends its input at a NUL byte, which JSON text
  // never holds: whatever follows would go unchecked.
  const bool was_object =
      before.is_object() && original.find('\0') == std::string_view::npos;

  SharedSuite suite(kSuite);
  std::optional<Value> message = suite.objectForKey("message");
  std::optional<Value> version = suite.objectForKey("toolVersion");
  // Taken as the tool takes it: read and removed in one flush.
  std::optional<SharedSuite::Taken> taken = suite.takeObjectForKey("message");
  FUZZ_CHECK(taken && suite.lastError().empty());
  FUZZ_CHECK(taken->value == message);
  if (was_object) {
    FUZZ_CHECK(taken->found == before.contains("message"));
    if (taken->found) {
      quillfen::Result<Value> expected =
          quillfen::ValueFromJsonText(before["message"].dump());
      FUZZ_CHECK(expected.ok() ? message == *expected : !message);
    }
  }

  // Writing back what was read is what the tool does with a reply.
  const Value reply =
      message ? *message
              : Value(Dictionary{{"volumePath", Value("/media/usb")},
                                 {"pathArray", Value(quillfen::Array{})}});
  suite.setObject(reply, kSetKey);
  FUZZ_CHECK(suite.synchronize());
  FUZZ_CHECK(suite.lastError().empty());
  std::optional<Value> reread = SharedSuite(kSuite).objectForKey(kSetKey);
  FUZZ_CHECK(reread && *reread == reply);
  FUZZ_CHECK(!SharedSuite(kSuite).objectForKey("message"));
  const std::string written = ReadFile(file);
  {
    SharedSuite again(kSuite);
    again.setObject(reply, kSetKey);
    FUZZ_CHECK(again.synchronize());
    FUZZ_CHECK(ReadFile(file) == written);
  }

  const Json after = Json::parse(written, nullptr, false);
  if (was_object) {
    FUZZ_CHECK(after.is_object());
    FUZZ_CHECK(after[std::string(kSetKey)] ==
               Json::parse(quillfen::JsonTextFromValue(reply)));
    for (const auto& [key, value] : before.items()) {
      if (key == kSetKey || key == "message") continue;
      FUZZ_CHECK(after.contains(key) && after[key] == value);
    }
    FUZZ_CHECK(after.size() == before.size() -
                                   (before.contains("message") ? 1 : 0) +
                                   (before.contains(kSetKey) ? 0 : 1));
  }

  // Beside the file only its lock remains, and the moved-aside original
  // when there was one to move; each run leaves the folder as it found it.
  int moved_aside = 0;
  for (const std::string& name : FolderEntries()) {
    if (name == kFileName || name == kLockName) continue;
    FUZZ_CHECK(name.starts_with(kCorruptPrefix));
    ++moved_aside;
    const std::string path = folder + "/" + name;
    FUZZ_CHECK(!was_object && ReadFile(path) == original);
    unlink(path.c_str());
  }
  FUZZ_CHECK(moved_aside <= 1);
  if (was_object) FUZZ_CHECK(moved_aside == 0);
  // What was moved aside left a domain of the reply alone.
  if (moved_aside == 1) {
    FUZZ_CHECK(after.is_object() && after.size() == 1);
    FUZZ_CHECK(!message && !version);
  }
  return 0;
}
