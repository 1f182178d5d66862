#include "service-bus/reply_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>
#include <streambuf>
#include <string_view>

#include "base/error_text.h"
#include "protocol/json_form.h"
#include "service-bus/bus_names.h"
#include "service-bus/dbus_value.h"

namespace quillfen {
namespace {

constexpr unsigned kSeals =
    F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;

// Writes what it is given to a descriptor through a buffer of its own, and
// keeps the first errno a write stopped at.
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : fd_(fd) {
    setp(buffer_, buffer_ + sizeof buffer_);
  }
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override {
    if (!Flush()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Flush() ? 0 : -1; }

 private:
  bool Flush() {
    const char* next = pbase();
    while (error_ == 0 && next < pptr()) {
      ssize_t written = ::write(fd_, next, pptr() - next);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        error_ = written < 0 ? errno : EIO;
        break;
      }
      next += written;
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0;
  }

  const int fd_;
  int error_ = 0;
  char buffer_[1 << 16];
};

}  // namespace

Result<UniqueFd> WriteSealedReplyFile(const Value& reply) {
  UniqueFd file(
      memfd_create("quillfen-reply", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!file) {
    return ErrnoError(errno,
                      "can’t make a memory file: " + SystemErrorText(errno));
  }
  DescriptorBuffer buffer(file.get());
  {
    std::ostream out(&buffer);
    WriteJsonText(reply, out);
    out.flush();
  }
  if (buffer.error() != 0) {
    return ErrnoError(buffer.error(), "can’t write the reply's file: " +
                                          SystemErrorText(buffer.error()));
  }
  if (fcntl(file.get(), F_ADD_SEALS, kSeals) != 0) {
    return ErrnoError(errno,
                      "can’t seal the reply's file: " + SystemErrorText(errno));
  }
  return file;
}

Result<RemovalReply> ReadSealedReplyFile(int fd) {
  int seals = fcntl(fd, F_GET_SEALS);
  if (seals < 0 || (seals & (F_SEAL_WRITE | F_SEAL_SHRINK)) !=
                       (F_SEAL_WRITE | F_SEAL_SHRINK)) {
    return ErrorMessage("its file is not sealed against change");
  }
  struct stat status;
  if (fstat(fd, &status) != 0) {
    return ErrnoError(errno,
                      "its file can’t be read: " + SystemErrorText(errno));
  }
  if (status.st_size == 0) return ErrorMessage("its file is empty");
  // Read in place: the text is held once, by the file, while it is parsed.
  const auto size = static_cast<std::size_t>(status.st_size);
  void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (text == MAP_FAILED) {
    return ErrnoError(errno,
                      "its file can’t be mapped: " + SystemErrorText(errno));
  }
  Result<Value> value =
      ValueFromJsonText(std::string_view(static_cast<const char*>(text), size));
  munmap(text, size);
  if (!value) return value.error();
  if (!value->AsDictionary()) {
    return ErrorMessage("its file holds no dictionary");
  }
  return std::move(*value->AsDictionary());
}

Result<RemovalReply> ReplyFromMessage(sdbus::Message& message) {
  sdbus::UnixFd file;
  try {
    // A reply by file has that one entry; any other is read in place.
    message.enterContainer("{sv}");
    if (message.enterDictEntry("sv")) {
      std::string key;
      message >> key;
      if (key == bus::kReplyFileKey) {
        sdbus::Variant variant;
        message >> variant;
        if (variant.peekValueType() == "h") file = variant.get<sdbus::UnixFd>();
      }
    }
    message.clearFlags();
    message.rewind(true);
  } catch (const sdbus::Error& e) {
    return ErrorMessage(e.getMessage());
  }
  if (!file.isValid()) return DictionaryFromDbusMessage(message);
  Result<RemovalReply> reply = ReadSealedReplyFile(file.get());
  if (!reply) return ErrorMessage("a reply by file: " + reply.error().message);
  return reply;
}

}  // namespace quillfen
