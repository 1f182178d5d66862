// Test support: a real folder tree in a fresh temporary directory, removed
// with everything in it when the TempTree goes. For one test's thread.
#ifndef QUILLFEN_TESTING_TEMP_TREE_H_
#define QUILLFEN_TESTING_TEMP_TREE_H_

#include <functional>
#include <string>
#include <vector>

namespace quillfen::testing {

class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  // The tree's absolute path, without a trailing slash.
  const std::string& path() const { return path_; }
  // The absolute path of |relative| inside the tree.
  std::string PathOf(const std::string& relative) const;

  // Each creates the item's missing parent folders too.
  void MakeFile(const std::string& relative, const std::string& content = "");
  void MakeDir(const std::string& relative);
  void MakeSymlink(const std::string& relative, const std::string& target);

  // Whether an item (a dangling link included) exists at |relative|.
  bool Exists(const std::string& relative) const;

  // Every item's relative path, sorted; folders end with "/".
  std::vector<std::string> Listing() const;

 private:
  std::string path_;
};

// Every item beneath |path| with its kind and what it holds (a file's
// bytes, a link's target), one per line in name order: two snapshots are
// equal exactly when nothing beneath |path| was added, removed or changed.
std::string TreeSnapshot(const std::string& path);

// Runs |body| in a forked child process, and answers what |body| returned,
// or a text beginning "child failed" when it could not run, threw or ended
// before it had answered all. A check that fails in the child is lost:
// |body| answers what it saw, and the caller checks it.
std::string RunInChild(const std::function<std::string()>& body);

// As RunInChild, in a child that has given up root (when the tests run as
// root, it becomes "nobody").
std::string RunUnprivileged(const std::function<std::string()>& body);

}  // namespace quillfen::testing

#endif  // QUILLFEN_TESTING_TEMP_TREE_H_
