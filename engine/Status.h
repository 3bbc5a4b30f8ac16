// Errors as values: an operation that can fail returns a Status that says what
// went wrong, naming the path involved.
#pragma once

#include <string>
#include <string_view>

namespace quillfen {

class [[nodiscard]] Status {
 public:
  // A success.
  static Status Ok() { return Status(); }
  // A failure. `message` is what the user is shown; `detail` is the system's
  // reason ("Permission denied"), empty when there is none.
  static Status Error(std::string message, std::string detail = {}) {
    Status s;
    s.ok_ = false;
    s.message_ = std::move(message);
    s.detail_ = std::move(detail);
    return s;
  }

  bool ok() const { return ok_; }
  const std::string& message() const { return message_; }
  const std::string& detail() const { return detail_; }

 private:
  bool ok_ = true;
  std::string message_;
  std::string detail_;
};

// The system's text for an errno value, such as "No space left on device".
// The one place in the program that maps errno to text.
std::string ErrnoText(int err);

// A failure on `path` with errno `err`: message "<path>: <reason>", detail the reason.
Status PathError(std::string_view path, int err);

}  // namespace quillfen
