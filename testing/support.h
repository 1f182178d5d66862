// Support for the tests: volumes of many files made quickly,
// polling with a limit, the processes a program started, replies read
// back, and the figures the tests report to scripts/harden.
#ifndef QUILLFEN_TESTING_SUPPORT_H_
#define QUILLFEN_TESTING_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "protocol/value.h"

namespace quillfen::testing {

// Prints "quillfen-figure: NAME: VALUE", the line scripts/harden sums up,
// and records it with the test's result.
void ReportFigure(const std::string& name, long long value);

// The number in the environment variable |name|, or |fallback|: the long
// runs of scripts/harden turn the knobs up.
long long Knob(const char* name, long long fallback);

// Makes |folders| folders "dNNN" beneath |root|, each holding |per_folder|
// empty files "fNNNNNN" + |suffix|, and answers the files' paths relative
// to |root| (descriptor calls only: two hundred thousand take seconds).
std::vector<std::string> MakeManyFiles(const std::string& root, int folders,
                                       int per_folder,
                                       const std::string& suffix);
// Makes an empty file |name| beneath the open folder |dir_fd|.
bool MakeFileAt(int dir_fd, const std::string& name,
                const std::string& content = "");

// How many entries the folder at |path| holds (-1 when it can't be read).
long EntryCount(const std::string& path);

// How long a test waits for something that should come at once before it
// fails: far longer than a loaded machine takes, far shorter than the
// test's own time limit, so that a fault reads as a failure, not a hang.
inline constexpr std::chrono::seconds kPatience{30};

// Polls |condition| until it holds or |limit| has passed; answers it.
bool PollUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit);

// The processes whose parent is |parent| and whose program is |exe|.
std::vector<pid_t> ChildrenRunning(pid_t parent, const std::string& exe);
// Whether |pid| is gone (a zombie left to reap counts as gone).
bool ProcessGone(pid_t pid);

// The lines of |text| that start with |prefix| (every line for "").
std::vector<std::string> LinesStartingWith(const std::string& text,
                                           const std::string& prefix);

// The dictionary in JSON |text| (empty when it isn't one), and the paths
// of a reply's "pathArray" and of its "errorDict".
Dictionary DictionaryFromJson(const std::string& text);
std::set<std::string> RemovedPaths(const Dictionary& reply);
std::set<std::string> ErrorPaths(const Dictionary& reply);

// A removal request for |volume|: AppleDouble files or not, and the
// extensions and names it selects.
Dictionary RemovalRequestFor(const std::string& volume, bool apple_double,
                             const std::vector<std::string>& extensions = {},
                             const std::vector<std::string>& names = {});

}  // namespace quillfen::testing

#endif  // QUILLFEN_TESTING_SUPPORT_H_
