// SampleVolume: a made-up volume of the kind the removal system cleans, for
// the benchmarks and the comparison script. The same seed and size always
// give the same tree: about a hundred entries per folder, "._" companions
// beside about one file in twenty, some "._" folders and "*.tmp" folders
// with a little inside, .DS_Store in most folders, some Thumbs.db, temporary
// files, names with spaces and non-ASCII letters, a few folder chains 40 to
// 100 levels deep, and a sprinkling of names that look selectable but are
// not (".tmp", "thumbs.db", "x.TMP", "backup.tmp 0001.txt"). Files are
// empty, so making a million entries is quick.
//
// A planned SampleVolume is immutable: its const members may be called from
// any number of threads. Materialize() writes only beneath the folder it is
// given.
#ifndef QUILLFEN_BENCH_SAMPLE_VOLUME_H_
#define QUILLFEN_BENCH_SAMPLE_VOLUME_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillfen::bench {

struct SampleFolder {
  enum class Kind {
    kRegular,      // The bulk of the tree; holds most of the files.
    kChain,        // One level of a deep chain of folders.
    kAppleDouble,  // A "._" folder.
    kTemporary,    // A folder whose name ends in ".tmp".
    kInner,        // A plain folder inside a "._" or ".tmp" folder.
  };

  std::string relative_path;  // From the volume, no leading slash.
  std::string name;           // The last component of relative_path.
  // Index of the folder holding this one, or -1 for the volume itself.
  // Always smaller than the folder's own index.
  std::ptrdiff_t parent = -1;
  Kind kind = Kind::kRegular;
  std::size_t file_count = 0;
};

class SampleVolume {
 public:
  // Plans a volume of exactly |entries| files and folders (the volume
  // folder itself not counted).
  static SampleVolume Plan(std::uint64_t seed, std::size_t entries);

  // Every folder, each after the one that holds it.
  const std::vector<SampleFolder>& folders() const { return folders_; }
  std::size_t file_count() const { return file_count_; }
  std::size_t entry_count() const { return folders_.size() + file_count_; }

  // The names of the files directly inside folder |index|, the same on every
  // call. Files are made on demand rather than stored so that planning a
  // million entries stays small.
  std::vector<std::string> FileNames(std::size_t index) const;

  // Every item's name (folders', then each folder's files): a realistic
  // list of names to match against.
  std::vector<std::string> AllNames() const;

  // Every item's relative path, sorted bytewise.
  std::vector<std::string> SortedPaths() const;

  struct Made {
    std::size_t files = 0;
    std::size_t folders = 0;
    std::string error;  // Empty when the whole tree was made.
  };
  // Makes the tree beneath |directory|, which is created when absent and
  // must otherwise be empty, so that two volumes made alike are identical.
  Made Materialize(const std::string& directory) const;

  // Makes, in Materialize's order, whatever of the tree is missing beneath
  // |directory| (a volume made alike and then partly removed), counting
  // only what it made. Removing a few items and restoring them leaves the
  // rest of the volume, its folders' blocks and inodes, as they were, which
  // costs far less than making the whole volume again. An entry of the
  // wrong kind is an error; entries the plan doesn't hold are left alone.
  Made Restore(const std::string& directory) const;

 private:
  Made Make(const std::string& directory, bool restore) const;

  std::uint64_t seed_ = 0;
  std::vector<SampleFolder> folders_;
  std::size_t file_count_ = 0;
};

}  // namespace quillfen::bench

#endif  // QUILLFEN_BENCH_SAMPLE_VOLUME_H_
