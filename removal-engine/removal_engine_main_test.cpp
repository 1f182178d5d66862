// quillfen-engine as a program, where the system refuses it a thread: the
// request still ends with a reply that says what couldn't be done.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "protocol/removal_keys.h"
#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::TempTree;

// Runs quillfen-engine (with |option|, if any) on |request_path|, as a user
// without root's rights who may have one process only, so that neither a
// thread nor find can be started; answers its output, or what went wrong.
std::string RunWithOneProcess(const std::string& option,
                              const std::string& request_path,
                              const std::string& output_path) {
  return quillfen::testing::RunUnprivileged([&]() -> std::string {
    int input = open(request_path.c_str(), O_RDONLY);
    int output = open(output_path.c_str(), O_WRONLY | O_TRUNC);
    if (input < 0 || output < 0) return "can't open the files";
    // Set once the user is no longer root: the kernel ignores it for root.
    rlimit one{1, 1};
    if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
        setrlimit(RLIMIT_NPROC, &one) != 0) {
      return "can't set the child up";
    }
    // A sanitizer build's leak checker needs a thread of its own at exit,
    // which this child can't have.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    std::string program = QUILLFEN_ENGINE_PATH;
    char* argv[] = {program.data(),
                    option.empty() ? nullptr : const_cast<char*>(option.data()),
                    nullptr};
    execv(program.c_str(), argv);
    return "can't run " + program;
  });
}

TEST(EngineProgramTest, WithoutAThreadOrAChildTheReplySaysSo) {
  TempTree volume;
  TempTree files;
  volume.MakeFile("a.tmp");
  volume.MakeFile("._a");
  chmod(volume.path().c_str(), 0777);
  chmod(files.path().c_str(), 0777);
  files.MakeFile("request.json",
                 "{\"volumePath\": \"" + volume.path() +
                     "\", \"appleDouble\": true, \"extensionsArray\": "
                     "[\"tmp\"]}");
  files.MakeFile("reply.json");
  chmod(files.PathOf("reply.json").c_str(), 0666);
  for (const std::string option : {"--preview", ""}) {
    SCOPED_TRACE(option);
    std::string run = RunWithOneProcess(option, files.PathOf("request.json"),
                                        files.PathOf("reply.json"));
    // The program's own exit status: 0, never an abort.
    ASSERT_EQ(run, "");
    std::string text =
        quillfen::testing::FileContent(files.PathOf("reply.json"));
    Dictionary reply = quillfen::testing::DictionaryFromJson(text);
    const Value* errors = Find(reply, kErrorDictKey);
    const Value* why = errors != nullptr && errors->AsDictionary() != nullptr
                           ? Find(*errors->AsDictionary(), volume.path())
                           : nullptr;
    ASSERT_TRUE(why != nullptr && why->AsString() != nullptr) << text;
    EXPECT_NE(why->AsString()->find("couldn’t be listed"), std::string::npos)
        << *why->AsString();
    // The walk, on the calling thread, did its part all the same.
    EXPECT_EQ(quillfen::testing::RemovedPaths(reply).size(), 2u) << text;
  }
  EXPECT_EQ(volume.Listing(), std::vector<std::string>{});
}

}  // namespace
}  // namespace quillfen
