// Reads a directory's entries from an open descriptor in large batches
// (getdents64), with each entry's type as the directory gives it. The one
// place where directory reading meets errno. A reader and its batch buffer
// belong to one thread at a time.
#ifndef QUILLFEN_REMOVAL_ENGINE_DIRECTORY_READER_H_
#define QUILLFEN_REMOVAL_ENGINE_DIRECTORY_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace quillfen {

enum class EntryType { kDirectory, kOther, kUnknown };

struct DirectoryEntry {
  std::string_view name;  // Valid until the next ReadBatch().
  EntryType type;
  std::uint64_t inode;
};

class DirectoryReader {
 public:
  // A batch buffer; one can serve many readers, one after another.
  class Buffer {
   public:
    Buffer() : data_(new char[kSize]) {}

   private:
    friend class DirectoryReader;
    static constexpr std::size_t kSize = 128 * 1024;
    std::unique_ptr<char[]> data_;
  };

  // Reads the directory open at |fd|; the descriptor stays the caller's.
  // |buffer| must not serve another reader until this one is done.
  DirectoryReader(int fd, Buffer* buffer)
      : fd_(fd), buffer_(buffer->data_.get()) {}

  // Reads the next batch: false at the end, or on a read error (error()
  // then says which).
  bool ReadBatch();
  int error() const { return error_; }
  // The batch's next entry other than "." and "..", or false when the
  // batch is done. Names stay valid until the next ReadBatch().
  bool NextInBatch(DirectoryEntry* entry);

 private:
  int fd_;
  char* buffer_;
  int error_ = 0;
  std::size_t filled_ = 0;
  std::size_t offset_ = 0;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_DIRECTORY_READER_H_
