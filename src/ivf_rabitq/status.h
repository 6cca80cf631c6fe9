// Errors are values in the core: every fallible operation returns a Status
// or a Result<T>, and nothing throws across a module boundary. The Python
// layer turns a Status into an exception at the edge (src/errors.cc).
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace nimbrel {

enum class Code : uint8_t {
  kOk,
  kInvalidArgument,  // the caller's input was refused ("build: ...", "merge: ...")
  kInvalidData,      // input data that cannot be stored (bad metadata JSON)
  kNotFound,         // a file or directory is missing (errno ENOENT)
  kCorrupt,          // a segment file is damaged ("corrupt index: ...")
  kIoError,          // an operating-system call failed; os_errno says which
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status InvalidArgument(std::string msg) { return Status(Code::kInvalidArgument, std::move(msg)); }
  static Status InvalidData(std::string msg) { return Status(Code::kInvalidData, std::move(msg)); }
  static Status Corrupt(std::string msg) { return Status(Code::kCorrupt, std::move(msg)); }
  // `what` prefixes the system's description, e.g. "open /x/manifest.bin";
  // an empty `what` gives the bare "{description} (os error {n})".
  static Status FromErrno(int err, const std::string& what = "");

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  // The errno of an operating-system failure, 0 otherwise.
  int os_errno() const { return errno_; }
  // The user-facing text, carried unchanged into the Python exception.
  const std::string& message() const { return message_; }

  Status(Code code, std::string msg, int os_errno = 0)
      : code_(code), errno_(os_errno), message_(std::move(msg)) {}

 private:
  Code code_ = Code::kOk;
  int errno_ = 0;
  std::string message_;
};

// The display text of an operating-system error: the system's description
// followed by " (os error {n})".
std::string OsErrorText(int err);

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}          // NOLINT: implicit by design
  Result(Status status) : v_(std::move(status)) {}    // NOLINT
  bool ok() const { return std::holds_alternative<T>(v_); }
  const Status& status() const {
    static const Status kOk;
    return ok() ? kOk : std::get<Status>(v_);
  }
  T& value() & { return std::get<T>(v_); }
  const T& value() const& { return std::get<T>(v_); }
  T&& value() && { return std::get<T>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, Status> v_;
};

#define NIMBREL_RETURN_IF_ERROR(expr)          \
  do {                                         \
    ::nimbrel::Status _st = (expr);            \
    if (!_st.ok()) return _st;                 \
  } while (0)

#define NIMBREL_CONCAT_INNER(a, b) a##b
#define NIMBREL_CONCAT(a, b) NIMBREL_CONCAT_INNER(a, b)
#define NIMBREL_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                                  \
  if (!tmp.ok()) return tmp.status();                 \
  lhs = std::move(tmp).value()
#define NIMBREL_ASSIGN_OR_RETURN(lhs, expr) \
  NIMBREL_ASSIGN_OR_RETURN_IMPL(NIMBREL_CONCAT(_res_, __LINE__), lhs, expr)

}  // namespace nimbrel
