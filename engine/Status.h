// Errors as values: an operation that can fail returns a Status that says what
// kind of failure it was and what went wrong, naming the path involved.
#pragma once

#include <string>
#include <string_view>

namespace quillfen {

class [[nodiscard]] Status {
 public:
  // What kind of failure a Status reports; callers decide by the kind, never
  // by the text.
  enum class Code {
    kOk,
    kNotFound,     // nothing at the path (ENOENT)
    kExists,       // something is already there (EEXIST)
    kPermission,   // the system refused access (EACCES, EPERM, EROFS)
    kNoSpace,      // the file system or the quota is full (ENOSPC, EDQUOT)
    kNotAFolder,   // a file or other non-folder stands where a folder must be
    kIsAFolder,    // a folder stands where a file must be
    kLink,         // a symbolic link stands where a real folder must be
    kChanged,      // a source changed while it was being copied
    kUnsupported,  // the file system cannot do it here
    kInvalid,      // the input cannot be used as given
    kUnreachable,  // the place does not answer now: a share in trouble (EAGAIN,
                   // ENOTCONN, ETIMEDOUT, ...); it may answer again later
    kIo,           // any other failure of the system (EIO among them)
  };

  // A success.
  static Status Ok() { return Status(); }
  // A failure of kind `code`. `message` is the whole report, naming the path
  // ("<path>: <reason>"); `detail` is the reason alone ("Permission denied").
  static Status Error(Code code, std::string message, std::string detail = {}) {
    Status s;
    s.code_ = code == Code::kOk ? Code::kIo : code;
    s.message_ = std::move(message);
    s.detail_ = std::move(detail);
    return s;
  }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }
  const std::string& detail() const { return detail_; }

 private:
  Code code_ = Code::kOk;
  std::string message_;
  std::string detail_;
};

// The system's text for an errno value, such as "No space left on device".
std::string ErrnoText(int err);

// The kind of failure an errno value reports. Together with ErrnoText, the
// one place in the program that maps errno.
Status::Code CodeOfErrno(int err);

// A failure on `path` with errno `err`: message "<path>: <reason>", detail the
// reason, kind from CodeOfErrno.
Status PathError(std::string_view path, int err);

// A failure on `path` with a reason of the program's own words.
Status PathError(std::string_view path, Status::Code code, std::string_view reason);

}  // namespace quillfen
