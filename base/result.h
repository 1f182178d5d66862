// Result<T>: what an operation that can fail gives back, either its value
// or an Error saying why not. It is the one way code in this system reports
// failure: no -errno integers, no out-parameters for messages, no result
// structs of its own per call. Result<void> is the same for an operation
// with nothing to give. A Result is a plain value: one object belongs to
// one thread at a time, like any other.
//
// Where exceptions stop: a library that throws (sdbus-c++, nlohmann-json,
// CLI11) is caught at the boundary where it enters this system and turned
// into a Result there: sdbus in platform/, protocol/dbus_value and
// removal-service/service_listener, nlohmann in protocol/json_form and
// platform/shared_suite, CLI11 in client/command_line; ICU answers with
// status codes, read in removal-engine/wildcard_pattern. Nothing above
// those places catches a library's exception; what escapes them is a fault
// (out of memory), not a failure.
#ifndef QUILLFEN_BASE_RESULT_H_
#define QUILLFEN_BASE_RESULT_H_

#include <string>
#include <utility>
#include <variant>

namespace quillfen {

// Why an operation failed: the errno it stopped at, when it was a system
// call (0 otherwise), and a message for people.
struct Error {
  int code = 0;
  std::string message;
};

inline Error ErrorMessage(std::string message) {
  return Error{0, std::move(message)};
}
inline Error ErrnoError(int code, std::string message = {}) {
  return Error{code, std::move(message)};
}

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(const T& value) : state_(std::in_place_index<0>, value) {}
  Result(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}
  // Makes the value in place from |args|, with no value moved in.
  template <typename... Args>
  explicit Result(std::in_place_t, Args&&... args)
      : state_(std::in_place_index<0>, std::forward<Args>(args)...) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Only when ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // Only when !ok().
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), ok_(false) {}

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  // Only when !ok().
  const Error& error() const { return error_; }

 private:
  Error error_;
  bool ok_ = true;
};

}  // namespace quillfen

#endif  // QUILLFEN_BASE_RESULT_H_
